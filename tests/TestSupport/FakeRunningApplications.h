#pragma once

#include "Pikora/Platform/RunningApplications.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <functional>

// A workspace for tests: applications run while the test says so; launches and opened
// addresses are recorded instead of performed.
class FakeRunningApplications : public RunningApplications
{
public:
    struct Launch
    {
        QString path;
        QStringList arguments;
    };

    void setRunning(const QString& bundleIdentifier, bool running);
    // Called on every isApplicationRunning() query, before the answer is read, so a test can
    // quit an application after a number of queries.
    void setQueryHook(std::function<void(const QString& bundleIdentifier, int queryCount)> hook);
    // How often isApplicationRunning() was asked about `bundleIdentifier`.
    int queryCount(const QString& bundleIdentifier) const;

    // What launchApplication() and openUrl() report.
    void setLaunchSucceeds(bool succeeds) { m_launchSucceeds = succeeds; }
    void setOpenUrlSucceeds(bool succeeds) { m_openUrlSucceeds = succeeds; }

    const QList<Launch>& launches() const { return m_launches; }
    const QList<QUrl>& openedUrls() const { return m_openedUrls; }

    bool isApplicationRunning(const QString& bundleIdentifier) const override;
    bool launchApplication(const QString& path, const QStringList& arguments = {}) override;
    bool openUrl(const QUrl& url) override;

private:
    QSet<QString> m_running;
    mutable QHash<QString, int> m_queries;
    std::function<void(const QString&, int)> m_queryHook;
    bool m_launchSucceeds = true;
    bool m_openUrlSucceeds = true;
    QList<Launch> m_launches;
    QList<QUrl> m_openedUrls;
};
