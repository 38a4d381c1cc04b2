#pragma once

#include <QString>
#include <optional>

// Facts about the system the application runs on.
class KPGeneralUtility
{
public:
    // Reads /etc/os-release, or /usr/lib/os-release when that is missing.
    KPGeneralUtility();
    // Reads the os-release file at `osReleasePath` (for tests).
    explicit KPGeneralUtility(QString osReleasePath);

    // The operating system's version: VERSION_ID of os-release ("12" on Debian 12), or none
    // when the file or the entry is missing.
    std::optional<QString> systemInfo() const;

    // The value of `key` in os-release text (shell-style KEY=VALUE lines, values optionally
    // quoted), or none.
    static std::optional<QString> osReleaseValue(const QByteArray& text, const QByteArray& key);

private:
    QString m_path;
};
