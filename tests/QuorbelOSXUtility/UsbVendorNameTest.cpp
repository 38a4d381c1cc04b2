#include "QuorbelOSXUtility/UsbVendorName.h"

#include "QuorbelOSXUtility/SimulatedUsbBus.h"
#include "QuorbelOSXUtility/SimulatedUsbDevice.h"
#include "QuorbelOSXUtility/SimulatedUsbFormat.h"
#include "tests/QuorbelOSXUtility/UsbLogCapture.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(UsbVendorName, SimulatedDeviceCarriesItsManufacturerThroughTheBus)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SimulatedUsbDescription description = SimulatedUsbDevice::rawModeAccessory();
    description.manufacturer = QStringLiteral("Quorbel Ltd.");
    SimulatedUsbDevice device(dir.path(), "accessory");
    ASSERT_TRUE(device.plug(description));

    SimulatedUsbBus bus(dir.path());
    ASSERT_TRUE(bus.startWatching(description.vendorId, description.productId, nullptr));
    const auto present = bus.devicesPresent(description.vendorId, description.productId);
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present[0].manufacturer, "Quorbel Ltd.");

    UsbLogCapture log;
    EXPECT_EQ(vendorNameOfUSBIOService(present[0]), QStringLiteral("Quorbel Ltd."));
    EXPECT_EQ(log.linesContaining("usb decice vendor name:Quorbel Ltd.").size(), 1);
    EXPECT_TRUE(log.linesContaining("Get USB VENDOR NAME error!").isEmpty());
}

TEST(UsbVendorName, DeviceWithoutManufacturerIsAnErrorLine)
{
    UsbDeviceInfo info;
    info.id = QStringLiteral("accessory");
    info.serviceName = QStringLiteral("PIKORA Launcher");
    UsbLogCapture log;
    EXPECT_FALSE(vendorNameOfUSBIOService(info));
    EXPECT_EQ(log.linesContaining("Get USB VENDOR NAME error!").size(), 1);
    EXPECT_TRUE(log.linesContaining("usb decice vendor name:").isEmpty());
}

TEST(UsbVendorName, ManufacturerIsOptionalInTheDescriptionFileAndTypeChecked)
{
    SimulatedUsbDescription d;
    ASSERT_TRUE(SimulatedUsbFormat::parse(R"({"vendorId": 1, "productId": 2, "manufacturer": "Acme"})", d));
    EXPECT_EQ(d.manufacturer, "Acme");
    SimulatedUsbDescription again;
    ASSERT_TRUE(SimulatedUsbFormat::parse(SimulatedUsbFormat::toJson(d), again));
    EXPECT_EQ(again, d);
    // Written only when there is one, so existing files keep their shape.
    d.manufacturer.clear();
    EXPECT_FALSE(SimulatedUsbFormat::toJson(d).contains("manufacturer"));

    QString error;
    EXPECT_FALSE(
        SimulatedUsbFormat::parse(R"({"vendorId": 1, "productId": 2, "manufacturer": 7})", d, &error));
    EXPECT_TRUE(error.contains("manufacturer")) << error.toStdString();
}

} // namespace
