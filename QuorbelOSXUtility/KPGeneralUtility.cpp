#include "QuorbelOSXUtility/KPGeneralUtility.h"

#include <QFile>

namespace {

constexpr qint64 kMaxOsReleaseSize = 64 * 1024;

} // namespace

KPGeneralUtility::KPGeneralUtility()
    : m_path(QFile::exists(QStringLiteral("/etc/os-release")) ? QStringLiteral("/etc/os-release")
                                                              : QStringLiteral("/usr/lib/os-release"))
{
}

KPGeneralUtility::KPGeneralUtility(QString osReleasePath) : m_path(std::move(osReleasePath)) {}

std::optional<QString> KPGeneralUtility::systemInfo() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return osReleaseValue(file.read(kMaxOsReleaseSize), "VERSION_ID");
}

std::optional<QString> KPGeneralUtility::osReleaseValue(const QByteArray& text, const QByteArray& key)
{
    std::optional<QString> found;
    for (const QByteArray& raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('#') || !line.startsWith(key + '='))
            continue;
        QByteArray value = line.mid(key.size() + 1);
        QByteArray unquoted;
        const char quote = !value.isEmpty() && (value[0] == '"' || value[0] == '\'') ? value[0] : 0;
        if (quote) {
            bool closed = false;
            for (qsizetype i = 1; i < value.size(); ++i) {
                const char c = value[i];
                if (c == quote) {
                    closed = true;
                    break;
                }
                if (quote == '"' && c == '\\' && i + 1 < value.size())
                    unquoted.append(value[++i]);
                else
                    unquoted.append(c);
            }
            if (!closed)
                continue; // malformed line: ignored
        } else {
            unquoted = value;
        }
        found = QString::fromUtf8(unquoted); // the last assignment wins, as in a shell
    }
    return found;
}
