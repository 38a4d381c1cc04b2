#include "QuorbelOSXUtility/LibUsbBus.h"

#include "QuorbelOSXUtility/SimulatedUsbBus.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// This machine may have no USB at all (no /dev/bus/usb in a container), a USB bus without
// the accessory, or hot-plug support or not: every case must construct, watch and stop
// cleanly, and a failure must come with a reason.
TEST(LibUsbBus, WatchingOnThisMachineEitherWorksOrSaysWhy)
{
    auto bus = std::make_unique<LibUsbBus>();
    QString error;
    const bool watching = bus->startWatching(0x1DE1, 0xA101, &error);
    if (!bus->isAvailable()) {
        EXPECT_FALSE(watching);
        EXPECT_FALSE(bus->initError().isEmpty());
        EXPECT_EQ(error, bus->initError());
        EXPECT_TRUE(bus->devicesPresent(0x1DE1, 0xA101).empty());
    } else if (!watching) {
        EXPECT_FALSE(error.isEmpty());
    } else {
        // A second watch of the same ids is counted, not registered twice.
        EXPECT_TRUE(bus->startWatching(0x1DE1, 0xA101, &error));
        for (const UsbDeviceInfo& device : bus->devicesPresent(0x1DE1, 0xA101)) {
            EXPECT_EQ(device.vendorId, 0x1DE1);
            EXPECT_TRUE(device.id.startsWith("usb:"));
        }
        bus->stopWatching(0x1DE1, 0xA101);
    }
    QCoreApplication::processEvents();

    UsbResult result = UsbResult::Ok;
    EXPECT_EQ(bus->open("usb:999:999", &result), nullptr);
    EXPECT_EQ(result, UsbResult::NoDevice);
    EXPECT_EQ(bus->open("not-a-usb-id", &result), nullptr);
    EXPECT_EQ(result, UsbResult::InvalidArgument);

    bus->stopWatching(0x1DE1, 0xA101);
    bus->stopWatching(0x1234, 0x5678); // never watched: nothing happens
    bus.reset();                       // joins the event thread, if any
}

TEST(LibUsbBus, PollingFindsNoChangeOnAQuietBus)
{
    LibUsbBus bus(nullptr, LibUsbBus::EventSource::Polling);
    EXPECT_FALSE(bus.usesHotplug());
    QSignalSpy arrived(&bus, &UsbBus::deviceArrived);
    QSignalSpy removed(&bus, &UsbBus::deviceRemoved);
    // Ids no device has: whatever this machine has attached, nothing may be reported.
    if (!bus.startWatching(0xFFFE, 0xFFFE, nullptr))
        GTEST_SKIP() << bus.initError().toStdString();
    EXPECT_TRUE(bus.devicesPresent(0xFFFE, 0xFFFE).empty());
    QTest::qWait(LibUsbBus::kPollIntervalMs * 2 + 200); // let the poll run at least once
    EXPECT_EQ(arrived.count(), 0);
    EXPECT_EQ(removed.count(), 0);
    bus.stopWatching(0xFFFE, 0xFFFE);
}

TEST(UsbBus, TheSimulatedBusIsChosenOnlyWhenADirectoryIsGiven)
{
    QTemporaryDir dir;
    auto simulated = UsbBus::create(dir.path());
    auto* sim = dynamic_cast<SimulatedUsbBus*>(simulated.get());
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->directory(), dir.path());

    auto real = UsbBus::create(QString());
    EXPECT_NE(dynamic_cast<LibUsbBus*>(real.get()), nullptr);
}

} // namespace
