#include "Support/BundleInfo.h"

#include "Support/Logging.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <deque>
#include <mutex>

#ifndef PIKORA_VERSION
#define PIKORA_VERSION "0.0.0"
#endif
#ifndef PIKORA_BUILD
#define PIKORA_BUILD "0"
#endif

namespace {

constexpr auto kResourcePath = ":/Info.json";

QJsonObject builtInValues()
{
    return QJsonObject{
        {QStringLiteral("CFBundleName"), QStringLiteral("Pikora")},
        {QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.tamsic.Pikora")},
        {QStringLiteral("CFBundleShortVersionString"), QStringLiteral(PIKORA_VERSION)},
        {QStringLiteral("CFBundleVersion"), QStringLiteral(PIKORA_BUILD)},
        {QStringLiteral("LoginHelperBundleID"), QStringLiteral("com.tamsic.PikoraLoginHelper")},
        {QStringLiteral("SoundEnable"), false},
        {QStringLiteral("CHIP_MODEL"), QStringLiteral("PikoraAccessory")},
    };
}

BundleInfo loadMain()
{
    BundleInfo info;
    QFile file(QString::fromLatin1(kResourcePath));
    if (file.open(QIODevice::ReadOnly)) {
        QString error;
        if (BundleInfo::fromJson(file.readAll(), info, &error))
            return info;
        qCWarning(lcSupport).noquote() << "Info.json is unusable (" + error + "); using the built-in values";
    }
    BundleInfo::fromJson(QJsonDocument(builtInValues()).toJson(QJsonDocument::Compact), info);
    return info;
}

// Every installed BundleInfo stays alive: main() hands out references that may be held.
std::mutex g_mutex;
std::deque<BundleInfo>* g_installed = nullptr;

} // namespace

const BundleInfo& BundleInfo::main()
{
    std::lock_guard lock(g_mutex);
    if (!g_installed) {
        g_installed = new std::deque<BundleInfo>;
        g_installed->push_back(loadMain());
    }
    return g_installed->back();
}

void BundleInfo::setMain(const BundleInfo& info)
{
    std::lock_guard lock(g_mutex);
    if (!g_installed)
        g_installed = new std::deque<BundleInfo>;
    g_installed->push_back(info);
}

bool BundleInfo::fromJson(const QByteArray& json, BundleInfo& out, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error)
            *error = QStringLiteral("not JSON: %1 at offset %2")
                         .arg(parseError.errorString())
                         .arg(parseError.offset);
        return false;
    }
    if (!doc.isObject()) {
        if (error)
            *error = QStringLiteral("not a JSON object");
        return false;
    }
    out.m_values = doc.object();
    return true;
}

QString BundleInfo::shortVersion() const
{
    return stringValue(QStringLiteral("CFBundleShortVersionString"));
}

QString BundleInfo::build() const
{
    return stringValue(QStringLiteral("CFBundleVersion"));
}

QString BundleInfo::versionWithBuild() const
{
    return QStringLiteral("%1(%2)").arg(shortVersion(), build());
}

QVariant BundleInfo::value(const QString& key) const
{
    const QJsonValue v = m_values.value(key);
    if (v.isUndefined())
        return {};
    return v.toVariant();
}

QString BundleInfo::stringValue(const QString& key) const
{
    const QJsonValue v = m_values.value(key);
    if (v.isString())
        return v.toString();
    if (v.isDouble())
        return QString::number(v.toDouble(), 'g', 17);
    if (v.isBool())
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    return {};
}

bool BundleInfo::boolValue(const QString& key, bool fallback) const
{
    const QJsonValue v = m_values.value(key);
    if (v.isBool())
        return v.toBool();
    if (v.isDouble())
        return v.toDouble() != 0.0;
    if (v.isString()) {
        const QString s = v.toString().trimmed().toLower();
        if (s == QLatin1String("yes") || s == QLatin1String("true") || s == QLatin1String("1"))
            return true;
        if (s == QLatin1String("no") || s == QLatin1String("false") || s == QLatin1String("0"))
            return false;
    }
    return fallback;
}

BundleInfo BundleInfo::withValue(const QString& key, const QJsonValue& value) const
{
    BundleInfo copy = *this;
    copy.m_values.insert(key, value);
    return copy;
}
