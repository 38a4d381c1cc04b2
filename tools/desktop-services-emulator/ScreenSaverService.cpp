#include "ScreenSaverService.h"

uint ScreenSaverService::Inhibit(const QString& application, const QString& reason)
{
    const uint cookie = m_nextCookie++;
    m_held.emplace(cookie, Holder{application, reason});
    ++m_inhibits;
    emit event(QStringLiteral("screensaver inhibit cookie=%1 application=\"%2\" reason=\"%3\"")
                   .arg(cookie)
                   .arg(application, reason));
    return cookie;
}

void ScreenSaverService::UnInhibit(uint cookie)
{
    const auto it = m_held.find(cookie);
    if (it == m_held.end()) {
        emit event(QStringLiteral("screensaver uninhibit unknown cookie=%1").arg(cookie));
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs,
                           QStringLiteral("no inhibitor with cookie %1").arg(cookie));
        return;
    }
    m_held.erase(it);
    ++m_releases;
    emit event(QStringLiteral("screensaver uninhibit cookie=%1").arg(cookie));
}
