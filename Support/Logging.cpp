#include "Support/Logging.h"

#include <QString>
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
