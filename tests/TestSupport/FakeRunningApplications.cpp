#include "tests/TestSupport/FakeRunningApplications.h"

#include <utility>

void FakeRunningApplications::setRunning(const QString& bundleIdentifier, bool running)
{
    if (running)
        m_running.insert(bundleIdentifier);
    else
        m_running.remove(bundleIdentifier);
}

void FakeRunningApplications::setQueryHook(std::function<void(const QString&, int)> hook)
{
    m_queryHook = std::move(hook);
}

int FakeRunningApplications::queryCount(const QString& bundleIdentifier) const
{
    return m_queries.value(bundleIdentifier);
}

bool FakeRunningApplications::isApplicationRunning(const QString& bundleIdentifier) const
{
    const int count = ++m_queries[bundleIdentifier];
    if (m_queryHook)
        m_queryHook(bundleIdentifier, count);
    return m_running.contains(bundleIdentifier);
}

bool FakeRunningApplications::launchApplication(const QString& path, const QStringList& arguments)
{
    m_launches.append({path, arguments});
    return m_launchSucceeds;
}

bool FakeRunningApplications::openUrl(const QUrl& url)
{
    m_openedUrls.append(url);
    return m_openUrlSucceeds && url.isValid();
}
