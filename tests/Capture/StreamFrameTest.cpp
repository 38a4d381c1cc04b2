// Screen-cast stream buffers, as recorded from producers: padded strides, other byte orders,
// crop regions, corrupt or lying chunk descriptions, and a stream that ends while surfaces
// lent from its buffers are still held downstream.
#include "Pikora/Capture/ScreenCastPortal.h"
#include "Pikora/Capture/StreamFrameAssembler.h"
#include "Pikora/Capture/StreamFrameLayout.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

using Format = StreamFrameLayout::Format;
using Result = StreamFrameLayout::Result;

// A buffer of `stride`-byte rows where pixel (x, y) has the bytes {x, y, x+y, 0x7f} in memory.
struct Recorded
{
    std::vector<std::uint8_t> memory;
    StreamFrameLayout::Buffer buffer;

    Recorded(Format format, int width, int height, int stride, std::uint32_t offset = 0)
    {
        memory.assign(offset + std::size_t(stride) * std::size_t(height), 0xee);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                std::uint8_t* p =
                    memory.data() + offset + std::size_t(y) * std::size_t(stride) + std::size_t(x) * 4;
                p[0] = std::uint8_t(x);
                p[1] = std::uint8_t(y);
                p[2] = std::uint8_t(x + y);
                p[3] = 0x7f;
            }
        buffer.format = format;
        buffer.size = QSize(width, height);
        buffer.data = memory.data();
        buffer.mappedSize = memory.size();
        buffer.chunkOffset = offset;
        buffer.chunkSize = memory.size() - offset;
        buffer.chunkStride = stride;
    }
};

const std::uint8_t* pixel(const CaptureSurface& s, int x, int y)
{
    return s.data() + std::size_t(y) * std::size_t(s.bytesPerRow()) + std::size_t(x) * 4;
}

} // namespace

TEST(StreamFrameLayoutTest, PaddedStrideAndOffsetAreHonoured)
{
    // 1366 pixels wide with rows padded to 64 bytes, the frame after a 4 KiB header.
    Recorded r(Format::BGRx, 1366, 8, 5504, 4096);
    StreamFrameLayout::View view;
    ASSERT_EQ(StreamFrameLayout::locate(r.buffer, view), Result::Ok);
    EXPECT_EQ(view.width, 1366);
    EXPECT_EQ(view.bytesPerRow, 5504);
    EXPECT_EQ(view.pixels, r.memory.data() + 4096);

    // A stride of 0 means packed rows.
    Recorded packed(Format::BGRA, 10, 4, 40);
    packed.buffer.chunkStride = 0;
    ASSERT_EQ(StreamFrameLayout::locate(packed.buffer, view), Result::Ok);
    EXPECT_EQ(view.bytesPerRow, 40);
}

TEST(StreamFrameLayoutTest, CropSelectsTheRegionAndIsClippedToTheFrame)
{
    Recorded r(Format::BGRx, 64, 32, 256);
    StreamFrameLayout::View view;
    r.buffer.crop = QRect(10, 5, 20, 7);
    ASSERT_EQ(StreamFrameLayout::locate(r.buffer, view), Result::Ok);
    EXPECT_EQ(view.width, 20);
    EXPECT_EQ(view.height, 7);
    EXPECT_EQ(view.pixels[0], 10); // x
    EXPECT_EQ(view.pixels[1], 5);  // y

    r.buffer.crop = QRect(50, 20, 100, 100); // runs past the frame: clipped
    ASSERT_EQ(StreamFrameLayout::locate(r.buffer, view), Result::Ok);
    EXPECT_EQ(view.width, 14);
    EXPECT_EQ(view.height, 12);

    r.buffer.crop = QRect(70, 0, 10, 10); // entirely outside
    EXPECT_EQ(StreamFrameLayout::locate(r.buffer, view), Result::EmptyCrop);

    r.buffer.crop = QRect(); // an empty region means the whole frame
    ASSERT_EQ(StreamFrameLayout::locate(r.buffer, view), Result::Ok);
    EXPECT_EQ(view.width, 64);
}

