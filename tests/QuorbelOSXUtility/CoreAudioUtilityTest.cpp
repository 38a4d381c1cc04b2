// The audio device utility against a private PulseAudio server.
#include "QuorbelOSXUtility/CoreAudioUtility.h"

#include "SoundServerEnvironment.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

static auto* const soundServer = SoundServerEnvironment::install();

const QString kPrefix = QStringLiteral("com_tamsic_Vistrel");
const QString kSonvexSink = QStringLiteral("com_tamsic_Vistrel_Sonvex");

class CoreAudioUtilityTest : public ::testing::Test
{
protected:
    PrivateSoundServer& server = SoundServerEnvironment::server();

    void SetUp() override
    {
        stateFile =
            server.workDirectory() +
            QStringLiteral("/state/%1.json")
                .arg(QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        QFile::remove(stateFile);
        CoreAudioUtility::setStateFile(stateFile);
    }
    void TearDown() override
    {
        CoreAudioUtility::removeProvidedAudioDevice();
        for (const QString& index : loaded)
            server.pactl({QStringLiteral("unload-module"), index});
        server.pactl({QStringLiteral("set-default-sink"), QStringLiteral("speakers")});
        server.pactl({QStringLiteral("set-default-source"), QStringLiteral("microphone")});
    }
    QString loadNullSink(const QString& name, const QString& description)
    {
        bool ok = false;
        const QString index =
            server.pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                          QStringLiteral("sink_name=") + name,
                          QStringLiteral("sink_properties=\"device.description='%1'\"").arg(description)},
                         &ok);
        EXPECT_TRUE(ok) << "cannot load a null sink " << name.toStdString();
        loaded.append(index);
        return index;
    }
    QJsonObject stateObject() const
    {
        QFile file(stateFile);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    QString stateFile;
    QStringList loaded;
};

TEST_F(CoreAudioUtilityTest, ListsSinksAndInputsByExactName)
{
    loadNullSink(QStringLiteral("longer"), QStringLiteral("Sonvex Longer"));
    loadNullSink(QStringLiteral("exact"), QStringLiteral("Sonvex"));

    const auto devices = CoreAudioUtility::audioDevices();
    ASSERT_TRUE(devices.has_value());
    QStringList names;
    for (auto id : *devices)
        names.append(CoreAudioUtility::audioDeviceNameWithID(id).value_or(QStringLiteral("?")));
    // Sinks, then the sources that are not monitors; monitors are the sinks' input side.
    EXPECT_EQ(names, (QStringList{QStringLiteral("Speakers"), QStringLiteral("Sonvex Longer"),
                                  QStringLiteral("Sonvex"), QStringLiteral("Microphone")}));

    const auto sonvex = CoreAudioUtility::audioDeviceWithName(QStringLiteral("Sonvex"));
    ASSERT_NE(sonvex, 0u);
    EXPECT_EQ(CoreAudioUtility::serverNameWithID(sonvex), QStringLiteral("exact"));
    EXPECT_EQ(CoreAudioUtility::audioDeviceWithName(QStringLiteral("Sonve")), 0u);
    EXPECT_EQ(CoreAudioUtility::audioDeviceWithName(QStringLiteral("sonvex")), 0u);
    EXPECT_FALSE(CoreAudioUtility::audioDeviceNameWithID(0x7ffffff0u).has_value());

    EXPECT_EQ(CoreAudioUtility::audioDeviceNameWithID(CoreAudioUtility::currentOutputAudioDevice()),
              QStringLiteral("Speakers"));
    EXPECT_EQ(CoreAudioUtility::audioDeviceNameWithID(CoreAudioUtility::currentInputAudioDevice()),
              QStringLiteral("Microphone"));
}

