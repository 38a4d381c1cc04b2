// The application controller against fakes: start-up checks, the permission protocol, the
// accessory's messages and the button, the receiver-connection failure paths and pointer
// forwarding. Receivers are looked for only on loopback addresses where nothing answers.
#include "Pikora/App/AppDelegate.h"

#include "Beamline/KPDataTransmitterConferenceControl.h"
#include "Beamline/KPDeviceController.h"
#include "Pikora/Capture/AVSessionUtility.h"
#include "Pikora/Capture/KPDesktopImageProvider.h"
#include "Pikora/HostControl/HostControlPolicyExecuter.h"
#include "Pikora/StartAtLoginController/StartAtLoginController.h"
#include "Pikora/UI/PreferenceKeys.h"
#include "QuorbelOSXUtility/UsbBus.h"
#include "RecordingUserInterface.h"
#include "Support/UserDefaults.h"
#include "tests/StartAtLoginController/FakeLoginItems.h"
#include "tests/TestSupport/Eventually.h"
#include "tests/TestSupport/FakePermissionBroker.h"
#include "tests/TestSupport/FakePointerInjector.h"
#include "tests/TestSupport/FakePowerAssertion.h"
#include "tests/TestSupport/FakeReachabilityWatcher.h"
#include "tests/TestSupport/FakeRunningApplications.h"
#include "tests/TestSupport/FakeWifiNetworkInfo.h"
#include "tools/receiver-emulator/ReceiverEmulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>

using TestSupport::eventually;

namespace {

// A loopback port nobody listens on: bound here and kept, so queries to it go unanswered.
class SilentPort
{
public:
    SilentPort() { m_socket.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0); }
    quint16 port() const { return m_socket.localPort(); }

private:
    QUdpSocket m_socket;
};

class AppDelegateTest : public ::testing::Test
{
protected:
    AppDelegateTest()
    {
        env.ui = &ui;
        env.applications = &applications;
        env.permissionBroker = &permission;
        env.powerAssertion = &power;
        env.pointer = &pointer;
        env.wifi = &wifi;
        env.makeReachability = reachability.factory();
        env.deviceController = &devices;
        env.scanTargets = {QHostAddress(QStringLiteral("127.0.0.1"))};
        env.discoveryPort = silent.port();
        env.accessoryHost = QStringLiteral("127.0.0.1");
        env.accessoryPort = 9; // never probed: there is no USB bus in these tests
        env.conflictingDriverPaths = {dir.filePath(QStringLiteral("HoRNDIS.kext"))};
        env.terminate = [this] { ++terminated; };
        env.mainScreenSize = [] { return QSize(1440, 900); };
        // Capture reads the receiver's format and layout from this controller, as in the product.
        AVSessionUtility::sharedInstance()->setTransmitterProvider([this] { return devices.transmitter(); });
    }

    ~AppDelegateTest() override { AVSessionUtility::sharedInstance()->setTransmitterProvider(nullptr); }

    std::unique_ptr<AppDelegate> launch()
    {
        auto app = std::make_unique<AppDelegate>(env);
        EXPECT_TRUE(app->applicationDidFinishLaunching());
        return app;
    }

    // A receiver emulator on a loopback address, its ports chosen by the system, without a
    // configuration server.
    static ReceiverEmulatorConfig loopbackReceiver(const char* address, const char* name)
    {
        ReceiverEmulatorConfig config;
        config.bindAddress = QHostAddress(QString::fromLatin1(address));
        config.name = QString::fromUtf8(name);
        config.discoveryPort = 0;
        config.controlPort = 0;
        config.configPort = -1;
        return config;
    }

    // Aims Pikora's receiver scan at that emulator only.
    void scanFor(ReceiverEmulator& receiver, const ReceiverEmulatorConfig& config)
    {
        env.scanTargets = {config.bindAddress};
        env.discoveryPort = receiver.discoveryPort();
    }

    static void deliver(AppDelegate& app, const char* json)
    {
        app.connectorDidReceiveMessage(app.connector(), json);
        QCoreApplication::processEvents();
    }