TEST(StreamFrameLayoutTest, DescriptionsThatWouldReadOutsideAreRefused)
{
    StreamFrameLayout::View view;
    Recorded r(Format::BGRx, 16, 16, 64);

    auto lying = r.buffer;
    lying.size = QSize(16, 17); // one row more than the memory holds
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::OutOfBounds);

    lying = r.buffer;
    lying.chunkSize = 64 * 15; // the chunk says less than the frame needs
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::OutOfBounds);

    lying = r.buffer;
    lying.chunkOffset = r.memory.size(); // starts past the mapping
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::OutOfBounds);

    lying = r.buffer;
    lying.chunkOffset = 8; // shifted: the last row would end past the mapping
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::OutOfBounds);

    lying = r.buffer;
    lying.chunkStride = 60; // shorter than a row
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::BadStride);
    lying.chunkStride = -64; // bottom-up
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::BadStride);
    lying.chunkStride = std::int64_t(1) << 40;
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::BadStride);

    lying = r.buffer;
    lying.size = QSize(0, 16);
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::BadSize);
    lying.size = QSize(100000, 1);
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::BadSize);

    lying = r.buffer;
    lying.corrupted = true;
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::Corrupted);

    lying = r.buffer;
    lying.chunkSize = 0; // nothing new in this buffer
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::NoData);
    lying = r.buffer;
    lying.data = nullptr;
    EXPECT_EQ(StreamFrameLayout::locate(lying, view), Result::NoData);
}

