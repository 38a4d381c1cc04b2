#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// The desktop workspace as the application controller sees it: which applications run, and
// launching a program or a web address. Applications are named by bundle identifier
// ("com.quorbel.Pikora-Installer"); how an identifier maps to a process is the
// implementation's business.
class RunningApplications
{
public:
    virtual ~RunningApplications() = default;

    // True when an application with this bundle identifier is running.
    virtual bool isApplicationRunning(const QString& bundleIdentifier) const = 0;
    // Starts the program at `path` detached from this process; false when it could not start.
    virtual bool launchApplication(const QString& path, const QStringList& arguments = {}) = 0;
    // Opens `url` with the desktop's default handler (a browser for http/https); false when
    // the address is invalid or no handler took it.
    virtual bool openUrl(const QUrl& url) = 0;
};
