// PikoraLoginHelper: started at login, starts Pikora unless it already runs, then quits at
// once without showing anything.
#include "Pikora/Platform/ProcRunningApplications.h"
#include "PikoraLoginHelper/AppDelegate.h"
#include "Support/BundleInfo.h"
#include "Support/Logging.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    Logging::install();
    QCoreApplication app(argc, argv);
    // Only this user's processes count: another user's Pikora on the same machine is not ours.
    ProcRunningApplications workspace(QStringLiteral("/proc"), ProcRunningApplications::Scope::CurrentUser);
    PikoraLoginHelper::AppDelegate delegate(workspace, BundleInfo::main(),
                                            QCoreApplication::applicationFilePath());
    delegate.applicationDidFinishLaunching();
    delegate.applicationWillTerminate();
    return 0;
}