TEST(StreamFrameLayoutTest, EveryByteOrderBecomesBGRX)
{
    // Memory bytes per pixel are {x, y, x+y, 0x7f}; where B, G and R sit depends on the format.
    struct Case
    {
        Format format;
        int b, g, r; // index into {x, y, x+y, 0x7f}
    };
    const Case cases[] = {
        {Format::BGRx, 0, 1, 2}, {Format::BGRA, 0, 1, 2}, {Format::RGBx, 2, 1, 0}, {Format::RGBA, 2, 1, 0},
        {Format::xRGB, 3, 2, 1}, {Format::ARGB, 3, 2, 1}, {Format::xBGR, 1, 2, 3}, {Format::ABGR, 1, 2, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(StreamFrameLayout::name(c.format));
        Recorded r(c.format, 5, 3, 32);
        StreamFrameLayout::View view;
        ASSERT_EQ(StreamFrameLayout::locate(r.buffer, view), Result::Ok);
        std::vector<std::uint8_t> out(5 * 3 * 4);
        StreamFrameLayout::copyToBGRX(view, out.data(), 20);
        const int x = 4, y = 2;
        const std::uint8_t src[4] = {std::uint8_t(x), std::uint8_t(y), std::uint8_t(x + y), 0x7f};
        const std::uint8_t* p = out.data() + y * 20 + x * 4;
        EXPECT_EQ(p[0], src[c.b]);
        EXPECT_EQ(p[1], src[c.g]);
        EXPECT_EQ(p[2], src[c.r]);
    }
}

TEST(StreamFrameAssemblerTest, LendsNativeBuffersWhileTheProducerKeepsEnough)
{
    StreamFrameAssembler assembler;
    assembler.setBufferCount(4); // two may be lent, two stay with the producer
    Recorded r(Format::BGRx, 32, 8, 192, 64);
    int givenBack = 0;
    auto giveBack = [&givenBack] { ++givenBack; };

    auto first = assembler.take(r.buffer, true, nullptr, giveBack);
    auto second = assembler.take(r.buffer, true, nullptr, giveBack);
    auto third = assembler.take(r.buffer, true, nullptr, giveBack);
    ASSERT_TRUE(first.surface && second.surface && third.surface);
    EXPECT_TRUE(first.lent);
    EXPECT_TRUE(second.lent);
    EXPECT_FALSE(third.lent) << "a third lent buffer would leave the producer one";
    EXPECT_EQ(assembler.lentOut(), 2);
    EXPECT_EQ(givenBack, 1) << "the copied buffer goes back at once";

    // No copy: the surface shows the stream's memory, with its stride.
    EXPECT_EQ(first.surface->data(), r.memory.data() + 64);
    EXPECT_EQ(first.surface->bytesPerRow(), 192);
    EXPECT_NE(first.surface->generation(), second.surface->generation());

    first.surface.reset();
    EXPECT_EQ(givenBack, 2);
    EXPECT_EQ(assembler.lentOut(), 1);
    second.surface.reset();
    third.surface.reset();
    EXPECT_EQ(givenBack, 3) << "every buffer goes back exactly once";
    EXPECT_EQ(assembler.lentOut(), 0);
}

TEST(StreamFrameAssemblerTest, CopiesOtherOrdersCroppedAndRefusesBadBuffers)
{
    StreamFrameAssembler assembler;
    assembler.setBufferCount(8);
    int givenBack = 0;
    auto giveBack = [&givenBack] { ++givenBack; };

    Recorded rgb(Format::RGBx, 40, 20, 160);
    rgb.buffer.crop = QRect(8, 4, 16, 10);
    auto out = assembler.take(rgb.buffer, true, nullptr, giveBack);
    ASSERT_TRUE(out.surface);
    EXPECT_FALSE(out.lent) << "R and B must be swapped, so it cannot be lent";
    EXPECT_EQ(out.surface->width(), 16);
    EXPECT_EQ(out.surface->height(), 10);
    // Pixel (0, 0) of the crop is (8, 4) of the frame: memory {8, 4, 12}, RGB order.
    const std::uint8_t* p = pixel(*out.surface, 0, 0);
    EXPECT_EQ(p[0], 12);
    EXPECT_EQ(p[1], 4);
    EXPECT_EQ(p[2], 8);
    EXPECT_EQ(givenBack, 1);

    // A buffer whose memory is not ours to keep (lendable false) is copied even in BGRx.
    Recorded bgr(Format::BGRx, 40, 20, 160);
    out = assembler.take(bgr.buffer, false, nullptr, giveBack);
    ASSERT_TRUE(out.surface);
    EXPECT_FALSE(out.lent);
    EXPECT_EQ(pixel(*out.surface, 39, 19)[2], 58);

    auto bad = bgr.buffer;
    bad.chunkStride = 100;
    out = assembler.take(bad, true, nullptr, giveBack);
    EXPECT_FALSE(out.surface);
    EXPECT_EQ(out.result, Result::BadStride);
    EXPECT_EQ(givenBack, 3) << "refused buffers go back too";
    EXPECT_EQ(assembler.framesRefused(), 1u);
}

TEST(StreamFrameAssemblerTest, SurfacesOutliveTheStreamThatEnded)
{
    // The stream ends (its buffers are removed) while the encoder still holds a lent surface:
    // the memory stays mapped through the surface, and the give-back then does nothing.
    auto memory = std::make_shared<Recorded>(Format::BGRA, 16, 16, 64);
    auto streamAlive = std::make_shared<bool>(true);
    int queuedBack = 0;
    std::shared_ptr<CaptureSurface> held;
    {
        StreamFrameAssembler assembler;
        assembler.setBufferCount(3);
        std::weak_ptr<bool> weak = streamAlive;
        auto out = assembler.take(memory->buffer, true, memory, [weak, &queuedBack] {
            if (weak.lock())
                ++queuedBack;
        });
        ASSERT_TRUE(out.lent);
        held = std::move(out.surface);
    }
    std::weak_ptr<Recorded> watch = memory;
    memory.reset();
    streamAlive.reset(); // the stream is gone
    ASSERT_FALSE(watch.expired()) << "the lent surface keeps the mapping";
    EXPECT_EQ(pixel(*held, 15, 15)[0], 15);
    held.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(queuedBack, 0);
}

TEST(ScreenCastPortalTest, StartResultsAreReadByTypeOnly)
{
    // The well-formed answer is read in the Wayland road test (it needs a real bus).
    quint32 node = 0;
    QSize size;
    QString token;
    QString error;
    QVariantMap results;
    EXPECT_FALSE(ScreenCastPortal::parseStartResults(results, node, size, token, &error));
    EXPECT_FALSE(error.isEmpty());

    // Wrong types where the streams or the token should be: refused, never misread.
    results.insert(QStringLiteral("streams"), QStringLiteral("not a list"));
    results.insert(QStringLiteral("restore_token"), 42);
    EXPECT_FALSE(ScreenCastPortal::parseStartResults(results, node, size, token, &error));
    EXPECT_TRUE(token.isEmpty());
}
