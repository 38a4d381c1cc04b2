#include "Support/UserDefaults.h"

#include "Support/Logging.h"

#include <QCoreApplication>
#include <QSettings>

namespace {

std::mutex g_standardMutex;
QString g_standardFile;
bool g_standardCreated = false;

// Values read back from an ini file are strings ("true", "3"), values set in this process keep
// their type; both forms of the same value count as equal so that no false change is reported.
bool sameValue(const QVariant& a, const QVariant& b)
{
    if (a.isValid() != b.isValid())
        return false;
    if (!a.isValid() || a == b)
        return true;
    const auto scalar = [](const QVariant& v) {
        switch (v.typeId()) {
        case QMetaType::QVariantList:
        case QMetaType::QVariantMap:
        case QMetaType::QStringList:
        case QMetaType::QVariantHash:
            return false;
        default:
            return v.canConvert<QString>();
        }
    };
    return scalar(a) && scalar(b) && a.toString() == b.toString();
}

} // namespace

UserDefaults& UserDefaults::standard()
{
    static UserDefaults* defaults = [] {
        std::lock_guard lock(g_standardMutex);
        g_standardCreated = true;
        if (!g_standardFile.isEmpty())
            return new UserDefaults(g_standardFile);
        QString org = QCoreApplication::organizationName();
        QString app = QCoreApplication::applicationName();
        if (org.isEmpty())
            org = QStringLiteral("Pikora");
        if (app.isEmpty())
            app = QStringLiteral("Pikora");
        return new UserDefaults(
            std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, org, app), nullptr);
    }();
    return *defaults;
}

void UserDefaults::setStandardFile(const QString& path)
{
    std::lock_guard lock(g_standardMutex);
    if (g_standardCreated) {
        qCWarning(lcSupport) << "UserDefaults::setStandardFile" << path
                             << "ignored: the standard defaults are already in use";
        return;
    }
    g_standardFile = path;
}

UserDefaults::UserDefaults(const QString& iniFile, QObject* parent)
    : UserDefaults(std::make_unique<QSettings>(iniFile, QSettings::IniFormat), parent)
{
}

UserDefaults::UserDefaults(std::unique_ptr<QSettings> settings, QObject* parent)
    : QObject(parent), m_settings(std::move(settings))
{
}

UserDefaults::~UserDefaults()
{
    std::lock_guard lock(m_mutex);
    m_settings->sync();
}

QVariant UserDefaults::value(const QString& key, const QVariant& fallback) const
{
    std::lock_guard lock(m_mutex);
    return m_settings->value(key, fallback);
}

bool UserDefaults::storeLocked(const QString& key, const QVariant& value)
{
    const QVariant old = m_settings->value(key);
    if (sameValue(old, value))
        return false;
    if (value.isValid())
        m_settings->setValue(key, value);
    else
        m_settings->remove(key);
    // Written through at once: a preference must survive a crash or a second instance
    // reading the same file.
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        qCWarning(lcSupport) << "UserDefaults: could not write" << m_settings->fileName();
    return true;
}

void UserDefaults::setValue(const QString& key, const QVariant& value)
{
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        changed = storeLocked(key, value);
    }
    if (changed)
        emit valueChanged(key, value);
}

bool UserDefaults::boolForKey(const QString& key) const
{
    return value(key, false).toBool();
}

void UserDefaults::setBool(const QString& key, bool value)
{
    setValue(key, value);
}

void UserDefaults::removeObject(const QString& key)
{
    setValue(key, QVariant());
}

void UserDefaults::sync()
{
    std::lock_guard lock(m_mutex);
    m_settings->sync();
}
