#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVariant>

// The application's bundle information: the compiled-in Info.json (":/Info.json") with the
// version numbers from the build. Tests can install another with setMain().
class BundleInfo
{
public:
    static const BundleInfo& main();
    static void setMain(const BundleInfo& info);

    // Parses an Info.json text; returns false and fills `error` when it is not a JSON object.
    static bool fromJson(const QByteArray& json, BundleInfo& out, QString* error = nullptr);

    QString shortVersion() const;     // "CFBundleShortVersionString"
    QString build() const;            // "CFBundleVersion"
    QString versionWithBuild() const; // "short(build)"
    QVariant value(const QString& key) const;
    QString stringValue(const QString& key) const;
    bool boolValue(const QString& key, bool fallback = false) const;
    // A copy with `key` set to `value` (a user setting that overrides the shipped value).
    BundleInfo withValue(const QString& key, const QJsonValue& value) const;

private:
    QJsonObject m_values;
};
