#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringView>
#include <string_view>

// Logging: every module declares its own categories (Q_DECLARE_LOGGING_CATEGORY in the
// module, named "pikora.<module>"). Diagnostics go to standard error as single lines.
namespace Logging {
// Installs the line format "[category] message" (with the time) for the process.
void install();

// Text a peer sent is never logged whole: at most this many characters of it.
constexpr qsizetype kMaxLoggedPeerText = 256;
// The first `maxChars` characters of `text`, followed by "… (N more characters)" when it is
// longer; control characters are shown as '?', so a log line stays one line.
QString truncatedForLog(QStringView text, qsizetype maxChars = kMaxLoggedPeerText);
QString truncatedForLog(std::string_view utf8, qsizetype maxChars = kMaxLoggedPeerText);
} // namespace Logging

Q_DECLARE_LOGGING_CATEGORY(lcDispatch)
Q_DECLARE_LOGGING_CATEGORY(lcSupport)