TEST_F(CoreAudioUtilityTest, SettingDefaultsAndFailures)
{
    loadNullSink(QStringLiteral("exact"), QStringLiteral("Sonvex"));
    const auto sonvex = CoreAudioUtility::audioDeviceWithName(QStringLiteral("Sonvex"));
    const auto microphone = CoreAudioUtility::audioDeviceWithName(QStringLiteral("Microphone"));

    // A sink as input: its monitor becomes the default source.
    EXPECT_TRUE(CoreAudioUtility::setCurrentAudioInputDeviceWithDevice(sonvex));
    EXPECT_EQ(server.defaultSource(), QStringLiteral("exact.monitor"));
    EXPECT_EQ(CoreAudioUtility::currentInputAudioDevice(), sonvex);
    EXPECT_TRUE(CoreAudioUtility::setCurrentAudioOutputDeviceWithDevice(sonvex));
    EXPECT_EQ(server.defaultSink(), QStringLiteral("exact"));

    // A source has no output; device 0 and unknown devices fail and change nothing.
    EXPECT_FALSE(CoreAudioUtility::setCurrentAudioOutputDeviceWithDevice(microphone));
    EXPECT_FALSE(CoreAudioUtility::setCurrentAudioOutputDeviceWithDevice(0));
    EXPECT_FALSE(CoreAudioUtility::setCurrentAudioInputDeviceWithDevice(0x7ffffff0u));
    EXPECT_EQ(server.defaultSink(), QStringLiteral("exact"));
    EXPECT_EQ(server.defaultSource(), QStringLiteral("exact.monitor"));

    EXPECT_TRUE(CoreAudioUtility::setCurrentAudioInputDeviceWithDevice(microphone));
    EXPECT_EQ(server.defaultSource(), QStringLiteral("microphone"));
}

TEST_F(CoreAudioUtilityTest, ProvidesSwitchesRestoresAndRemovesSonvex)
{
    ASSERT_EQ(CoreAudioUtility::audioDeviceWithName(QStringLiteral("Sonvex")), 0u);
    ASSERT_TRUE(CoreAudioUtility::provideAudioDevice(QStringLiteral("Sonvex"), kPrefix));
    EXPECT_TRUE(CoreAudioUtility::hasProvidedAudioDevice());
    EXPECT_TRUE(server.sinkNames().contains(kSonvexSink));
    EXPECT_TRUE(server.sourceNames().contains(kSonvexSink + QStringLiteral(".monitor")));
    EXPECT_TRUE(server.sourceNames().contains(kSonvexSink + QStringLiteral(".input")));
    // Providing again finds it and creates nothing more.
    const int sinks = server.sinkNames().size();
    ASSERT_TRUE(CoreAudioUtility::provideAudioDevice(QStringLiteral("Sonvex"), kPrefix));
    EXPECT_EQ(server.sinkNames().size(), sinks);

    CoreAudioUtility::setupAudioComponents();
    EXPECT_EQ(CoreAudioUtility::audioDeviceNameWithID(CoreAudioUtility::originalAudioOutputDevice()),
              QStringLiteral("Speakers"));
    // The originals are on disk while switched.
    EXPECT_EQ(stateObject().value(QStringLiteral("output")).toString(), QStringLiteral("speakers"));
    EXPECT_EQ(stateObject().value(QStringLiteral("input")).toString(), QStringLiteral("microphone"));
    EXPECT_EQ(stateObject().value(QStringLiteral("modules")).toArray().size(), 2);

    CoreAudioUtility::setAudioComponentsTo(QStringLiteral("Sonvex"));
    EXPECT_EQ(server.defaultSink(), kSonvexSink);
    EXPECT_EQ(server.defaultSource(), kSonvexSink + QStringLiteral(".monitor"));

    CoreAudioUtility::restoreAudioComponents();
    EXPECT_EQ(server.defaultSink(), QStringLiteral("speakers"));
    EXPECT_EQ(server.defaultSource(), QStringLiteral("microphone"));
    EXPECT_FALSE(stateObject().contains(QStringLiteral("output")));

    CoreAudioUtility::removeProvidedAudioDevice();
    EXPECT_FALSE(CoreAudioUtility::hasProvidedAudioDevice());
    EXPECT_FALSE(server.sinkNames().contains(kSonvexSink));
    EXPECT_FALSE(server.sourceNames().contains(kSonvexSink + QStringLiteral(".input")));
    EXPECT_FALSE(QFile::exists(stateFile)) << "nothing left to restore, so no state file";
}

