#include "Pikora/Accessory/CompositeLauncherController.h"

#include "QuorbelOSXUtility/KPUSBController.h"
#include "QuorbelOSXUtility/SimulatedUsbBus.h"
#include "QuorbelOSXUtility/SimulatedUsbDevice.h"
#include "tests/QuorbelOSXUtility/UsbLogCapture.h"
#include "tests/TestSupport/FakeUsbBus.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <set>

namespace {

using Kind = FakeUsbBus::Call::Kind;
using Type = UsbEndpoint::Type;
using Direction = UsbEndpoint::Direction;

const QByteArray kCommand(16, char(0xCC));

UsbInterface interface(std::uint8_t number, std::uint8_t cls, std::vector<UsbEndpoint> endpoints)
{
    UsbInterface i;
    i.number = number;
    i.interfaceClass = cls;
    i.endpoints = std::move(endpoints);
    return i;
}

UsbInterface cdcData(std::uint8_t number, std::uint8_t in, std::uint8_t out)
{
    return interface(number, 10, {{in, Type::Bulk, Direction::In}, {out, Type::Bulk, Direction::Out}});
}

FakeUsbBus::Device rawDevice(const QString& id,
                             std::vector<UsbInterface> interfaces = {cdcData(0, 0x81, 0x02)})
{
    FakeUsbBus::Device d;
    d.info.id = id;
    d.info.vendorId = PikoraAccessoryVID;
    d.info.productId = PikoraAccessoryPID;
    d.info.serviceName = "PIKORA Launcher";
    d.interfaces = std::move(interfaces);
    return d;
}

class CompositeLauncherControllerTest : public ::testing::Test
{
protected:
    // The switch runs on its own queue: let the attempts queued so far finish.
    void settle() const { EXPECT_TRUE(m_switch.waitUntilIdle(std::chrono::seconds(10))); }
    std::vector<FakeUsbBus::Call> callsOf(Kind kind) const
    {
        settle();
        std::vector<FakeUsbBus::Call> out;
        for (const auto& c : m_bus.calls())
            if (c.kind == kind)
                out.push_back(c);
        return out;
    }
    std::vector<int> numbersOf(Kind kind) const
    {
        std::vector<int> out;
        for (const auto& c : callsOf(kind))
            out.push_back(c.number);
        return out;
    }
    std::vector<Kind> kinds() const
    {
        settle();
        std::vector<Kind> out;
        for (const auto& c : m_bus.calls())
            out.push_back(c.kind);
        return out;
    }
    // Every opened device was closed and every claimed interface released.
    void expectEverythingClosed() const
    {
        settle();
        EXPECT_EQ(m_bus.openHandles(), 0);
        EXPECT_EQ(callsOf(Kind::Open).size(), callsOf(Kind::Close).size());
        EXPECT_EQ(numbersOf(Kind::Claim), numbersOf(Kind::Release));
    }

    NotificationCenter m_center;
    FakeUsbBus m_bus;
    KPUSBController m_watcher{KPUSBController::descriptionPathForChipModel({}), &m_center};
    mutable CompositeLauncherController m_switch{m_watcher, &m_center};
};

TEST_F(CompositeLauncherControllerTest, ARawDevicePresentAtSetUpIsSwitchedOnceDuringSetUp)
{
    m_bus.attach(rawDevice("raw"));
    m_switch.setup(&m_bus);

    EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::Open, Kind::Interfaces, Kind::Claim, Kind::Write,
                                          Kind::Release, Kind::Close}));
    const auto writes = callsOf(Kind::Write);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].deviceId, "raw");
    EXPECT_EQ(writes[0].number, 0x02);
    EXPECT_EQ(writes[0].data, kCommand);
    EXPECT_GT(writes[0].timeout.count(), 0) << "the write must be bounded";
    EXPECT_LE(writes[0].timeout.count(), 5000);

    m_switch.setup(&m_bus);
    QCoreApplication::processEvents();
    EXPECT_EQ(callsOf(Kind::Write).size(), 1u) << "switched once only";
    expectEverythingClosed();
}

