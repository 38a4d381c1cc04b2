#include "tests/TestSupport/FakeRunningApplications.h"
#include "PikoraLoginHelper/AppDelegate.h"
#include "Support/BundleInfo.h"

#include <gtest/gtest.h>

using PikoraLoginHelper::AppDelegate;

namespace {

BundleInfo helperInfo(const char* json = R"({"TARGET_APP_BUNDLE_ID": "com.tamsic.Pikora",
                                              "TARGET_APP_NAME": "Pikora"})")
{
    BundleInfo info;
    EXPECT_TRUE(BundleInfo::fromJson(json, info));
    return info;
}

const QString kInstalledHelper = QStringLiteral("/opt/pikora/libexec/pikora/PikoraLoginHelper");

} // namespace

TEST(LoginHelperTest, StartsTheMainApplicationBesideItsInstallation)
{
    FakeRunningApplications workspace;
    const BundleInfo info = helperInfo();
    AppDelegate(workspace, info, kInstalledHelper).applicationDidFinishLaunching();
    EXPECT_EQ(workspace.queryCount("com.tamsic.Pikora"), 1);
    ASSERT_EQ(workspace.launches().size(), 1);
    EXPECT_EQ(workspace.launches()[0].path, "/opt/pikora/bin/Pikora");
    EXPECT_TRUE(workspace.launches()[0].arguments.isEmpty());
}

TEST(LoginHelperTest, LaunchesNothingWhenTheApplicationRuns)
{
    FakeRunningApplications workspace;
    workspace.setRunning("com.tamsic.Pikora", true);
    const BundleInfo info = helperInfo();
    AppDelegate(workspace, info, kInstalledHelper).applicationDidFinishLaunching();
    EXPECT_TRUE(workspace.launches().isEmpty());
}

TEST(LoginHelperTest, LaunchesNothingFromOutsideAnInstallation)
{
    const BundleInfo info = helperInfo();
    for (const char* path : {"/tmp/PikoraLoginHelper", "/home/u/build/PikoraLoginHelper/PikoraLoginHelper",
                             "/opt/pikora/lib/pikora/PikoraLoginHelper", "/PikoraLoginHelper",
                             "PikoraLoginHelper", "libexec/pikora/PikoraLoginHelper"}) {
        SCOPED_TRACE(path);
        FakeRunningApplications workspace;
        AppDelegate(workspace, info, QString::fromUtf8(path)).applicationDidFinishLaunching();
        EXPECT_TRUE(workspace.launches().isEmpty());
    }
    // A launch that fails is not retried and not reported further.
    FakeRunningApplications failing;
    failing.setLaunchSucceeds(false);
    AppDelegate(failing, info, kInstalledHelper).applicationDidFinishLaunching();
    EXPECT_EQ(failing.launches().size(), 1);
}

TEST(LoginHelperTest, MainExecutablePathFollowsTheInstallLayout)
{
    EXPECT_EQ(AppDelegate::mainExecutablePath("/usr/libexec/pikora/PikoraLoginHelper", "Pikora"),
              "/usr/bin/Pikora");
    EXPECT_EQ(AppDelegate::mainExecutablePath("/usr/libexec/pikora/./PikoraLoginHelper", "Pikora"),
              "/usr/bin/Pikora");
    EXPECT_EQ(AppDelegate::mainExecutablePath("/libexec/pikora/PikoraLoginHelper", "Pikora"), "/bin/Pikora");
    // The target name is a plain file name, never a path out of the application folder.
    for (const char* name : {"", ".", "..", "../lib/x", "/bin/sh"})
        EXPECT_FALSE(
            AppDelegate::mainExecutablePath("/usr/libexec/pikora/PikoraLoginHelper", name).has_value())
            << name;
    // Names missing from the bundle information give no target either.
    FakeRunningApplications workspace;
    const BundleInfo empty = helperInfo("{}");
    AppDelegate(workspace, empty, kInstalledHelper).applicationDidFinishLaunching();
    EXPECT_TRUE(workspace.launches().isEmpty());
}
