#include "Pikora/StartAtLoginController/StartAtLoginController.h"

#include "Pikora/StartAtLoginController/XdgAutostartLoginItems.h"
#include "tests/Capture/LogCapture.h"
#include "tests/StartAtLoginController/FakeLoginItems.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QString kHelperId = QStringLiteral("com.tamsic.PikoraLoginHelper");

// Every change notice in order, as "will:key" / "did:key".
class Notices
{
public:
    explicit Notices(StartAtLoginController& controller)
    {
        QObject::connect(&controller, &StartAtLoginController::willChangeValueForKey, &controller,
                         [this](const QString& key) { list.append(QStringLiteral("will:") + key); });
        QObject::connect(&controller, &StartAtLoginController::didChangeValueForKey, &controller,
                         [this](const QString& key) { list.append(QStringLiteral("did:") + key); });
    }
    QStringList list;
};

const QStringList kWriteNotices = {"will:startAtLogin", "will:enabled", "did:enabled", "did:startAtLogin"};

// A temporary XDG_CONFIG_HOME (restored afterwards) and an executable stand-in for the helper.
class XdgAutostartTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        m_previous = qgetenv("XDG_CONFIG_HOME");
        m_hadPrevious = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
        helper = dir.filePath("prefix/libexec/pikora/PikoraLoginHelper");
        QDir().mkpath(QFileInfo(helper).path());
        QFile file(helper);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    void TearDown() override
    {
        if (m_hadPrevious)
            qputenv("XDG_CONFIG_HOME", m_previous);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    QString autostart() const { return dir.filePath("config/autostart"); }
    void writeEntry(const QString& name, const QByteArray& contents) const
    {
        QDir().mkpath(autostart());
        QFile file(autostart() + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    QByteArray readEntry(const QString& name) const
    {
        QFile file(autostart() + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    QString helper;

private:
    QByteArray m_previous;
    bool m_hadPrevious = false;
};

} // namespace

TEST(StartAtLoginControllerTest, ReadingBeforeTheJobIsListedGivesNoAndAnnouncesEnabled)
{
    FakeLoginItems items;
    items.listsRegistrations = false;
    StartAtLoginController controller(&items, kHelperId);
    Notices notices(controller);

    controller.setStartAtLogin(true);
    EXPECT_TRUE(controller.enabled());
    EXPECT_EQ(notices.list, kWriteNotices);

    notices.list.clear();
    EXPECT_FALSE(controller.startAtLogin());
    EXPECT_FALSE(controller.enabled());
    EXPECT_EQ(notices.list, QStringList({"will:enabled", "did:enabled"}));

    // Reading again with nothing changed announces nothing.
    notices.list.clear();
    EXPECT_FALSE(controller.startAtLogin());
    EXPECT_TRUE(notices.list.isEmpty());
}

TEST(StartAtLoginControllerTest, WritingNoAfterYesNotifiesEachKeyOnce)
{
    FakeLoginItems items;
    StartAtLoginController controller(&items, kHelperId);
    controller.setStartAtLogin(true);
    ASSERT_TRUE(controller.startAtLogin());

    Notices notices(controller);
    controller.setEnabled(false); // the same as setStartAtLogin(false)
    EXPECT_FALSE(controller.enabled());
    EXPECT_FALSE(controller.startAtLogin());
    EXPECT_EQ(notices.list, kWriteNotices);
    ASSERT_EQ(items.calls.size(), 2u);
    EXPECT_EQ(items.calls[1].identifier, kHelperId);
    EXPECT_FALSE(items.calls[1].enabled);
}

TEST(StartAtLoginControllerTest, OnlyTheFirstJobWithTheIdentifierCounts)
{
    FakeLoginItems items;
    items.jobs = {
        {"org.example.Other", true}, {kHelperId + ".old", true}, {kHelperId, false}, {kHelperId, true}};
    StartAtLoginController controller(&items, kHelperId);
    EXPECT_FALSE(controller.startAtLogin());
    EXPECT_FALSE(controller.enabled());

    items.jobs[2].onDemand = true;
    items.jobs[3].onDemand = false;
    EXPECT_TRUE(controller.startAtLogin());
    EXPECT_TRUE(controller.enabled());
}

TEST(StartAtLoginControllerTest, WithoutIdentifierNothingHappens)
{
    FakeLoginItems items;
    items.jobs = {{QString(), true}};
    StartAtLoginController controller(&items, QString());
    Notices notices(controller);
    controller.setStartAtLogin(true);
    controller.setEnabled(true);
    EXPECT_FALSE(controller.startAtLogin());
    EXPECT_FALSE(controller.enabled());
    EXPECT_TRUE(items.calls.empty());
    EXPECT_EQ(items.listings, 0);
    EXPECT_TRUE(notices.list.isEmpty());
}

TEST(StartAtLoginControllerTest, RefusedRegistrationIsLoggedAndLeavesItDisabled)
{
    FakeLoginItems items;
    items.jobs = {{kHelperId, true}};
    LogCapture log;
    StartAtLoginController controller(&items, kHelperId);
    EXPECT_TRUE(controller.enabled());
    EXPECT_TRUE(log.contains("Launcher 'com.tamsic.PikoraLoginHelper' is configured to start at login"));

    items.succeeds = false;
    Notices notices(controller);
    controller.setStartAtLogin(true);
    EXPECT_FALSE(controller.enabled());
    EXPECT_EQ(notices.list, kWriteNotices);
    EXPECT_TRUE(log.contains("SMLoginItemSetEnabled failed!"));

    // No login items at all: every registration fails.
    StartAtLoginController none(nullptr, kHelperId);
    EXPECT_TRUE(log.contains("Launcher 'com.tamsic.PikoraLoginHelper' is not configured to start at login"));
    none.setStartAtLogin(true);
    EXPECT_FALSE(none.enabled());
}

TEST_F(XdgAutostartTest, RegistrationWritesAnEntryThatRunsTheHelper)
{
    XdgAutostartLoginItems items(helper);
    EXPECT_EQ(items.autostartDirectory(), autostart());
    StartAtLoginController controller(&items, kHelperId);
    EXPECT_FALSE(controller.enabled());

    controller.setStartAtLogin(true);
    EXPECT_TRUE(controller.enabled());
    EXPECT_TRUE(controller.startAtLogin());
    const QByteArray entry = readEntry(kHelperId + ".desktop");
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(entry.contains("\nType=Application\n"));
    EXPECT_TRUE(entry.contains("\nExec=" + helper.toUtf8() + "\n")) << entry.constData();

    // A second controller (the next start) reads the state back from the file.
    StartAtLoginController next(&items, kHelperId);
    EXPECT_TRUE(next.enabled());

    controller.setStartAtLogin(false);
    EXPECT_FALSE(QFileInfo::exists(autostart() + "/" + kHelperId + ".desktop"));
    EXPECT_FALSE(next.startAtLogin());
    // Unregistering what is not registered succeeds.
    controller.setStartAtLogin(false);
    EXPECT_FALSE(controller.enabled());
}

TEST_F(XdgAutostartTest, EntriesOfOtherProgramsAndDisabledEntriesDoNotCount)
{
    writeEntry("org.example.Other.desktop", "[Desktop Entry]\nType=Application\nExec=other\n");
    writeEntry("notes.txt", "[Desktop Entry]\n");
    writeEntry(kHelperId + ".desktop", "[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n");
    XdgAutostartLoginItems items(helper);
    const std::vector<LoginItems::Job> jobs = items.jobDictionaries();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].label, kHelperId);
    EXPECT_FALSE(jobs[0].onDemand);
    EXPECT_EQ(jobs[1].label, "org.example.Other");
    EXPECT_TRUE(jobs[1].onDemand);

    StartAtLoginController controller(&items, kHelperId);
    EXPECT_FALSE(controller.enabled());
    // Registering replaces the disabled entry with an enabled one.
    controller.setStartAtLogin(true);
    EXPECT_TRUE(controller.startAtLogin());
    EXPECT_TRUE(readEntry("org.example.Other.desktop").contains("Exec=other"));
}

TEST_F(XdgAutostartTest, UnwritableAutostartDirectoryLogsTheFailure)
{
    // A plain file where the directory should be: no entry can be written (even as root).
    QDir().mkpath(dir.filePath("config"));
    QFile blocker(autostart());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    XdgAutostartLoginItems items(helper);
    StartAtLoginController controller(&items, kHelperId);
    LogCapture log;
    controller.setStartAtLogin(true);
    EXPECT_FALSE(controller.enabled());
    EXPECT_TRUE(log.contains("SMLoginItemSetEnabled failed!"));
}

TEST_F(XdgAutostartTest, NoEntryIsWrittenForAMissingHelperOrABadIdentifier)
{
    XdgAutostartLoginItems missing(dir.filePath("prefix/libexec/pikora/absent"));
    EXPECT_FALSE(missing.setLoginItemEnabled(kHelperId, true));
    XdgAutostartLoginItems relative(QStringLiteral("PikoraLoginHelper"));
    EXPECT_FALSE(relative.setLoginItemEnabled(kHelperId, true));

    XdgAutostartLoginItems items(helper);
    for (const QString& bad : {QString(), QStringLiteral(".."), QStringLiteral("../escape")})
        EXPECT_FALSE(items.setLoginItemEnabled(bad, true)) << bad.toStdString();
    EXPECT_FALSE(QFileInfo::exists(autostart()));
}

TEST(XdgAutostartLoginItemsTest, DirectoryAndHelperLocation)
{
    const QByteArray previous = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "relative/path"); // invalid: ignored
    EXPECT_EQ(XdgAutostartLoginItems::defaultAutostartDirectory(), QDir::homePath() + "/.config/autostart");
    qputenv("XDG_CONFIG_HOME", "/somewhere/config/");
    EXPECT_EQ(XdgAutostartLoginItems::defaultAutostartDirectory(), "/somewhere/config/autostart");
    qputenv("XDG_CONFIG_HOME", previous);

    EXPECT_EQ(XdgAutostartLoginItems::helperPathForApplicationDirectory("/usr/bin"),
              "/usr/libexec/pikora/PikoraLoginHelper");
    EXPECT_EQ(XdgAutostartLoginItems::helperPathForApplicationDirectory("/opt/x y/bin/"),
              "/opt/x y/libexec/pikora/PikoraLoginHelper");
}