TEST_F(CompositeLauncherControllerTest, EveryCdcDataInterfaceGetsTheCommandInOrder)
{
    m_switch.setup(&m_bus);
    UsbLogCapture log;
    m_bus.attach(rawDevice(
        "raw", {interface(0, 2, {{0x85, Type::Interrupt, Direction::In}, {0x05, Type::Bulk, Direction::Out}}),
                cdcData(1, 0x81, 0x02), cdcData(3, 0x83, 0x04)}));

    EXPECT_EQ(numbersOf(Kind::Claim), (std::vector<int>{1, 3})) << "only CDC-Data interfaces are touched";
    EXPECT_EQ(numbersOf(Kind::Write), (std::vector<int>{0x02, 0x04}));
    for (const auto& w : callsOf(Kind::Write))
        EXPECT_EQ(w.data, kCommand);
    EXPECT_EQ(log.linesContaining("interface:1, name: PIKORA Launcher").size(), 1);
    EXPECT_EQ(log.linesContaining("interface:3, name: PIKORA Launcher").size(), 1);
    expectEverythingClosed();
}

TEST_F(CompositeLauncherControllerTest, AnInterfaceWithoutBothBulkPipesGetsNoWrite)
{
    m_switch.setup(&m_bus);
    m_bus.attach(rawDevice("in-only", {interface(0, 10, {{0x81, Type::Bulk, Direction::In}})}));
    m_bus.attach(rawDevice("out-only", {interface(0, 10, {{0x02, Type::Bulk, Direction::Out}})}));
    m_bus.attach(rawDevice(
        "interrupt-out",
        {interface(0, 10, {{0x81, Type::Bulk, Direction::In}, {0x02, Type::Interrupt, Direction::Out}})}));
    m_bus.attach(rawDevice("no-endpoints", {interface(0, 10, {})}));

    EXPECT_EQ(callsOf(Kind::Open).size(), 4u);
    EXPECT_TRUE(callsOf(Kind::Write).empty());
    expectEverythingClosed();
}

TEST_F(CompositeLauncherControllerTest, RemovalChangesNothing)
{
    m_bus.attach(rawDevice("raw"));
    m_switch.setup(&m_bus);
    settle();
    const size_t before = m_bus.calls().size();
    m_bus.detach("raw");
    QCoreApplication::processEvents();
    settle();
    EXPECT_EQ(m_bus.calls().size(), before);
}

TEST_F(CompositeLauncherControllerTest, DevicesArrivingTogetherAreEachSwitched)
{
    m_switch.setup(&m_bus);
    m_bus.attach(rawDevice("first"));
    m_bus.attach(rawDevice("second"));
    std::vector<QString> opened;
    for (const auto& c : callsOf(Kind::Open))
        opened.push_back(c.deviceId);
    EXPECT_EQ(opened, (std::vector<QString>{"first", "second"}));
    EXPECT_EQ(callsOf(Kind::Write).size(), 2u);

    // Someone else's notification without a device: the first raw device is switched.
    m_center.post(kKPRawDeviceDidAddNotification);
    EXPECT_EQ(callsOf(Kind::Open).back().deviceId, "first");
    expectEverythingClosed();
}

