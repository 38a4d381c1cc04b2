#include "Pikora/HostControl/KPHostControlRequest.h"

#include <QUuid>

namespace {

QString orNull(const QString& s)
{
    return s.isNull() ? QStringLiteral("(null)") : s;
}

QString address(const void* p)
{
    return QStringLiteral("0x%1").arg(reinterpret_cast<quintptr>(p), 0, 16);
}

} // namespace

KPHostControlRequest::KPHostControlRequest()
    : m_identifier(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())
{
}

QString KPHostControlRequest::clientIP() const
{
    std::lock_guard lock(m_mutex);
    return m_clientIP;
}

void KPHostControlRequest::setClientIP(const QString& ip)
{
    std::lock_guard lock(m_mutex);
    m_clientIP = ip;
}

QString KPHostControlRequest::clientName() const
{
    std::lock_guard lock(m_mutex);
    return m_clientName;
}

void KPHostControlRequest::setClientName(const QString& name)
{
    std::lock_guard lock(m_mutex);
    m_clientName = name;
}

bool KPHostControlRequest::requestingFullscreen() const
{
    std::lock_guard lock(m_mutex);
    return m_requestingFullscreen;
}

void KPHostControlRequest::setRequestingFullscreen(bool fullscreen)
{
    std::lock_guard lock(m_mutex);
    m_requestingFullscreen = fullscreen;
}

void KPHostControlRequest::setCompletionblock(KPHostControlReply completion)
{
    std::lock_guard lock(m_mutex);
    m_completion = std::move(completion);
}

bool KPHostControlRequest::hasCompletionblock() const
{
    std::lock_guard lock(m_mutex);
    return bool(m_completion);
}

bool KPHostControlRequest::reply(bool allow, int mode)
{
    KPHostControlReply completion;
    {
        std::lock_guard lock(m_mutex);
        completion = std::exchange(m_completion, nullptr);
    }
    // Called outside the lock: the block may reach back into this request.
    if (!completion)
        return false;
    completion(allow, mode);
    return true;
}

QString KPHostControlRequest::description() const
{
    std::lock_guard lock(m_mutex);
    return QStringLiteral("%1, ip:%2, name:%3, requestingFullScreen:%4, completionBlock:%5 , identifier:%6")
        .arg(address(this), orNull(m_clientIP), orNull(m_clientName),
             m_requestingFullscreen ? QStringLiteral("true") : QStringLiteral("false"),
             m_completion ? address(&m_completion) : QStringLiteral("(null)"), m_identifier);
}
