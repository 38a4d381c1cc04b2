#include "Support/Logging.h"

#include <QString>
#include <algorithm>
#include <cstdio>
#include <mutex>

Q_LOGGING_CATEGORY(lcDispatch, "pikora.dispatch")
Q_LOGGING_CATEGORY(lcSupport, "pikora.support")

namespace {

std::mutex g_writeMutex;

void writeLine(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QString line = qFormatLogMessage(type, context, message);
    // One diagnostic, one line: embedded line breaks would split it and could forge lines.
    line.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    line.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    {
        std::lock_guard lock(g_writeMutex);
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
        std::fflush(stderr);
    }
}

} // namespace

namespace Logging {

void install()
{
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} [%{category}] %{message}"));
    qInstallMessageHandler(writeLine);
}

} // namespace Logging

QString Logging::truncatedForLog(QStringView text, qsizetype maxChars)
{
    const qsizetype keep = std::min(text.size(), std::max<qsizetype>(maxChars, 0));
    QString out = text.left(keep).toString();
    for (QChar& c : out) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    if (text.size() > keep)
        out += QStringLiteral("\u2026 (%1 more characters)").arg(text.size() - keep);
    return out;
}

QString Logging::truncatedForLog(std::string_view utf8, qsizetype maxChars)
{
    // Decodes no more than could be shown (4 bytes per character at most), so a huge payload
    // costs nothing; the count left out is then in bytes.
    const qsizetype limit = std::max<qsizetype>(maxChars, 0);
    const auto size = static_cast<qsizetype>(utf8.size());
    const qsizetype take = std::min(size, limit * 4);
    QString head = QString::fromUtf8(utf8.data(), take);
    if (take == size)
        return truncatedForLog(QStringView(head), limit);
    QString out = truncatedForLog(QStringView(head).left(limit), limit);
    return out + QStringLiteral("\u2026 (%1 bytes in all)").arg(size);
}
