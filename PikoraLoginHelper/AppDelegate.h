#pragma once

#include <QString>
#include <optional>

class BundleInfo;
class RunningApplications;

namespace PikoraLoginHelper {

// The login helper's whole behaviour. Its own bundle information names the main application
// ("TARGET_APP_BUNDLE_ID", "TARGET_APP_NAME"); the main application's executable is found
// from the helper's own location in the installation:
//
//   <prefix>/libexec/pikora/PikoraLoginHelper  ->  <prefix>/bin/<TARGET_APP_NAME>
//
// A helper anywhere else finds nothing and starts nothing.
class AppDelegate
{
public:
    // `helperPath` is the helper's own executable. The workspace and the bundle information
    // must outlive this object.
    AppDelegate(RunningApplications& workspace, const BundleInfo& bundleInfo, QString helperPath);

    // Starts the main application unless it already runs. Never shows anything; the caller
    // quits afterwards whatever happened.
    void applicationDidFinishLaunching();
    void applicationWillTerminate() {}

    // The main application's executable for a helper at `helperPath`; nothing when the
    // helper is not where an installation puts it or `targetName` is not a plain file name.
    static std::optional<QString> mainExecutablePath(const QString& helperPath, const QString& targetName);

private:
    RunningApplications& m_workspace;
    const BundleInfo& m_bundleInfo;
    QString m_helperPath;
};

} // namespace PikoraLoginHelper