TEST(XdgAutostartLoginItemsTest, ExecArgumentsAreQuotedAndEscaped)
{
    EXPECT_EQ(XdgAutostartLoginItems::execArgument("/usr/libexec/pikora/PikoraLoginHelper"),
              "/usr/libexec/pikora/PikoraLoginHelper");
    EXPECT_EQ(XdgAutostartLoginItems::execArgument("/home/a b/PikoraLoginHelper"),
              "\"/home/a b/PikoraLoginHelper\"");
    // Quoting escapes " ` $ \ with a backslash, then the string escape doubles every backslash.
    EXPECT_EQ(XdgAutostartLoginItems::execArgument("/x/$HOME`\"\\"), "\"/x/\\\\$HOME\\\\`\\\\\"\\\\\\\\\"");
    EXPECT_EQ(XdgAutostartLoginItems::execArgument("/x/100%"), "/x/100%%");
    EXPECT_FALSE(XdgAutostartLoginItems::execArgument("/x/a\nb").has_value());
}

TEST(XdgAutostartLoginItemsTest, EnabledStateOfAnEntry)
{
    EXPECT_TRUE(XdgAutostartLoginItems::isEnabledEntry("[Desktop Entry]\nExec=x\n"));
    EXPECT_TRUE(
        XdgAutostartLoginItems::isEnabledEntry("# c\n[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n"));
    EXPECT_FALSE(XdgAutostartLoginItems::isEnabledEntry("[Desktop Entry]\nHidden=true\n"));
    EXPECT_FALSE(
        XdgAutostartLoginItems::isEnabledEntry("[Desktop Entry]\nX-GNOME-Autostart-enabled = false\n"));
    // Keys of other groups do not count; a file without the main group is no entry.
    EXPECT_TRUE(
        XdgAutostartLoginItems::isEnabledEntry("[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n"));
    EXPECT_FALSE(XdgAutostartLoginItems::isEnabledEntry("Exec=x\n"));
    EXPECT_FALSE(XdgAutostartLoginItems::isEnabledEntry(QByteArray()));
}