TEST_F(CompositeLauncherControllerTest, FailuresAreLoggedAndCloseEverything)
{
    struct Case
    {
        const char* what;
        std::function<void(FakeUsbBus::State&)> inject;
        const char* line;
        size_t writes;
    };
    const Case cases[] = {
        {"vanishes before it is opened", [](FakeUsbBus::State& s) { s.vanishOnOpen = "raw"; },
         "IOCreatePlugInInterfaceForService returned 0x00000006.", 0},
        {"held by another client", [](FakeUsbBus::State& s) { s.openResult = UsbResult::AccessDenied; },
         "Unable to open usb device interface :  0x00000002", 0},
        {"interfaces unreadable", [](FakeUsbBus::State& s) { s.interfacesResult = UsbResult::Io; },
         ":unable to create interface iterator. 0x00000005", 0},
        {"interface busy", [](FakeUsbBus::State& s) { s.claimResult = UsbResult::Busy; },
         "unable to claim interface 0: busy", 0},
        {"write times out", [](FakeUsbBus::State& s) { s.writeResult = UsbResult::Timeout; },
         "failed: timed out (0 of 16 bytes)", 2},
        {"short write", [](FakeUsbBus::State& s) { s.writeTransferred = 8; },
         "failed: input/output error (8 of 16 bytes)", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NotificationCenter center;
        FakeUsbBus bus;
        KPUSBController watcher(KPUSBController::descriptionPathForChipModel({}), &center);
        CompositeLauncherController modeSwitch(watcher, &center);
        modeSwitch.setup(&bus);
        c.inject(bus.state());

        UsbLogCapture log;
        bus.attach(rawDevice("raw", {cdcData(0, 0x81, 0x02), cdcData(1, 0x83, 0x04)}));
        ASSERT_TRUE(modeSwitch.waitUntilIdle(std::chrono::seconds(10)));
        EXPECT_GE(log.linesContaining(c.line).size(), 1u) << log.lines().join('\n').toStdString();
        size_t writes = 0, claims = 0, releases = 0, opens = 0, closes = 0;
        for (const auto& call : bus.calls()) {
            writes += call.kind == Kind::Write;
            claims += call.kind == Kind::Claim && bus.state().claimResult == UsbResult::Ok;
            releases += call.kind == Kind::Release;
            opens += call.kind == Kind::Open;
            closes += call.kind == Kind::Close;
        }
        EXPECT_EQ(writes, c.writes) << "a failed interface does not stop the next one";
        EXPECT_EQ(claims, releases);
        EXPECT_EQ(bus.openHandles(), 0);
        EXPECT_EQ(opens, 1u) << "nothing is retried";
        EXPECT_LE(closes, 1u);
    }
}

TEST_F(CompositeLauncherControllerTest, EveryAttemptReportsItsResult)
{
    std::vector<UsbResult> results;
    m_switch.setSwitchResultHandler([&results](UsbResult r) { results.push_back(r); });
    m_switch.setup(&m_bus);
    EXPECT_TRUE(results.empty()) << "no device, no attempt";

    // No access to the device node (libusb's LIBUSB_ERROR_ACCESS).
    m_bus.state().openResult = UsbResult::AccessDenied;
    m_bus.attach(rawDevice("denied"));
    ASSERT_TRUE(m_switch.waitUntilIdle(std::chrono::seconds(5)));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], UsbResult::AccessDenied);
    EXPECT_TRUE(callsOf(Kind::Write).empty());

    m_bus.state().openResult = UsbResult::Ok;
    m_bus.detach("denied");
    m_bus.attach(rawDevice("allowed"));
    ASSERT_TRUE(m_switch.waitUntilIdle(std::chrono::seconds(5)));
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1], UsbResult::Ok);
    EXPECT_EQ(callsOf(Kind::Write).size(), 1u);
    EXPECT_TRUE(m_switch.switchToRNDIS_ECM_Mode());
    ASSERT_TRUE(m_switch.waitUntilIdle(std::chrono::seconds(5)));
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[2], UsbResult::Ok);
    EXPECT_EQ(m_bus.openHandles(), 0);
}

TEST_F(CompositeLauncherControllerTest, SwitchesTheAccessoryOnTheSimulatedBus)
{
    QTemporaryDir dir;
    SimulatedUsbDevice accessory(dir.path(), "accessory");
    ASSERT_TRUE(accessory.plug(SimulatedUsbDevice::rawModeAccessory()));
    SimulatedUsbBus bus(dir.path());

    NotificationCenter center;
    KPUSBController watcher(KPUSBController::descriptionPathForChipModel({}), &center);
    CompositeLauncherController modeSwitch(watcher, &center);
    modeSwitch.setup(&bus);
    ASSERT_TRUE(modeSwitch.waitUntilIdle(std::chrono::seconds(10)));
    EXPECT_EQ(accessory.endpointData(SimulatedUsbDevice::kAccessoryBulkOutAddress), kCommand);

    // Re-plugged in raw mode later: switched again, once.
    ASSERT_TRUE(accessory.unplug());
    bus.rescan();
    ASSERT_TRUE(accessory.plug(SimulatedUsbDevice::rawModeAccessory()));
    bus.rescan();
    bus.rescan();
    ASSERT_TRUE(modeSwitch.waitUntilIdle(std::chrono::seconds(10)));
    EXPECT_EQ(accessory.endpointData(SimulatedUsbDevice::kAccessoryBulkOutAddress), kCommand);

    // In network mode it is not the raw device: nothing is written.
    ASSERT_TRUE(accessory.plug(SimulatedUsbDevice::networkModeAccessory()));
    bus.rescan();
    ASSERT_TRUE(modeSwitch.waitUntilIdle(std::chrono::seconds(10)));
    EXPECT_TRUE(accessory.endpointData(SimulatedUsbDevice::kAccessoryBulkOutAddress).isEmpty());
}

