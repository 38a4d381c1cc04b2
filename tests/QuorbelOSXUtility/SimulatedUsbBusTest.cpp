#include "QuorbelOSXUtility/SimulatedUsbBus.h"

#include "QuorbelOSXUtility/SimulatedUsbDevice.h"
#include "tests/QuorbelOSXUtility/UsbLogCapture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

constexpr std::uint16_t kRawVid = SimulatedUsbDevice::kRawModeVendorId;
constexpr std::uint16_t kRawPid = SimulatedUsbDevice::kRawModeProductId;

class SimulatedUsbBusTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString dir() const { return m_dir.path(); }
    QString path(const QString& file) const { return QDir(dir()).filePath(file); }

    void writeRaw(const QString& file, const QByteArray& bytes)
    {
        QFile f(path(file));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }

    static std::vector<QString> ids(const QSignalSpy& spy)
    {
        std::vector<QString> out;
        for (const QList<QVariant>& args : spy)
            out.push_back(args.at(0).value<UsbDeviceInfo>().id);
        return out;
    }

    QTemporaryDir m_dir;
};

TEST_F(SimulatedUsbBusTest, DevicePresentAtStartIsReportedAsPresentNotAsArrival)
{
    SimulatedUsbDevice device(dir(), "accessory");
    ASSERT_TRUE(device.plug(SimulatedUsbDevice::rawModeAccessory()));

    SimulatedUsbBus bus(dir());
    QSignalSpy arrived(&bus, &UsbBus::deviceArrived);
    QString error;
    ASSERT_TRUE(bus.startWatching(kRawVid, kRawPid, &error)) << error.toStdString();

    const auto present = bus.devicesPresent(kRawVid, kRawPid);
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present[0].id, "accessory");
    EXPECT_EQ(present[0].vendorId, kRawVid);
    EXPECT_EQ(present[0].productId, kRawPid);
    EXPECT_EQ(present[0].serviceName, "PIKORA Launcher");

    bus.rescan();
    QCoreApplication::processEvents();
    EXPECT_EQ(arrived.count(), 0);
}

TEST_F(SimulatedUsbBusTest, WatcherNoticesArrivalAndRemovalOfWatchedIdsOnly)
{
    SimulatedUsbBus bus(dir());
    QSignalSpy arrived(&bus, &UsbBus::deviceArrived);
    QSignalSpy removed(&bus, &UsbBus::deviceRemoved);
    ASSERT_TRUE(bus.startWatching(kRawVid, kRawPid, nullptr));

    SimulatedUsbDevice other(dir(), "network");
    ASSERT_TRUE(other.plug(SimulatedUsbDevice::networkModeAccessory()));
    SimulatedUsbDevice device(dir(), "accessory");
    ASSERT_TRUE(device.plug(SimulatedUsbDevice::rawModeAccessory()));

    // No explicit rescan: the directory watcher (or the periodic rescan) must find it.
    ASSERT_TRUE(arrived.wait(5000));
    EXPECT_EQ(ids(arrived), std::vector<QString>{"accessory"});
    EXPECT_EQ(bus.devicesPresent(kRawVid, kRawPid).size(), 1u);

    ASSERT_TRUE(device.unplug());
    ASSERT_TRUE(removed.wait(5000));
    EXPECT_EQ(ids(removed), std::vector<QString>{"accessory"});
    EXPECT_EQ(removed.at(0).at(0).value<UsbDeviceInfo>().vendorId, kRawVid);
    EXPECT_TRUE(bus.devicesPresent(kRawVid, kRawPid).empty());

    // Unwatched ids are still answered from the directory itself.
    EXPECT_EQ(bus.devicesPresent(SimulatedUsbDevice::kNetworkModeVendorId,
                                 SimulatedUsbDevice::kNetworkModeProductId)
                  .size(),
              1u);
    QCoreApplication::processEvents();
    EXPECT_EQ(arrived.count(), 1);
}

TEST_F(SimulatedUsbBusTest, InvalidFilesAreSkippedWithOneLineAndReadAgainWhenTheyChange)
{
    SimulatedUsbBus bus(dir());
    QSignalSpy arrived(&bus, &UsbBus::deviceArrived);
    ASSERT_TRUE(bus.startWatching(kRawVid, kRawPid, nullptr));

    UsbLogCapture log;
    writeRaw("partial.json", R"({"vendorId": 7649, "produ)");
    bus.rescan();
    bus.rescan();
    bus.rescan();
    EXPECT_EQ(arrived.count(), 0);
    EXPECT_EQ(log.linesContaining("partial.json").size(), 1) << log.lines().join('\n').toStdString();

    writeRaw("partial.json", SimulatedUsbFormat::toJson(SimulatedUsbDevice::rawModeAccessory()));
    bus.rescan();
    EXPECT_EQ(ids(arrived), std::vector<QString>{"partial"});

    // A file that turns bad again does not detach the device (a careless writer may be
    // half-way through rewriting it); deleting it does.
    QSignalSpy removed(&bus, &UsbBus::deviceRemoved);
    writeRaw("partial.json", "{");
    bus.rescan();
    EXPECT_EQ(removed.count(), 0);
    QFile::remove(path("partial.json"));
    bus.rescan();
    EXPECT_EQ(removed.count(), 1);
}

