#include "QuorbelOSXUtility/KPFramebufferUtility.h"

#include "QuorbelOSXUtility/FramebufferConnection.h"
#include "QuorbelOSXUtility/MyFramebuffer.h"
#include "tests/QuorbelOSXUtility/FakeFramebufferDriver.h"
#include "tests/QuorbelOSXUtility/UsbLogCapture.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <linux/fb.h>

namespace {

const QString kFb0 = QStringLiteral("/dev/fb0");

class KPFramebufferUtilityTest : public ::testing::Test
{
protected:
    FakeFramebufferDriver::Device& addDevice(FakeFramebufferDriver::Device device = {}, int index = 0)
    {
        return m_driver->addDevice(index, std::move(device));
    }
    std::unique_ptr<FramebufferConnection> open(const QString& path = kFb0)
    {
        int error = 0;
        auto connection = FramebufferConnection::open(path, m_driver, &error);
        EXPECT_TRUE(connection) << "open failed: " << error;
        return connection;
    }
    void TearDown() override { EXPECT_EQ(KPFramebufferUtility::driverBuffer(), nullptr); }

    std::shared_ptr<FakeFramebufferDriver> m_driver = std::make_shared<FakeFramebufferDriver>();
};

QVariantMap mode(const QString& name, uint width, uint height)
{
    return {{QStringLiteral("kKPFramebufferInfoName"), name},
            {QStringLiteral("kKPFramebufferInfoWidth"), width},
            {QStringLiteral("kKPFramebufferInfoHright"), height}};
}

TEST_F(KPFramebufferUtilityTest, ModesTheDriverRefusesAreLeftOutOfTheList)
{
    FakeFramebufferDriver::Device device;
    device.modes = "U:64x48p-60\nU:32x24p-60\nD:48x32p-75\n";
    device.refused = {{32, 24}};
    addDevice(device);
    auto fb = open();

    EXPECT_EQ(KPFramebufferUtility::modeCountOfFramebuffer(fb.get()), 3);
    EXPECT_EQ(KPFramebufferUtility::modeInfo(1, fb.get()), mode("U:64x48p-60", 64, 48));
    EXPECT_FALSE(KPFramebufferUtility::modeInfo(2, fb.get()));
    EXPECT_FALSE(KPFramebufferUtility::modeInfo(0, fb.get()));
    EXPECT_FALSE(KPFramebufferUtility::modeInfo(4, fb.get()));
    const QVariantList all = KPFramebufferUtility::allModeInfo(fb.get());
    ASSERT_EQ(all.size(), 2);
    EXPECT_EQ(all[0].toMap(), mode("U:64x48p-60", 64, 48));
    EXPECT_EQ(all[1].toMap(), mode("D:48x32p-75", 48, 32));
    // Checking modes changes nothing on the device.
    EXPECT_TRUE(m_driver->device(0).modesSet.empty());

    // Without a connection there is nothing.
    EXPECT_EQ(KPFramebufferUtility::modeCountOfFramebuffer(nullptr), 0);
    EXPECT_TRUE(KPFramebufferUtility::allModeInfo(nullptr).isEmpty());
}

TEST_F(KPFramebufferUtilityTest, DeviceWithoutAModeListHasItsCurrentModeAndLongListsAreCut)
{
    addDevice();
    auto fb = open();
    const QVariantList all = KPFramebufferUtility::allModeInfo(fb.get());
    ASSERT_EQ(all.size(), 1);
    EXPECT_EQ(all[0].toMap().value("kKPFramebufferInfoWidth"), 64u);
    EXPECT_EQ(all[0].toMap().value("kKPFramebufferInfoHright"), 48u);

    FakeFramebufferDriver::Device many;
    QByteArray modes;
    for (int i = 1; i <= 1000; ++i)
        modes += "U:" + QByteArray::number(i) + "x10p-60\n";
    // A name longer than the record's 31 characters is cut, never overflows it.
    modes.prepend("U:20x10p-60-with-a-much-too-long-name-for-the-record\n");
    many.modes = modes;
    addDevice(many, 1);
    auto fb1 = open(QStringLiteral("/dev/fb1"));
    EXPECT_EQ(KPFramebufferUtility::modeCountOfFramebuffer(fb1.get()), kMaxFramebufferModes);
    EXPECT_EQ(KPFramebufferUtility::modeInfo(1, fb1.get())->value("kKPFramebufferInfoName").toString(),
              QStringLiteral("U:20x10p-60-with-a-much-too-lon"));
}

TEST(FramebufferModeList, UnreadableLinesKeepTheirNumberButNoSize)
{
    const std::vector<FramebufferModeRecord> modes = parseFramebufferModeList(
        "U:800x600p-60\n\ngarbage\nU:-5x10p\nU:99999999999x1p\nU:0x10p\nV:1024x768i-75\r\n");
    ASSERT_EQ(modes.size(), 6u);
    EXPECT_STREQ(modes[0].name, "U:800x600p-60");
    EXPECT_EQ(modes[0].width, 800u);
    EXPECT_EQ(modes[0].height, 600u);
    for (std::size_t i = 1; i < 5; ++i)
        EXPECT_EQ(modes[i].width, 0u) << modes[i].name;
    EXPECT_STREQ(modes[1].name, "garbage");
    EXPECT_EQ(modes[5].width, 1024u);
    EXPECT_EQ(modes[5].height, 768u);
}

TEST_F(KPFramebufferUtilityTest, EnablingTwiceMapsOnceAndDisablingUndoesIt)
{
    FakeFramebufferDriver::Device device;
    device.modes = "U:64x48p-60\nU:32x24p-60\nU:48x32p-60\n";
    addDevice(device);
    auto fb = open();
    EXPECT_EQ(KPFramebufferUtility::stateOfFramebuffer(fb.get()), 0);

    ASSERT_TRUE(KPFramebufferUtility::setFramebuffer(fb.get(), true));
    void* buffer = KPFramebufferUtility::driverBuffer();
    EXPECT_NE(buffer, nullptr);
    // The highest mode number is the one switched to.
    ASSERT_EQ(m_driver->device(0).modesSet.size(), 1u);
    EXPECT_EQ(m_driver->device(0).modesSet[0], std::make_pair(48u, 32u));
    EXPECT_EQ(m_driver->device(0).blank, FB_BLANK_UNBLANK);
    EXPECT_EQ(KPFramebufferUtility::stateOfFramebuffer(fb.get()), 1);

    EXPECT_FALSE(KPFramebufferUtility::setFramebuffer(fb.get(), true));
    EXPECT_EQ(m_driver->mapCount, 1);
    EXPECT_EQ(m_driver->device(0).modesSet.size(), 1u);
    EXPECT_EQ(KPFramebufferUtility::driverBuffer(), buffer);

    EXPECT_TRUE(KPFramebufferUtility::setFramebuffer(fb.get(), false));
    EXPECT_EQ(m_driver->unmapCount, 1);
    EXPECT_EQ(m_driver->device(0).blank, FB_BLANK_POWERDOWN);
    EXPECT_EQ(KPFramebufferUtility::driverBuffer(), nullptr);
    EXPECT_EQ(KPFramebufferUtility::stateOfFramebuffer(fb.get()), 0);
    EXPECT_FALSE(KPFramebufferUtility::setFramebuffer(fb.get(), false));
    EXPECT_EQ(m_driver->unmapCount, 1);
}

TEST_F(KPFramebufferUtilityTest, FailingModeSwitchMapsNothingAndClosingUnmaps)
{
    FakeFramebufferDriver::Device device;
    device.modes = "U:64x48p-60\nU:32x24p-60\n";
    device.refused = {{32, 24}};
    addDevice(device);
    {
        auto fb = open();
        EXPECT_FALSE(KPFramebufferUtility::setFramebuffer(fb.get(), true));
        EXPECT_EQ(m_driver->mapCount, 0);
        EXPECT_EQ(KPFramebufferUtility::driverBuffer(), nullptr);
    }
    m_driver->device(0).refused.clear();
    {
        auto fb = open();
        ASSERT_TRUE(KPFramebufferUtility::setFramebuffer(fb.get(), true));
    }
    // The connection went away with its mapping; nothing is left pointing at it.
    EXPECT_EQ(KPFramebufferUtility::driverBuffer(), nullptr);
    EXPECT_EQ(m_driver->liveMappings(), 0);
    EXPECT_EQ(m_driver->openFiles(), 0);
}

TEST_F(KPFramebufferUtilityTest, BitmapIsA24BitRgbCopyOfTheVisibleFramebuffer)
{
    FakeFramebufferDriver::Device device;
    device.width = 4;
    device.height = 2;
    device.lineLength = 32; // rows padded beyond the 16 visible bytes
    addDevice(device);
    auto fb = open();
    UsbLogCapture log;
    EXPECT_TRUE(KPFramebufferUtility::bitmapRepFromBuffer(fb.get(), nullptr, 4, 2).isNull());
    EXPECT_EQ(log.linesContaining("Something wrong while getting frame buffer image.").size(), 1);

    ASSERT_TRUE(KPFramebufferUtility::setFramebuffer(fb.get(), true));
    std::vector<std::uint8_t>& memory = m_driver->device(0).memory;
    ASSERT_EQ(memory.size(), 64u);
    // B, G, R, X: pixel (1, 0) pure red, pixel (3, 1) a mix.
    memory[4 + 2] = 0xFF;
    memory[32 + 12 + 0] = 0x30;
    memory[32 + 12 + 1] = 0x20;
    memory[32 + 12 + 2] = 0x10;

    const QImage bitmap = KPFramebufferUtility::bitmapRepFromBuffer(fb.get(), nullptr, 4, 2);
    ASSERT_FALSE(bitmap.isNull());
    EXPECT_EQ(bitmap.format(), QImage::Format_RGB888);
    EXPECT_EQ(bitmap.size(), QSize(4, 2));
    EXPECT_EQ(bitmap.pixel(1, 0), qRgb(0xFF, 0, 0));
    EXPECT_EQ(bitmap.pixel(3, 1), qRgb(0x10, 0x20, 0x30));
    EXPECT_EQ(bitmap.pixel(0, 0), qRgb(0, 0, 0));
    const QImage image = KPFramebufferUtility::imageFromNSBitmapImageRep(bitmap);
    EXPECT_EQ(image.size(), bitmap.size());
    EXPECT_EQ(image.pixel(3, 1), qRgb(0x10, 0x20, 0x30));

    // A size beyond the framebuffer is refused instead of read past the mapping.
    log.clear();
    EXPECT_TRUE(KPFramebufferUtility::bitmapRepFromBuffer(fb.get(), nullptr, 5, 2).isNull());
    EXPECT_TRUE(KPFramebufferUtility::bitmapRepFromBuffer(fb.get(), nullptr, 4, 3).isNull());
    EXPECT_TRUE(KPFramebufferUtility::bitmapRepFromBuffer(fb.get(), nullptr, 0, 2).isNull());
    EXPECT_TRUE(KPFramebufferUtility::bitmapRepFromBuffer(nullptr, nullptr, 4, 2).isNull());
    EXPECT_EQ(log.linesContaining("Something wrong while getting frame buffer image.").size(), 4);
    EXPECT_TRUE(KPFramebufferUtility::setFramebuffer(fb.get(), false));
}

TEST_F(KPFramebufferUtilityTest, SixteenBitPixelsAreWidenedToEightBitsPerChannel)
{
    FakeFramebufferDriver::Device device;
    device.width = 2;
    device.height = 1;
    device.bitsPerPixel = 16;
    addDevice(device);
    auto fb = open();
    ASSERT_TRUE(KPFramebufferUtility::setFramebuffer(fb.get(), true));
    std::vector<std::uint8_t>& memory = m_driver->device(0).memory;
    // RGB565 little-endian: full red, then full green with half blue (16 of 31).
    memory[0] = 0x00;
    memory[1] = 0xF8;
    memory[2] = 0xF0;
    memory[3] = 0x07;
    const QImage bitmap = KPFramebufferUtility::bitmapRepFromBuffer(fb.get(), nullptr, 2, 1);
    ASSERT_FALSE(bitmap.isNull());
    // Full scale stays full scale (not 0xF8 / 0xFC).
    EXPECT_EQ(bitmap.pixel(0, 0), qRgb(0xFF, 0, 0));
    EXPECT_EQ(bitmap.pixel(1, 0), qRgb(0, 0xFF, 132));
    EXPECT_TRUE(KPFramebufferUtility::setFramebuffer(fb.get(), false));
}

TEST_F(KPFramebufferUtilityTest, FindsTheFirstFramebufferOfADriverAndClosesWhatItProbes)
{
    FakeFramebufferDriver::Device efi;
    efi.id = "EFI VGA";
    FakeFramebufferDriver::Device ours;
    ours.id = "myframebuffer_dr"; // the kernel's 16 characters of "myframebuffer_driver"
    addDevice(efi, 0);
    addDevice(ours, 2);
    addDevice(ours, 3);
    EXPECT_EQ(KPFramebufferUtility::serviceOfFramebuffer("myframebuffer_driver", m_driver), "/dev/fb2");
    EXPECT_EQ(KPFramebufferUtility::serviceOfFramebuffer({}, m_driver), "/dev/fb0");
    EXPECT_TRUE(KPFramebufferUtility::isFramebufferInstalled("EFI VGA", m_driver));
    EXPECT_FALSE(KPFramebufferUtility::isFramebufferInstalled("usbscsistor", m_driver));
    EXPECT_EQ(m_driver->openFiles(), 0);

    int error = 0;
    EXPECT_FALSE(FramebufferConnection::open("/dev/fb1", m_driver, &error));
    EXPECT_EQ(error, -ENOENT);
}

} // namespace
