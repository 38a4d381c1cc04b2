#include "Pikora/Compressors/LibavLog.h"

#include "Pikora/Capture/CaptureLogging.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <mutex>
#include <string>

namespace {

thread_local int t_depth = 0;
thread_local bool t_quiet = false;
thread_local int t_printPrefix = 1;
thread_local std::string t_line;

constexpr std::size_t kMaxLine = 2048;

void emitLine(int level, const std::string& line)
{
    const QString text = QString::fromUtf8(line.data(), qsizetype(line.size())).trimmed();
    if (text.isEmpty())
        return;
    if (t_quiet)
        qCDebug(lcCompress).noquote() << "libav:" << text;
    else if (level > AV_LOG_ERROR)
        qCInfo(lcCompress).noquote() << "libav:" << text;
    else
        qCWarning(lcCompress).noquote() << "libav:" << text;
}

void callback(void* avcl, int level, const char* fmt, va_list vl)
{
    if (t_depth == 0) {
        av_log_default_callback(avcl, level, fmt, vl);
        return;
    }
    if (level > AV_LOG_WARNING)
        return; // the encoders' chatter on every open and close

    char piece[1024];
    av_log_format_line2(avcl, level, fmt, vl, piece, int(sizeof piece), &t_printPrefix);
    t_line += piece;
    // Messages may come in pieces; a line is written once it ends (or grows too long).
    if (!t_line.empty() && t_line.back() != '\n' && t_line.size() < kMaxLine)
        return;
    if (t_line.size() > kMaxLine)
        t_line.resize(kMaxLine);
    emitLine(level, t_line);
    t_line.clear();
}

} // namespace

void LibavLog::install()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(&callback); });
}

LibavLog::Scope::Scope(bool quiet) : m_previousQuiet(t_quiet)
{
    install();
    ++t_depth;
    t_quiet = t_quiet || quiet;
}

LibavLog::Scope::~Scope()
{
    t_quiet = m_previousQuiet;
    if (--t_depth == 0 && !t_line.empty()) {
        emitLine(AV_LOG_WARNING, t_line);
        t_line.clear();
        t_printPrefix = 1;
    }
}