    QTemporaryDir dir;
    SilentPort silent;
    RecordingUserInterface ui;
    FakeRunningApplications applications;
    FakePermissionBroker permission;
    FakePowerAssertion power;
    FakePointerInjector pointer;
    FakeWifiNetworkInfo wifi;
    FakeReachabilityWatcherFactory reachability;
    KPDeviceController devices;
    AppEnvironment env;
    int terminated = 0;
};

constexpr const char* kIntentAnswer =
    R"({"jsonrpc":"2.0","id":"query-connection-intent","result":{"ip_addr":"127.0.0.1","hostname":"Meeting Room","ssid_2.4G":"Office","ssid_5G":"Office-5G"}})";

} // namespace

TEST_F(AppDelegateTest, ConflictingDriverStopsStartUpWithInstructions)
{
    QDir().mkpath(env.conflictingDriverPaths.first());
    AppDelegate app(env);
    EXPECT_FALSE(app.applicationDidFinishLaunching());
    ASSERT_EQ(ui.alerts.size(), 1u);
    EXPECT_EQ(ui.alerts[0].question, QStringLiteral("Sorry"));
    EXPECT_EQ(ui.alerts[0].button, QStringLiteral("Show instructions"));
    EXPECT_EQ(applications.openedUrls().size(), 1);
    EXPECT_EQ(terminated, 1);
    EXPECT_EQ(app.connector(), nullptr); // nothing after the check was created
}

TEST_F(AppDelegateTest, RegistersTheLoginHelperOnEveryStart)
{
    FakeLoginItems items;
    env.loginItems = &items;
    auto first = launch();
    ASSERT_EQ(items.calls.size(), 1u);
    EXPECT_EQ(items.calls[0].identifier, QStringLiteral("com.tamsic.PikoraLoginHelper"));
    EXPECT_TRUE(items.calls[0].enabled);
    ASSERT_NE(first->serviceLoginController(), nullptr);
    EXPECT_TRUE(first->serviceLoginController()->enabled());

    // Registered already: the next start registers again.
    auto second = launch();
    EXPECT_EQ(items.calls.size(), 2u);
    EXPECT_TRUE(second->serviceLoginController()->enabled());

    // Refused registration: start-up goes on, nobody is bothered.
    items.succeeds = false;
    auto third = launch();
    EXPECT_FALSE(third->serviceLoginController()->enabled());
    EXPECT_NE(third->connector(), nullptr);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(ui.alerts.empty());
}

TEST_F(AppDelegateTest, AccessoryThatCannotBeOpenedIsExplainedOnce)
{
    auto app = launch();
    for (UsbResult other : {UsbResult::Ok, UsbResult::NoDevice, UsbResult::Busy, UsbResult::Timeout})
        app->accessoryModeSwitchDidFinish(other);
    EXPECT_TRUE(ui.messages.empty());

    app->accessoryModeSwitchDidFinish(UsbResult::AccessDenied);
    app->accessoryModeSwitchDidFinish(UsbResult::AccessDenied);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, AppDelegate::accessoryAccessDeniedMessage());
    EXPECT_EQ(ui.messages[0].dismissAfter, 0) << "stays until the user has read it";
    EXPECT_TRUE(ui.messages[0].text.contains(QStringLiteral("unplug the button")));
}

TEST_F(AppDelegateTest, DriverPathThatIsAPlainFileIsNoConflict)
{
    QFile file(env.conflictingDriverPaths.first());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    auto app = launch();
    EXPECT_TRUE(ui.alerts.empty());
    EXPECT_EQ(terminated, 0);
    EXPECT_NE(app->connector(), nullptr);
}

TEST_F(AppDelegateTest, ReceiverApplicationAlertRepeatsUntilItQuits)
{
    applications.setRunning(QStringLiteral("com.Tamsic.Vistrel-Pro"), true);
    ui.onAlert = [this](const RecordingUserInterface::Alert&) {
        if (ui.alerts.size() == 2)
            applications.setRunning(QStringLiteral("com.Tamsic.Vistrel-Pro"), false);
    };
    auto app = launch();
    ASSERT_EQ(ui.alerts.size(), 2u);
    EXPECT_EQ(ui.alerts[0].question, QStringLiteral("VistrelPro is running!"));
    EXPECT_EQ(ui.alerts[1].text, QStringLiteral("VistrelPro app is running, please close it for Pikora"));
    EXPECT_EQ(permission.startCount(), 1); // the protocol starts only after the wait
}

