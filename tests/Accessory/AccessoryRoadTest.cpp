// The accessory from plug-in to link, with the real pieces on a simulated bus: the emulator
// appears in raw mode, the mode switch sends the command, the emulator re-appears as the
// network device and the connector links to it.

#include "Pikora/Accessory/CompositeLauncherController.h"
#include "Pikora/Accessory/LauncherConnector.h"
#include "QuorbelOSXUtility/KPUSBController.h"
#include "QuorbelOSXUtility/SimulatedUsbBus.h"
#include "Support/NotificationCenter.h"
#include "tests/tools/EmulatorTestSupport.h"
#include "tools/accessory-emulator/AccessoryEmulator.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

struct Events : LauncherConnectorDelegate
{
    int pluggedIn = 0;
    int connects = 0;
    int disconnects = 0;
    void connectorECMUSBDidPluggedIn(LauncherConnector*) override { ++pluggedIn; }
    void connectorDidConnectToAccessory(LauncherConnector*, const Json&) override { ++connects; }
    void connectorDidDisconnectFromAccessory(LauncherConnector*) override { ++disconnects; }
};

TEST(AccessoryRoadTest, RawAccessoryIsSwitchedFoundAndLinked)
{
    QTemporaryDir dir;
    const QString busDir = dir.filePath(QStringLiteral("bus"));
    AccessoryEmulator::Options options;
    options.listenAddress = QHostAddress(QStringLiteral("127.0.0.1"));
    options.usbSimDirectory = busDir;
    options.startInRawMode = true;
    options.reenumerationDelay = 100ms;
    AccessoryEmulator emulator(options);
    ASSERT_TRUE(emulator.start());
    ASSERT_NE(emulator.port(), 0);
    EXPECT_FALSE(emulator.isListening());

    SimulatedUsbBus bus(busDir);
    NotificationCenter center;
    KPUSBController watcher(KPUSBController::descriptionPathForChipModel({}), &center);
    CompositeLauncherController modeSwitch(watcher, &center);
    Events events;
    LauncherConnector::Options link;
    link.host = QStringLiteral("127.0.0.1");
    link.port = emulator.port();
    LauncherConnector connector(&events, &bus, link);
    modeSwitch.setup(&bus); // the raw device is there already: switched now

    ASSERT_TRUE(waitUntil([&] { return events.connects == 1; }, 10s));
    EXPECT_EQ(emulator.summary().switchCommands, 1);
    EXPECT_EQ(events.pluggedIn, 1);
    EXPECT_EQ(emulator.usbState(), AccessoryEmulator::UsbState::Network);

    // Pulled out and put back in: removed, switched again and linked again.
    emulator.unplug();
    ASSERT_TRUE(waitUntil([&] { return events.disconnects == 1; }, 5s));
    ASSERT_TRUE(emulator.plug());
    ASSERT_TRUE(waitUntil([&] { return events.connects == 2; }, 10s));
    EXPECT_EQ(emulator.summary().switchCommands, 2);
    EXPECT_EQ(events.pluggedIn, 2);
}

} // namespace
