#include "QuorbelOSXUtility/SimulatedUsbFormat.h"

#include "QuorbelOSXUtility/SimulatedUsbDevice.h"

#include <gtest/gtest.h>

namespace {

using Type = UsbEndpoint::Type;
using Direction = UsbEndpoint::Direction;

TEST(SimulatedUsbFormat, ReadsTheDocumentedExample)
{
    const QByteArray text =
        R"({"vendorId": 1317, "productId": 42146, "product": "PIKORA ECM/RNDIS", "interfaces":
        [{"class": 10, "endpoints": [{"address": 129, "type": "bulk", "direction": "in"},
        {"address": 2, "type": "bulk", "direction": "out"}]}]})";
    SimulatedUsbDescription d;
    QString error;
    ASSERT_TRUE(SimulatedUsbFormat::parse(text, d, &error)) << error.toStdString();
    EXPECT_EQ(d.vendorId, 0x0525);
    EXPECT_EQ(d.productId, 0xA4A2);
    EXPECT_EQ(d.product, "PIKORA ECM/RNDIS");
    ASSERT_EQ(d.interfaces.size(), 1u);
    EXPECT_EQ(d.interfaces[0].number, 0);
    EXPECT_EQ(d.interfaces[0].interfaceClass, 10);
    ASSERT_EQ(d.interfaces[0].endpoints.size(), 2u);
    EXPECT_EQ(d.interfaces[0].endpoints[0], (UsbEndpoint{129, Type::Bulk, Direction::In}));
    EXPECT_EQ(d.interfaces[0].endpoints[1], (UsbEndpoint{2, Type::Bulk, Direction::Out}));
}

TEST(SimulatedUsbFormat, WritesWhatItReadsWithDecimalIdsFirst)
{
    SimulatedUsbDescription original = SimulatedUsbDevice::networkModeAccessory();
    original.interfaces[1].number = 7; // not its position: must survive the round trip
    original.interfaces[0].endpoints.push_back({0x85, Type::Isochronous, Direction::In});
    original.interfaces[0].endpoints.push_back({0x00, Type::Control, Direction::Out});
    const QByteArray json = SimulatedUsbFormat::toJson(original);
    EXPECT_TRUE(
        json.startsWith(R"({"vendorId":1317,"productId":42146,"product":"PIKORA ECM/RNDIS","interfaces":[)"))
        << json.toStdString();

    SimulatedUsbDescription back;
    ASSERT_TRUE(SimulatedUsbFormat::parse(json, back));
    EXPECT_EQ(back, original);
}

TEST(SimulatedUsbFormat, OptionalMembersTakeTheirDefaults)
{
    SimulatedUsbDescription d;
    ASSERT_TRUE(SimulatedUsbFormat::parse(R"({"vendorId": 7649, "productId": 41217})", d));
    EXPECT_TRUE(d.product.isEmpty());
    EXPECT_TRUE(d.interfaces.empty());

    ASSERT_TRUE(SimulatedUsbFormat::parse(R"({"vendorId": 1, "productId": 2, "interfaces": [{"class": 2},
        {"class": 10, "number": 5, "endpoints": [{"address": 131, "type": "interrupt"}, {"address": 3, "type": "bulk"}]}]})",
                                          d));
    ASSERT_EQ(d.interfaces.size(), 2u);
    EXPECT_EQ(d.interfaces[0].number, 0);
    EXPECT_TRUE(d.interfaces[0].endpoints.empty());
    EXPECT_EQ(d.interfaces[1].number, 5);
    // Without "direction" the address's top bit decides.
    EXPECT_EQ(d.interfaces[1].endpoints[0].direction, Direction::In);
    EXPECT_EQ(d.interfaces[1].endpoints[0].type, Type::Interrupt);
    EXPECT_EQ(d.interfaces[1].endpoints[1].direction, Direction::Out);
}

TEST(SimulatedUsbFormat, RejectsMalformedDescriptionsWithAReason)
{
    const char* const bad[] = {
        "",
        "   ",
        R"({"vendorId": 1317, "productId": 42)", // cut short while being written
        "not json",
        "[1, 2]",
        R"({"vendorId": "1317", "productId": 42146})", // ids are numbers
        R"({"vendorId": 65536, "productId": 1})",
        R"({"vendorId": -1, "productId": 1})",
        R"({"vendorId": 1.5, "productId": 1})",
        R"({"vendorId": 1})",
        R"({"vendorId": 1, "productId": 2, "product": 5})",
        R"({"vendorId": 1, "productId": 2, "interfaces": {}})",
        R"({"vendorId": 1, "productId": 2, "interfaces": [{"endpoints": []}]})",
        R"({"vendorId": 1, "productId": 2, "interfaces": [{"class": 256}]})",
        R"({"vendorId": 1, "productId": 2, "interfaces": [{"class": 10, "endpoints": [{"address": 2, "type": "fast"}]}]})",
        R"({"vendorId": 1, "productId": 2, "interfaces": [{"class": 10, "endpoints": [{"address": 2, "type": "bulk", "direction": "up"}]}]})",
        R"({"vendorId": 1, "productId": 2, "interfaces": [{"class": 10, "endpoints": [{"type": "bulk"}]}]})",
        "{\"vendorId\": 1, \"productId\": 2, \"product\": \"\xff\xfe\"}", // not UTF-8
    };
    for (const char* text : bad) {
        SimulatedUsbDescription d;
        d.vendorId = 99;
        QString error;
        EXPECT_FALSE(SimulatedUsbFormat::parse(QByteArray(text), d, &error)) << text;
        EXPECT_FALSE(error.isEmpty()) << text;
        EXPECT_EQ(d.vendorId, 99) << "a rejected text must leave the output alone: " << text;
    }

    QByteArray huge = R"({"vendorId": 1, "productId": 2, "product": ")";
    huge += QByteArray(SimulatedUsbFormat::kMaxDescriptionFileSize, 'x') + "\"}";
    SimulatedUsbDescription d;
    EXPECT_FALSE(SimulatedUsbFormat::parse(huge, d));
}

TEST(SimulatedUsbFormat, OnlyPlainJsonFilesNameDevices)
{
    EXPECT_EQ(SimulatedUsbFormat::deviceNameOf("accessory.json"), "accessory");
    EXPECT_EQ(SimulatedUsbFormat::deviceNameOf("a.b.json"), "a.b");
    for (const char* notADevice : {".accessory.json", "accessory.json.tmp", "accessory.json.Xy12Ab", ".json",
                                   "accessory.ep2.out", "accessory.JSON"})
        EXPECT_TRUE(SimulatedUsbFormat::deviceNameOf(notADevice).isEmpty()) << notADevice;
    EXPECT_EQ(SimulatedUsbFormat::endpointFileName("accessory", 2), "accessory.ep2.out");
    EXPECT_EQ(SimulatedUsbFormat::endpointFileName("accessory", 129), "accessory.ep129.out");
}

} // namespace