TEST_F(SimulatedUsbBusTest, OversizedSpecialAndTemporaryFilesAreNotDevices)
{
    SimulatedUsbBus bus(dir());
    QSignalSpy arrived(&bus, &UsbBus::deviceArrived);
    ASSERT_TRUE(bus.startWatching(kRawVid, kRawPid, nullptr));
    UsbLogCapture log;

    const QByteArray valid = SimulatedUsbFormat::toJson(SimulatedUsbDevice::rawModeAccessory());
    QByteArray padded = valid;
    padded.append(QByteArray(SimulatedUsbFormat::kMaxDescriptionFileSize, ' '));
    writeRaw("huge.json", padded);
    writeRaw("dev.json.tmp", valid);
    writeRaw(".dev.json", valid);
    QDir(dir()).mkdir("folder.json");
    // A FIFO must not block the bus (opening it for reading would wait for a writer).
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("fifo.json")).constData(), 0600), 0);

    bus.rescan();
    EXPECT_EQ(arrived.count(), 0);
    EXPECT_EQ(log.linesContaining("huge.json").size(), 1);
    EXPECT_EQ(log.linesContaining("fifo.json").size(), 1);
    EXPECT_TRUE(log.linesContaining("dev.json").isEmpty());
}

TEST_F(SimulatedUsbBusTest, ReplacingADescriptionIsARemovalFollowedByAnArrival)
{
    SimulatedUsbBus bus(dir());
    ASSERT_TRUE(bus.startWatching(kRawVid, kRawPid, nullptr));
    QSignalSpy arrived(&bus, &UsbBus::deviceArrived);
    QSignalSpy removed(&bus, &UsbBus::deviceRemoved);

    SimulatedUsbDevice device(dir(), "accessory");
    ASSERT_TRUE(device.plug(SimulatedUsbDevice::rawModeAccessory()));
    bus.rescan();
    ASSERT_EQ(arrived.count(), 1);

    // Re-plugged with the same content before the bus looked again: still a new device.
    ASSERT_TRUE(device.plug(SimulatedUsbDevice::rawModeAccessory()));
    bus.rescan();
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(arrived.count(), 2);

    // Re-enumerated in network mode under the same name: the raw device has left.
    ASSERT_TRUE(device.plug(SimulatedUsbDevice::networkModeAccessory()));
    bus.rescan();
    EXPECT_EQ(removed.count(), 2);
    EXPECT_EQ(arrived.count(), 2);
    EXPECT_TRUE(bus.devicesPresent(kRawVid, kRawPid).empty());
}

TEST_F(SimulatedUsbBusTest, BulkWritesAppendToTheEndpointFileOfAnAttachedClaimedInterface)
{
    SimulatedUsbDevice device(dir(), "accessory");
    ASSERT_TRUE(device.plug(SimulatedUsbDevice::rawModeAccessory()));
    SimulatedUsbBus bus(dir());

    UsbResult result = UsbResult::Io;
    auto handle = bus.open("accessory", &result);
    ASSERT_EQ(result, UsbResult::Ok);
    ASSERT_TRUE(handle);
    std::vector<UsbInterface> interfaces;
    ASSERT_EQ(handle->interfaces(interfaces), UsbResult::Ok);
    EXPECT_EQ(interfaces, SimulatedUsbDevice::rawModeAccessory().interfaces);

    int transferred = -1;
    const QByteArray command(16, char(0xCC));
    EXPECT_EQ(handle->bulkWrite(0x02, command, std::chrono::milliseconds(100), &transferred),
              UsbResult::InvalidArgument)
        << "writing needs the interface claimed";
    EXPECT_EQ(transferred, 0);
    EXPECT_EQ(handle->claimInterface(9), UsbResult::NotFound);
    ASSERT_EQ(handle->claimInterface(0), UsbResult::Ok);
    EXPECT_EQ(handle->bulkWrite(0x81, command, std::chrono::milliseconds(100), &transferred),
              UsbResult::InvalidArgument);
    EXPECT_EQ(handle->bulkWrite(0x02, command, std::chrono::milliseconds(100), &transferred), UsbResult::Ok);
    EXPECT_EQ(transferred, 16);
    EXPECT_EQ(handle->bulkWrite(0x02, "ab", std::chrono::milliseconds(100), &transferred), UsbResult::Ok);
    EXPECT_EQ(device.endpointData(0x02), command + "ab");
    EXPECT_TRUE(QFile::exists(path("accessory.ep2.out")));

    // Once the device is re-plugged, the old handle refers to a device that is gone, and a
    // fresh plug starts with an empty endpoint.
    ASSERT_TRUE(device.plug(SimulatedUsbDevice::rawModeAccessory()));
    EXPECT_TRUE(device.endpointData(0x02).isEmpty());
    EXPECT_EQ(handle->bulkWrite(0x02, command, std::chrono::milliseconds(100), &transferred),
              UsbResult::NoDevice);
    EXPECT_EQ(handle->interfaces(interfaces), UsbResult::NoDevice);
    EXPECT_TRUE(device.endpointData(0x02).isEmpty());
}

