#pragma once

#include "Pikora/Platform/RunningApplications.h"

#include <QString>
#include <QStringList>

// Finds running applications by scanning /proc. Linux has no bundle identifiers, so each
// identifier we care about maps to the executable names its Linux build runs under:
//
//   bundle identifier               executable names
//   com.quorbel.Pikora-Installer    pikora-installer, Pikora-Installer
//   com.Tamsic.Vistrel-Pro          vistrelpro, vistrel-pro, VistrelPro
//   com.tamsic.Pikora               Pikora
//
// An identifier outside the table is looked up as an executable name itself. A process
// matches when one of the names equals its command name (/proc/<pid>/comm, which the kernel
// cuts to 15 bytes, so longer names are compared by that prefix), the file name of its
// executable (/proc/<pid>/exe) or the file name of its first argument (/proc/<pid>/cmdline).
//
// With Scope::CurrentUser only processes whose real user (the "Uid:" line of
// /proc/<pid>/status) is this process's count, as a desktop session sees only its own.
//
// The /proc root is a constructor argument so tests can hand in a tree of their own.
class ProcRunningApplications : public RunningApplications
{
public:
    enum class Scope
    {
        AllUsers,
        CurrentUser
    };

    explicit ProcRunningApplications(QString procRoot = QStringLiteral("/proc"),
                                     Scope scope = Scope::AllUsers);

    // The executable names that stand for `bundleIdentifier`, from the table above.
    static QStringList executableNamesFor(const QString& bundleIdentifier);

    bool isApplicationRunning(const QString& bundleIdentifier) const override;
    bool launchApplication(const QString& path, const QStringList& arguments = {}) override;
    bool openUrl(const QUrl& url) override;

private:
    bool processMatches(const QString& pidDir, const QStringList& names) const;
    bool ownedByCurrentUser(const QString& pidDir) const;

    QString m_procRoot;
    Scope m_scope;
};