TEST_F(AppDelegateTest, InstallerWaitHoldsStartUpUntilItQuits)
{
    const QString installer = QStringLiteral("com.quorbel.Pikora-Installer");
    applications.setRunning(installer, true);
    applications.setQueryHook([this, installer](const QString& id, int count) {
        if (id == installer && count == 2)
            applications.setRunning(installer, false);
    });
    QElapsedTimer clock;
    clock.start();
    auto app = launch();
    EXPECT_EQ(applications.queryCount(installer), 2);
    EXPECT_GE(clock.elapsed(), 1900); // one wait of a second of events and a second of rest
    EXPECT_NE(app->connector(), nullptr);
}

TEST_F(AppDelegateTest, PermissionFollowsTheReceiverTarget)
{
    auto app = launch();
    EXPECT_EQ(permission.deliverRequest(), std::optional<bool>(true));

    deliver(*app, kIntentAnswer);
    EXPECT_EQ(permission.deliverRequest(), std::optional<bool>(false));

    app->connectorDidDisconnectFromAccessory(app->connector());
    EXPECT_EQ(permission.deliverRequest(), std::optional<bool>(true));
}

TEST_F(AppDelegateTest, IntentAnswerSetsTheTargetAndStartsConnecting)
{
    auto app = launch();
    deliver(*app, kIntentAnswer);
    EXPECT_EQ(app->targetIP(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(app->targetHostname(), QStringLiteral("Meeting Room"));
    EXPECT_EQ(app->targetSSIDs(), (QStringList{QStringLiteral("Office"), QStringLiteral("Office-5G")}));
    EXPECT_TRUE(app->isConnecting());

    // Only the 5 GHz name; then neither and no address.
    deliver(
        *app,
        R"({"jsonrpc":"2.0","id":"query-connection-intent","result":{"ip_addr":"127.0.0.1","ssid_5G":"Five"}})");
    EXPECT_EQ(app->targetSSIDs(), QStringList{QStringLiteral("Five")});
    deliver(*app,
            R"({"jsonrpc":"2.0","id":"query-connection-intent","result":{"hostname":"X","ip_addr":7}})");
    EXPECT_TRUE(app->targetSSIDs().isEmpty());
    EXPECT_FALSE(app->hasTargetIP());
}

TEST_F(AppDelegateTest, IntentErrorAndForeignResponsesLeaveTheTarget)
{
    auto app = launch();
    deliver(*app, kIntentAnswer);
    ui.messages.clear();

    deliver(*app,
            R"({"jsonrpc":"2.0","id":"query-connection-intent","error":{"code":-1,"message":"no pairing"}})");
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              QStringLiteral("No pairing data is found, please try to pair Pikora again"));
    EXPECT_EQ(ui.messages[0].dismissAfter, 0);
    EXPECT_EQ(app->targetHostname(), QStringLiteral("Meeting Room"));

    deliver(*app, R"({"jsonrpc":"2.0","id":"set-pairing-data","result":{"ip_addr":"127.0.0.5"}})");
    deliver(*app, "not json at all");
    EXPECT_EQ(app->targetIP(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(ui.messages.size(), 1u);
}

TEST_F(AppDelegateTest, ButtonWithoutPairingShowsTheNotice)
{
    auto app = launch();
    deliver(*app, R"({"jsonrpc":"2.0","method":"notify-button-pressed"})");
    deliver(*app, R"({"jsonrpc":"2.0","method":"notify-button-long-pressed","params":{"x":1}})");
    ASSERT_EQ(ui.messages.size(), 2u);
    for (const auto& m : ui.messages) {
        EXPECT_EQ(m.text, QStringLiteral("No pairing data is found, please try to pair Pikora again"));
        EXPECT_EQ(m.dismissAfter, 3.0);
    }
    EXPECT_FALSE(app->isConnecting());
}

TEST_F(AppDelegateTest, SecondConnectingProcessIsRefusedWhileTheFirstRuns)
{
    auto app = launch();
    int first = 0, second = 0;
    app->StartRemoteHostServiceConnectingProcess([&](bool, std::optional<KPError>) { ++first; });
    app->StartRemoteHostServiceConnectingProcess([&](bool, std::optional<KPError>) { ++second; });
    EXPECT_TRUE(app->isConnecting());
    QTest::qWait(100);
    EXPECT_EQ(second, 0);
}

TEST_F(AppDelegateTest, SilentReceiverLeadsToTheDisconnectivityAlert)
{
    wifi.setSsid(QStringLiteral("Office-5G"));
    auto app = launch();
    bool done = false;
    ui.onAlert = [&](const RecordingUserInterface::Alert&) { done = true; };
    deliver(*app, kIntentAnswer);
    ASSERT_TRUE(eventually([&] { return done; }, 5000)) << "done";
    ASSERT_EQ(ui.alerts.size(), 1u);
    EXPECT_EQ(ui.alerts[0].question, QStringLiteral("Failed to connect device\nMeeting Room\n127.0.0.1"));
    EXPECT_EQ(ui.alerts[0].text, QStringLiteral("Please restart WiFi display device"));
    EXPECT_FALSE(app->isConnecting());                                // cleared when the alert closed
    EXPECT_FALSE(ui.hasMessage(QStringLiteral("Connecting device"))); // the completion did not run
}

TEST(AppDelegateText, DisconnectivityTextNamesTheNetworksToJoin)
{
    const QStringList ssids{QStringLiteral("Office"), QStringLiteral("Office-5G")};
    EXPECT_EQ(AppDelegate::disconnectivityInformativeText(ssids, QStringLiteral("Office")),
              QStringLiteral("Please restart WiFi display device"));
    EXPECT_EQ(
        AppDelegate::disconnectivityInformativeText(ssids, QStringLiteral("Cafe")),
        QStringLiteral("Please connect your Wi-Fi to following SSID: \n \u2022 Office\n \u2022 Office-5G"));
    EXPECT_EQ(AppDelegate::disconnectivityInformativeText({}, QString()),
              QStringLiteral("Please connect your Wi-Fi to following SSID: "));
    // Not being on any network never counts as being on one of them.
    EXPECT_EQ(AppDelegate::disconnectivityInformativeText({QString()}, QString()),
              QStringLiteral("Please connect your Wi-Fi to following SSID: \n \u2022 "));
}

TEST(AppDelegateText, TouchPointsScaleToTheMainScreen)
{
    EXPECT_EQ(AppDelegate::scaleTouchPoint({1920, 1080}, {1920, 1080}, {1440, 900}), QPointF(1440, 900));
    EXPECT_EQ(AppDelegate::scaleTouchPoint({960, 270}, {1920, 1080}, {1440, 900}), QPointF(720, 225));
    EXPECT_EQ(AppDelegate::scaleTouchPoint({5, 5}, {0, 1080}, {1440, 900}), std::nullopt);
    EXPECT_EQ(AppDelegate::scaleTouchPoint({qQNaN(), 5}, {1920, 1080}, {1440, 900}), std::nullopt);
    EXPECT_EQ(AppDelegate::scaleTouchPoint({5, 5}, {1920, 1080}, {0, 0}), QPointF(0, 0));
}

TEST_F(AppDelegateTest, PointerEventsAreForwardedOnlyBetweenAGrantedStartAndItsStop)
{
    KPDesktopImageProvider::setCaptureBackend(CaptureBackend::TestPattern);
    ReceiverEmulatorConfig config = loopbackReceiver("127.0.0.6", "Pointer Room");
    ReceiverEmulator receiver(config);
    QString error;
    ASSERT_TRUE(receiver.start(&error)) << error.toStdString();
    receiver.setRefuseStream(true);
    scanFor(receiver, config);

    auto app = launch();
    auto sendAll = [&] {
        app->mouseMoveDetected({3, 4});
        app->LeftMouseDownDetected();
        app->touchEventConvertedToSingleMouseEvent_Down({50, 50}, {100, 100});
        app->wheelScrollDetected({0, 5});
        QCoreApplication::processEvents();
    };
    sendAll();
    EXPECT_TRUE(pointer.events().isEmpty());

    // Connected, stream requested and refused: the receiver's pointer stays off, also while
    // the request was unanswered.
    deliver(*app, R"({"jsonrpc":"2.0","id":"query-connection-intent","result":{"ip_addr":"127.0.0.6",)"
                  R"("hostname":"Pointer Room"}})");
    sendAll();
    ASSERT_TRUE(eventually([&] { return receiver.statistics().startRequests >= 1; }, 8000))
        << "receiver.statistics().startRequests >= 1";
    QTest::qWait(300);
    sendAll();
    EXPECT_TRUE(pointer.events().isEmpty());
    EXPECT_FALSE(app->isProjecting());

    // Granted: forwarded. Touches post at once from the caller's thread; moves and buttons
    // hop to the main queue.
    receiver.setRefuseStream(false);
    app->startWifiDisplay();
    ASSERT_TRUE(eventually([&] { return app->isProjecting(); }, 8000)) << "app->isProjecting()";
    sendAll();
    const auto events = pointer.events();
    ASSERT_EQ(events.size(), 3);
    EXPECT_EQ(events[0].kind, FakePointerInjector::Kind::LeftDown);
    EXPECT_EQ(events[0].value, QPointF(720, 450));
    EXPECT_EQ(events[1].kind, FakePointerInjector::Kind::RelativeMove);
    EXPECT_EQ(events[1].value, QPointF(3, 4));
    EXPECT_EQ(events[2].kind, FakePointerInjector::Kind::LeftDownOnCurrentPoint);

    // The receiver ends the stream: off again.
    receiver.stopDisplay();
    ASSERT_TRUE(eventually([&] { return !app->isProjecting(); }, 8000)) << "!app->isProjecting()";
    sendAll();
    EXPECT_EQ(pointer.events().size(), 3);

    // A stop of our own, with a move already queued: dropped when it runs.
    receiver.setRefuseStream(false);
    app->startWifiDisplay();
    ASSERT_TRUE(eventually([&] { return app->isProjecting(); }, 8000)) << "app->isProjecting()";
    app->mouseMoveDetected({1, 1});
    app->stopWifiDisplay(false);
    app->RightMouseDownDetected();
    QCoreApplication::processEvents();
    EXPECT_EQ(pointer.events().size(), 3);
    app.reset();
    devices.disconnect();
}

TEST_F(AppDelegateTest, AnEncoderThatCannotStartIsAFailedStartTheUserHearsOf)
{
    KPDesktopImageProvider::setCaptureBackend(CaptureBackend::TestPattern);
    ReceiverEmulatorConfig config = loopbackReceiver("127.0.0.6", "Tiny Room");
    config.maxResolution = QSize(1, 1);
    ReceiverEmulator receiver(config);
    QString error;
    ASSERT_TRUE(receiver.start(&error)) << error.toStdString();
    scanFor(receiver, config);

    auto app = launch();
    bool started = false;
    QObject::connect(app.get(), &AppDelegate::projectionStarted, [&] { started = true; });
    deliver(*app, R"({"jsonrpc":"2.0","id":"query-connection-intent","result":{"ip_addr":"127.0.0.6",)"
                  R"("hostname":"Tiny Room"}})");
    ASSERT_TRUE(eventually(
        [&] { return ui.hasMessage(QStringLiteral("Cannot start projecting to this receiver")); }, 8000))
        << "ui.hasMessage(QStringLiteral(\"Cannot start projecting to this receiver\"))";
    // The granted stream is given back; nothing else happens.
    ASSERT_TRUE(eventually([&] { return receiver.statistics().stopRequests >= 1; }, 5000))
        << "receiver.statistics().stopRequests >= 1";
    QTest::qWait(300);
    EXPECT_FALSE(started);
    EXPECT_FALSE(app->isProjecting());
    EXPECT_FALSE(AVSessionUtility::sharedInstance()->isRunning());
    EXPECT_EQ(AVSessionUtility::sharedInstance()->compressor(), nullptr);
    EXPECT_EQ(power.heldCount(), 0);
    EXPECT_FALSE(ui.hasMessage(QStringLiteral("Disconnect WiFi Display")));
    app.reset();
    devices.disconnect();
}

TEST_F(AppDelegateTest, UnplugClearsTheTargetAndTellsTheUser)
{
    auto app = launch();
    deliver(*app, kIntentAnswer);
    app->connectorDidDisconnectFromAccessory(app->connector());
    EXPECT_FALSE(app->hasTargetIP());
    EXPECT_TRUE(app->targetHostname().isEmpty());
    EXPECT_TRUE(app->targetSSIDs().isEmpty());
    EXPECT_FALSE(app->isConnecting());
    EXPECT_EQ(ui.lastMessage(), QStringLiteral("Pikora is removed"));
    EXPECT_EQ(ui.messages.back().dismissAfter, 3.0);
}

TEST_F(AppDelegateTest, ReceiverFoundUnderAWifiNameBecomesTheTarget)
{
    ReceiverEmulatorConfig config = loopbackReceiver("127.0.0.6", "Office-5G");
    ReceiverEmulator receiver(config);
    QString error;
    ASSERT_TRUE(receiver.start(&error)) << error.toStdString();
    scanFor(receiver, config);

    auto app = launch();
    deliver(*app, R"({"jsonrpc":"2.0","id":"query-connection-intent","result":{"ip_addr":"127.0.0.6",)"
                  R"("hostname":"Meeting Room","ssid_2.4G":"Office","ssid_5G":"Office-5G"}})");
    ASSERT_TRUE(eventually([&] { return ui.readyCount == 1; }, 8000)) << "ui.readyCount == 1";
    EXPECT_EQ(app->targetHostname(), QStringLiteral("Office-5G"));
    EXPECT_TRUE(devices.isConnected());
    EXPECT_FALSE(app->isConnecting());
    // Without a press: the intent answer's completion asks for the stream.
    EXPECT_TRUE(ui.hasMessage(QStringLiteral("Connecting device")));
    EXPECT_TRUE(ui.alerts.empty());
    app.reset();
    devices.disconnect();
}

TEST_F(AppDelegateTest, EveryReceiverConnectionInstallsAFreshHostControlPolicy)
{
    ReceiverEmulatorConfig config = loopbackReceiver("127.0.0.7", "Meeting Room");
    ReceiverEmulator receiver(config);
    QString error;
    ASSERT_TRUE(receiver.start(&error)) << error.toStdString();
    scanFor(receiver, config);

    UserDefaults defaults(dir.filePath(QStringLiteral("defaults.ini")));
    int made = 0;
    auto factory = HostControlPolicyExecuter::factory(ui, defaults, [this] { return devices.transmitter(); });
    env.makeHostControlPolicy = [&made, factory] {
        ++made;
        return factory();
    };

    auto app = launch();
    EXPECT_EQ(app->policyExecuter(), nullptr);
    deliver(*app, R"({"jsonrpc":"2.0","id":"query-connection-intent","result":{"ip_addr":"127.0.0.7",)"
                  R"("hostname":"Meeting Room"}})");
    ASSERT_TRUE(eventually([&] { return ui.readyCount == 1; }, 8000)) << "ui.readyCount == 1";
    ASSERT_EQ(made, 1);
    std::weak_ptr<HostControlPolicy> first = app->policyExecuter();
    ASSERT_NE(first.lock(), nullptr);
    ASSERT_NE(devices.transmitter(), nullptr);
    KPDataTransmitterConferenceControl* conference = devices.transmitter()->conferenceController();
    ASSERT_NE(conference, nullptr);
    EXPECT_EQ(conference->hostControlDelegate(), first.lock());

    // The next connection replaces the policy; the old one is gone, not kept by anyone.
    bool connected = false;
    ASSERT_TRUE(eventually([&] { return !app->isConnecting(); }, 8000)) << "!app->isConnecting()";
    app->StartRemoteHostServiceConnectingProcess([&connected](bool success, auto) { connected = success; });
    ASSERT_TRUE(eventually([&] { return connected; }, 8000)) << "connected";
    EXPECT_EQ(made, 2);
    EXPECT_TRUE(first.expired());
    ASSERT_NE(app->policyExecuter(), nullptr);
    EXPECT_EQ(devices.transmitter()->conferenceController()->hostControlDelegate(), app->policyExecuter());
    EXPECT_FALSE(app->policyExecuter()->isQueryingHost());

    // Unplugging the accessory turns the host-control preferences off again.
    defaults.setBool(kVistrelPreferenceDoNotDisturb, true);
    app->connectorDidDisconnectFromAccessory(app->connector());
    EXPECT_FALSE(defaults.boolForKey(kVistrelPreferenceDoNotDisturb));
    app.reset();
    devices.disconnect();
}

TEST_F(AppDelegateTest, LongPressProjectsFullScreenFromIdleAndLeavesTheWholeScreenAlone)
{
    KPDesktopImageProvider::setCaptureBackend(CaptureBackend::TestPattern);
    ReceiverEmulatorConfig config = loopbackReceiver("127.0.0.8", "Long Press Room");
    ReceiverEmulator receiver(config);
    QString error;
    ASSERT_TRUE(receiver.start(&error)) << error.toStdString();
    scanFor(receiver, config);

    auto app = launch();
    int started = 0;
    QObject::connect(app.get(), &AppDelegate::projectionStarted, [&] { ++started; });
    auto longPress = [&] {
        deliver(*app, R"({"jsonrpc":"2.0","method":"notify-button-long-pressed"})");
        ASSERT_TRUE(eventually([&] { return !app->isConnecting(); }, 8000));
    };
    auto split = [&] { return devices.transmitter()->splitScreenController(); };

    // The intent answer projects at once; stop it to be idle, connected.
    deliver(*app, R"({"jsonrpc":"2.0","id":"query-connection-intent","result":{"ip_addr":"127.0.0.8",)"
                  R"("hostname":"Long Press Room"}})");
    ASSERT_TRUE(eventually([&] { return app->isProjecting(); }, 8000));
    ASSERT_TRUE(eventually([&] { return !app->isConnecting(); }, 8000));
    app->stopWifiDisplay(false);
    ASSERT_TRUE(eventually([&] { return !app->isProjecting(); }, 8000));
    ASSERT_EQ(started, 1);
    EXPECT_EQ(split()->screenPosition(), 0) << "a stopped stream is not on the receiver's screen";

    // From idle: full screen is asked for and granted, then the stream starts on the whole screen.
    longPress();
    ASSERT_TRUE(eventually([&] { return app->isProjecting(); }, 8000));
    EXPECT_EQ(started, 2);
    EXPECT_EQ(receiver.statistics().startRequests, 2u);
    ASSERT_TRUE(
        eventually([&] { return split()->screenNumber() == 1 && split()->screenPosition() == 1; }, 5000));

    // On the whole screen already: nothing visible happens.
    auto session = AVSessionUtility::sharedInstance();
    const auto restarts = session->layoutRestarts();
    longPress();
    QTest::qWait(500);
    EXPECT_EQ(started, 2);
    EXPECT_EQ(receiver.statistics().startRequests, 2u);
    EXPECT_EQ(session->layoutRestarts(), restarts);
    EXPECT_TRUE(app->isProjecting());

    // The receiver splits its screen: a long press takes the whole screen back. Capture
    // follows the layout; the projection is not started again.
    receiver.setSplitScreen(2, 1);
    ASSERT_TRUE(eventually([&] { return split()->screenNumber() == 2; }, 5000));
    EXPECT_EQ(split()->screenPosition(), 1);
    ASSERT_TRUE(eventually([&] { return session->layoutRestarts() == restarts + 1; }, 8000));
    longPress();
    ASSERT_TRUE(
        eventually([&] { return split()->screenNumber() == 1 && split()->screenPosition() == 1; }, 5000));
    ASSERT_TRUE(eventually([&] { return session->layoutRestarts() == restarts + 2; }, 8000));
    EXPECT_EQ(started, 2);
    EXPECT_EQ(receiver.statistics().startRequests, 2u);
    EXPECT_TRUE(app->isProjecting());
    EXPECT_TRUE(session->isRunning());
    app.reset();
    devices.disconnect();
}