TEST_F(SimulatedUsbBusTest, LinksAndFifosInTheBusDirectoryNeitherRedirectNorBlock)
{
    QTemporaryDir elsewhere;
    const QString outside = QDir(elsewhere.path()).filePath("precious");
    {
        QFile f(outside);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("keep me");
    }
    SimulatedUsbDevice device(dir(), "accessory");
    ASSERT_TRUE(device.plug(SimulatedUsbDevice::rawModeAccessory()));
    SimulatedUsbBus bus(dir());
    UsbResult result = UsbResult::Io;
    auto handle = bus.open("accessory", &result);
    ASSERT_TRUE(handle);
    ASSERT_EQ(handle->claimInterface(0), UsbResult::Ok);
    const QByteArray command(16, char(0xCC));
    int transferred = -1;

    // An endpoint file that is a symbolic link: nothing is written through it.
    ASSERT_TRUE(QFile::link(outside, path("accessory.ep2.out")));
    EXPECT_NE(handle->bulkWrite(0x02, command, std::chrono::milliseconds(100), &transferred), UsbResult::Ok);
    EXPECT_EQ(transferred, 0);
    QFile check(outside);
    ASSERT_TRUE(check.open(QIODevice::ReadOnly));
    EXPECT_EQ(check.readAll(), "keep me");
    ASSERT_TRUE(QFile::remove(path("accessory.ep2.out")));

    // An endpoint file that is a FIFO nobody reads: the write fails at once instead of hanging.
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("accessory.ep2.out")).constData(), 0600), 0);
    EXPECT_NE(handle->bulkWrite(0x02, command, std::chrono::milliseconds(100), &transferred), UsbResult::Ok);
    ASSERT_TRUE(QFile::remove(path("accessory.ep2.out")));

    // A description file that is a symbolic link to a valid description is not a device.
    ASSERT_TRUE(QFile::copy(path("accessory.json"), QDir(elsewhere.path()).filePath("real.json")));
    ASSERT_TRUE(QFile::link(QDir(elsewhere.path()).filePath("real.json"), path("linked.json")));
    EXPECT_EQ(bus.open("linked", &result), nullptr);
    EXPECT_EQ(bus.devicesPresent(kRawVid, kRawPid).size(), 1u);
}

TEST_F(SimulatedUsbBusTest, OpenRefusesMissingDevicesAndNamesOutsideTheDirectory)
{
    SimulatedUsbBus bus(dir());
    writeRaw("broken.json", "{");
    const std::pair<const char*, UsbResult> cases[] = {
        {"missing", UsbResult::NoDevice},
        {"../escape", UsbResult::InvalidArgument},
        {".hidden", UsbResult::InvalidArgument},
        {"", UsbResult::InvalidArgument},
        {"broken", UsbResult::Io},
    };
    for (const auto& [id, expected] : cases) {
        UsbResult result = UsbResult::Ok;
        EXPECT_EQ(bus.open(id, &result), nullptr) << id;
        EXPECT_EQ(result, expected) << id;
    }
}

TEST_F(SimulatedUsbBusTest, WatchingFailsCleanlyWhenTheDirectoryCannotBeCreated)
{
    writeRaw("plain-file", "x");
    SimulatedUsbBus bus(path("plain-file/bus"));
    QString error;
    EXPECT_FALSE(bus.startWatching(kRawVid, kRawPid, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(bus.devicesPresent(kRawVid, kRawPid).empty());
}

TEST_F(SimulatedUsbBusTest, DeviceHelperReportsEndpointWritesAndUnplugsOnDestruction)
{
    auto device = std::make_unique<SimulatedUsbDevice>(path("created/later"), "accessory");
    ASSERT_TRUE(device->plug(SimulatedUsbDevice::rawModeAccessory()));
    QSignalSpy written(device.get(), &SimulatedUsbDevice::endpointWritten);
    device->watchEndpoint(SimulatedUsbDevice::kAccessoryBulkOutAddress);

    SimulatedUsbBus bus(device->directory());
    auto handle = bus.open("accessory", nullptr);
    ASSERT_TRUE(handle);
    ASSERT_EQ(handle->claimInterface(0), UsbResult::Ok);
    ASSERT_EQ(handle->bulkWrite(0x02, QByteArray(16, char(0xCC)), std::chrono::milliseconds(100), nullptr),
              UsbResult::Ok);

    QByteArray received;
    while (received.size() < 16 && written.wait(5000)) {
        for (const auto& args : written)
            received += args.at(1).toByteArray();
        written.clear();
    }
    EXPECT_EQ(received, QByteArray(16, char(0xCC)));

    const QString descriptionPath = device->descriptionPath();
    EXPECT_TRUE(QFile::exists(descriptionPath));
    device.reset();
    EXPECT_FALSE(QFile::exists(descriptionPath));

    SimulatedUsbDevice invalid(dir(), "../outside");
    QString error;
    EXPECT_FALSE(invalid.plug(SimulatedUsbDevice::rawModeAccessory(), &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