TEST_F(CoreAudioUtilityTest, SecondSetupWhileSwitchedRemembersSonvexButKeepsTheUsersOnDisk)
{
    ASSERT_TRUE(CoreAudioUtility::provideAudioDevice(QStringLiteral("Sonvex"), kPrefix));
    CoreAudioUtility::setupAudioComponents();
    CoreAudioUtility::setAudioComponentsTo(QStringLiteral("Sonvex"));
    CoreAudioUtility::setupAudioComponents();
    EXPECT_EQ(CoreAudioUtility::audioDeviceNameWithID(CoreAudioUtility::originalAudioOutputDevice()),
              QStringLiteral("Sonvex"));
    EXPECT_EQ(stateObject().value(QStringLiteral("output")).toString(), QStringLiteral("speakers"));
    CoreAudioUtility::restoreAudioComponents();
    EXPECT_EQ(server.defaultSink(), kSonvexSink);
}

TEST_F(CoreAudioUtilityTest, NextStartRestoresWhatAKilledProcessLeftSwitched)
{
    // What a process killed while forwarding leaves: the server's defaults on its devices,
    // its modules loaded, and the state file naming the user's devices and its modules.
    bool ok = false;
    const QString sinkArgument =
        QStringLiteral("sink_name=%1 sink_properties=device.description=Sonvex").arg(kSonvexSink);
    const QString sinkIndex =
        server.pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"), sinkArgument}, &ok);
    ASSERT_TRUE(ok);
    // Someone else's module at an index the file claims with another argument: left alone.
    const QString otherIndex = loadNullSink(QStringLiteral("other"), QStringLiteral("Other"));
    server.pactl({QStringLiteral("set-default-sink"), kSonvexSink});
    server.pactl({QStringLiteral("set-default-source"), kSonvexSink + QStringLiteral(".monitor")});
    {
        QJsonArray modules;
        modules.append(QJsonObject{{QStringLiteral("index"), sinkIndex.toLongLong()},
                                   {QStringLiteral("name"), QStringLiteral("module-null-sink")},
                                   {QStringLiteral("argument"), sinkArgument}});
        modules.append(QJsonObject{{QStringLiteral("index"), otherIndex.toLongLong()},
                                   {QStringLiteral("name"), QStringLiteral("module-null-sink")},
                                   {QStringLiteral("argument"), QStringLiteral("sink_name=gone")}});
        QFile file(stateFile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(QJsonObject{{QStringLiteral("input"), QStringLiteral("microphone")},
                                             {QStringLiteral("output"), QStringLiteral("speakers")},
                                             {QStringLiteral("modules"), modules}})
                       .toJson());
    }

    EXPECT_TRUE(CoreAudioUtility::restoreAfterUnexpectedExit());
    EXPECT_EQ(server.defaultSink(), QStringLiteral("speakers"));
    EXPECT_EQ(server.defaultSource(), QStringLiteral("microphone"));
    EXPECT_FALSE(server.sinkNames().contains(kSonvexSink));
    EXPECT_TRUE(server.sinkNames().contains(QStringLiteral("other")));
    EXPECT_FALSE(QFile::exists(stateFile));
    // A second start has nothing to do.
    EXPECT_TRUE(CoreAudioUtility::restoreAfterUnexpectedExit());
}

TEST_F(CoreAudioUtilityTest, MalformedStateFileIsDiscarded)
{
    QFile file(stateFile);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{\"modules\": [{\"index\": \"x\"}, 7], \"output\": 12");
    file.close();
    EXPECT_TRUE(CoreAudioUtility::restoreAfterUnexpectedExit());
    EXPECT_FALSE(QFile::exists(stateFile));
    EXPECT_EQ(server.defaultSink(), QStringLiteral("speakers"));
}

} // namespace
