#include "Pikora/Platform/ProcRunningApplications.h"
#include "tests/TestSupport/FakeRunningApplications.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const QString kInstaller = QStringLiteral("com.quorbel.Pikora-Installer");
const QString kVistrel = QStringLiteral("com.Tamsic.Vistrel-Pro");

// A hand-made /proc: one directory per process with the files the scan reads.
class FakeProcTree
{
public:
    FakeProcTree() { EXPECT_TRUE(m_dir.isValid()); }

    QString root() const { return m_dir.path(); }

    void addProcess(const QString& entry, const QByteArray& comm, const QByteArray& cmdline = {},
                    const QString& exeTarget = {})
    {
        QDir(m_dir.path()).mkpath(entry);
        const QString dir = m_dir.filePath(entry);
        write(dir + "/comm", comm + "\n");
        write(dir + "/cmdline", cmdline);
        if (!exeTarget.isEmpty())
            QFile::link(exeTarget, dir + "/exe");
    }

private:
    static void write(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    QTemporaryDir m_dir;
};

TEST(ProcRunningApplications, FindsApplicationsByTheirExecutableNames)
{
    FakeProcTree proc;
    proc.addProcess("1", "systemd", QByteArray("/sbin/init\0", 11));
    proc.addProcess("4242", "vistrelpro");
    ProcRunningApplications apps(proc.root());

    EXPECT_TRUE(apps.isApplicationRunning(kVistrel));
    EXPECT_FALSE(apps.isApplicationRunning(kInstaller));
    EXPECT_TRUE(apps.isApplicationRunning("systemd")) << "identifiers outside the table are executable names";
    EXPECT_FALSE(apps.isApplicationRunning(""));
}

TEST(ProcRunningApplications, MatchesTheKernelsShortenedCommandName)
{
    // The kernel keeps 15 bytes of "pikora-installer".
    FakeProcTree proc;
    proc.addProcess("77", "pikora-installe");
    EXPECT_TRUE(ProcRunningApplications(proc.root()).isApplicationRunning(kInstaller));
}

TEST(ProcRunningApplications, MatchesArgumentZeroAndExecutableLink)
{
    FakeProcTree byArgv;
    byArgv.addProcess("10", "MainThread", QByteArray("/opt/vistrel/VistrelPro\0--tray\0", 31));
    EXPECT_TRUE(ProcRunningApplications(byArgv.root()).isApplicationRunning(kVistrel));

    FakeProcTree byExe;
    byExe.addProcess("11", "worker", {}, "/usr/lib/vistrel/vistrel-pro");
    EXPECT_TRUE(ProcRunningApplications(byExe.root()).isApplicationRunning(kVistrel));

    FakeProcTree replaced;
    replaced.addProcess("12", "worker", {}, "/usr/bin/vistrelpro (deleted)");
    EXPECT_TRUE(ProcRunningApplications(replaced.root()).isApplicationRunning(kVistrel));
}

TEST(ProcRunningApplications, DoesNotMatchLookAlikesOrNonProcessEntries)
{
    FakeProcTree proc;
    proc.addProcess("20", "vistrelpro-help", QByteArray("/usr/bin/vistrelpro-helper\0", 27));
    proc.addProcess("21", "vistrel");
    proc.addProcess("22", "bash", QByteArray("bash\0-c\0vistrelpro\0", 20)); // only an argument
    proc.addProcess("self", "vistrelpro");                                   // not a process id
    proc.addProcess("12ab", "vistrelpro");
    EXPECT_FALSE(ProcRunningApplications(proc.root()).isApplicationRunning(kVistrel));
}

TEST(ProcRunningApplications, CurrentUserScopeCountsOnlyThisUsersProcesses)
{
    const QByteArray me = QByteArray::number(::getuid());
    const QByteArray other = QByteArray::number(::getuid() + 1);
    auto status = [](const QString& path, const QByteArray& uid) {
        QFile file(path + "/status");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Name:\tPikora\nUmask:\t0022\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid +
                   "\nGid:\t0\t0\t0\t0\n");
    };
    const QString pikora = QStringLiteral("com.tamsic.Pikora");

    FakeProcTree someoneElse;
    someoneElse.addProcess("300", "Pikora");
    status(someoneElse.root() + "/300", other);
    EXPECT_TRUE(ProcRunningApplications(someoneElse.root()).isApplicationRunning(pikora));
    EXPECT_FALSE(ProcRunningApplications(someoneElse.root(), ProcRunningApplications::Scope::CurrentUser)
                     .isApplicationRunning(pikora));

    FakeProcTree mine;
    mine.addProcess("302", "PikoraLoginHelp", QByteArray("/usr/libexec/pikora/PikoraLoginHelper\0", 38));
    status(mine.root() + "/302", me);
    EXPECT_FALSE(ProcRunningApplications(mine.root(), ProcRunningApplications::Scope::CurrentUser)
                     .isApplicationRunning(pikora))
        << "the login helper itself is not the application";
    mine.addProcess("301", "Pikora");
    status(mine.root() + "/301", me);
    EXPECT_TRUE(ProcRunningApplications(mine.root(), ProcRunningApplications::Scope::CurrentUser)
                    .isApplicationRunning(pikora));

    // A process whose owner cannot be read does not count as this user's.
    FakeProcTree unknown;
    unknown.addProcess("303", "Pikora");
    EXPECT_FALSE(ProcRunningApplications(unknown.root(), ProcRunningApplications::Scope::CurrentUser)
                     .isApplicationRunning(pikora));
}

TEST(ProcRunningApplications, MissingProcRootMeansNothingRuns)
{
    EXPECT_FALSE(ProcRunningApplications("/nonexistent/proc").isApplicationRunning(kVistrel));
}

TEST(ProcRunningApplications, SeesThisTestProcessInTheRealProc)
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    EXPECT_TRUE(ProcRunningApplications().isApplicationRunning(self));
}

TEST(ProcRunningApplications, LaunchesDetachedProgramsWithArguments)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString marker = dir.filePath("launched");
    ProcRunningApplications apps;

    ASSERT_TRUE(apps.launchApplication("/bin/sh", {"-c", "echo \"$0\" > \"$1\"", "hello", marker}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(marker).size() > 0; }, 10000));
    QFile file(marker);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().trimmed(), "hello");

    EXPECT_FALSE(apps.launchApplication(dir.filePath("no-such-program")));
}

TEST(ProcRunningApplications, RefusesToOpenInvalidAddresses)
{
    ProcRunningApplications apps;
    EXPECT_FALSE(apps.openUrl(QUrl()));
    EXPECT_FALSE(apps.openUrl(QUrl("relative/path")));
}

TEST(FakeRunningApplications, ApplicationQuitsAfterSomeQueries)
{
    FakeRunningApplications apps;
    apps.setRunning(kInstaller, true);
    apps.setQueryHook([&](const QString& id, int count) {
        if (count == 3)
            apps.setRunning(id, false);
    });
    int waits = 0;
    while (apps.isApplicationRunning(kInstaller))
        ++waits;
    EXPECT_EQ(waits, 2);
    EXPECT_EQ(apps.queryCount(kInstaller), 3);

    apps.setLaunchSucceeds(false);
    EXPECT_FALSE(apps.launchApplication("/usr/bin/helper", {"--x"}));
    ASSERT_EQ(apps.launches().size(), 1);
    EXPECT_EQ(apps.launches().front().arguments, QStringList{"--x"});
}

} // namespace