TEST_F(CompositeLauncherControllerTest, TheBulkWriteRunsOffTheMainThreadAndPendingSwitchesAreBounded)
{
    // Every write takes as long as the test says (a real one may take up to a second).
    std::atomic<bool> release{false};
    std::atomic<int> writesStarted{0};
    std::mutex threadsMutex;
    std::set<QThread*> writerThreads;
    m_bus.state().writeHook = [&] {
        {
            std::lock_guard lock(threadsMutex);
            writerThreads.insert(QThread::currentThread());
        }
        ++writesStarted;
        for (int i = 0; i < 2500 && !release; ++i)
            QThread::msleep(2);
    };
    m_switch.setup(&m_bus);
    m_bus.attach(rawDevice("slow"));
    // The arrival returned while the write is still under way.
    for (int i = 0; i < 2500 && writesStarted == 0; ++i)
        QThread::msleep(2);
    EXPECT_EQ(writesStarted, 1);
    EXPECT_FALSE(release) << "the main thread was not held by the write";

    // While that write hangs, arrivals queue up to the bound; a device already queued once
    // is not queued again.
    EXPECT_TRUE(m_switch.switchToRNDIS_ECM_Mode(rawDevice("a").info));
    EXPECT_FALSE(m_switch.switchToRNDIS_ECM_Mode(rawDevice("a").info));
    for (const char* id : {"b", "c", "d"})
        EXPECT_TRUE(m_switch.switchToRNDIS_ECM_Mode(rawDevice(id).info));
    EXPECT_FALSE(m_switch.switchToRNDIS_ECM_Mode(rawDevice("e").info)) << "more than the bound waits";

    release = true;
    settle();
    std::lock_guard lock(threadsMutex);
    ASSERT_EQ(writerThreads.size(), 1u);
    EXPECT_NE(*writerThreads.begin(), QCoreApplication::instance()->thread());
}

TEST_F(CompositeLauncherControllerTest, SmallOperations)
{
    UsbLogCapture log;
    EXPECT_FALSE(CompositeLauncherController::GetSpecificPipe(nullptr, Type::Bulk, Direction::Out));
    EXPECT_EQ(log.linesContaining("no usb interface in interface ptr ptr").size(), 1);
    const UsbInterface data = cdcData(0, 0x81, 0x02);
    EXPECT_EQ(CompositeLauncherController::GetSpecificPipe(&data, Type::Bulk, Direction::Out)->address, 0x02);

    UsbDeviceInfo device;
    device.serviceName = "PIKORA ECM/RNDIS";
    EXPECT_EQ(CompositeLauncherController::objcGetIOServiceName(device), "PIKORA ECM/RNDIS");

    EXPECT_EQ(&CompositeLauncherController::shared(), &CompositeLauncherController::shared());
    EXPECT_EQ(m_switch.masterPort(), 0u);
    EXPECT_EQ(m_switch.matchingServices(), 0u);

    // Without a bus there is nothing to look a device up on.
    log.clear();
    EXPECT_FALSE(m_switch.getUSBDeviceWithVid(PikoraAccessoryVID, PikoraAccessoryPID));
    EXPECT_EQ(log.linesContaining("failed to get matching service. matching dict:").size(), 1);
}

} // namespace
