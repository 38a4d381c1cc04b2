// The pointer as cursor metadata beside the picture: a recorded record (cursor, bitmap record,
// a small ARGB bitmap with opaque, half and clear pixels) drawn at position minus hotspot and
// clipped to the frame; position-only and "no picture" updates; and records whose sizes or
// offsets lie, which must be refused without reading past them or changing what is drawn.
#include "Pikora/Capture/StreamCursor.h"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

void put32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t value)
{
    std::memcpy(v.data() + at, &value, 4);
}

// A cursor record as a compositor sends it: id 1, position, hotspot, and (unless
// bitmapOffset is 0) a bitmap record right after the cursor record, with 2x2 ARGB pixels
// (row stride 12: padded) — opaque red, half-transparent green / clear, opaque white.
std::vector<std::uint8_t> record(int x, int y, int hotX = 1, int hotY = 1,
                                 std::uint32_t bitmapOffset = StreamCursor::kCursorRecordSize)
{
    const std::size_t bitmapAt = StreamCursor::kCursorRecordSize;
    const std::size_t dataAt = bitmapAt + StreamCursor::kBitmapRecordSize;
    std::vector<std::uint8_t> v(dataAt + 12 * 2, 0);
    put32(v, 0, 1);
    put32(v, 8, std::uint32_t(x));
    put32(v, 12, std::uint32_t(y));
    put32(v, 16, std::uint32_t(hotX));
    put32(v, 20, std::uint32_t(hotY));
    put32(v, 24, bitmapOffset);
    put32(v, bitmapAt, StreamCursor::kFormatARGB);
    put32(v, bitmapAt + 4, 2);
    put32(v, bitmapAt + 8, 2);
    put32(v, bitmapAt + 12, 12);
    put32(v, bitmapAt + 16, StreamCursor::kBitmapRecordSize);
    const std::uint8_t pixels[2][12] = {{0xff, 0xff, 0, 0, 0x80, 0, 0xff, 0, 0xaa, 0xaa, 0xaa, 0xaa},
                                        {0, 1, 2, 3, 0xff, 0xff, 0xff, 0xff, 0xaa, 0xaa, 0xaa, 0xaa}};
    std::memcpy(v.data() + dataAt, pixels, sizeof pixels);
    return v;
}

// A grey 8x6 BGRx frame with guard bytes after each row.
struct Frame
{
    static constexpr int kW = 8, kH = 6, kStride = kW * 4 + 8;
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kStride * kH, 0x40);
    const std::uint8_t* at(int x, int y) const { return bytes.data() + y * kStride + x * 4; }
    std::vector<int> bgr(int x, int y) const { return {at(x, y)[0], at(x, y)[1], at(x, y)[2]}; }
    void draw(const StreamCursor& cursor) { cursor.drawInto(bytes.data(), kW, kH, kStride); }
    int changed() const
    {
        int n = 0;
        for (std::uint8_t b : bytes)
            n += b != 0x40;
        return n;
    }
};

TEST(StreamCursor, RecordedBitmapIsBlendedAtPositionMinusHotspot)
{
    StreamCursor cursor;
    const auto rec = record(4, 3);
    ASSERT_EQ(cursor.update(rec.data(), rec.size()), StreamCursor::Update::Moved);
    EXPECT_TRUE(cursor.visible());
    EXPECT_EQ(cursor.topLeft(), QPoint(3, 2));
    Frame frame;
    frame.draw(cursor);
    EXPECT_EQ(frame.bgr(3, 2), (std::vector<int>{0, 0, 0xff}));       // opaque red
    EXPECT_EQ(frame.bgr(4, 2), (std::vector<int>{0x20, 0xa0, 0x20})); // half green over grey, rounded
    EXPECT_EQ(frame.bgr(3, 3), (std::vector<int>{0x40, 0x40, 0x40})); // clear
    EXPECT_EQ(frame.bgr(4, 3), (std::vector<int>{0xff, 0xff, 0xff})); // opaque white
    EXPECT_EQ(frame.changed(), 9) << "only the three visible pixels' colour bytes change";
}

TEST(StreamCursor, CursorAtTheEdgesIsClippedToTheFrame)
{
    for (QPoint p : {QPoint(0, 0), QPoint(Frame::kW, Frame::kH), QPoint(-50, 3), QPoint(3, 1000)}) {
        StreamCursor cursor;
        const auto rec = record(p.x(), p.y());
        ASSERT_EQ(cursor.update(rec.data(), rec.size()), StreamCursor::Update::Moved);
        Frame frame;
        frame.draw(cursor);
        for (int y = 0; y < Frame::kH; ++y)
            for (int g = Frame::kW * 4; g < Frame::kStride; ++g)
                EXPECT_EQ(frame.bytes[y * Frame::kStride + g], 0x40) << "guard byte written at " << p.x();
    }
    StreamCursor corner;
    const auto rec = record(0, 0); // top-left at (-1,-1): only the white pixel lands, at (0,0)
    corner.update(rec.data(), rec.size());
    Frame frame;
    frame.draw(corner);
    EXPECT_EQ(frame.bgr(0, 0), (std::vector<int>{0xff, 0xff, 0xff}));
    EXPECT_EQ(frame.changed(), 3);
}

TEST(StreamCursor, LaterRecordsMoveKeepOrHideTheBitmap)
{
    StreamCursor cursor;
    auto rec = record(4, 3);
    cursor.update(rec.data(), rec.size());

    auto moved = record(6, 5, 0, 0, 0); // no new bitmap: the old one moves
    EXPECT_EQ(cursor.update(moved.data(), moved.size()), StreamCursor::Update::Moved);
    EXPECT_EQ(cursor.topLeft(), QPoint(5, 4)) << "the hotspot of the kept bitmap stays";

    auto unchanged = record(1, 1);
    put32(unchanged, 0, 0); // id 0: nothing new
    EXPECT_EQ(cursor.update(unchanged.data(), unchanged.size()), StreamCursor::Update::Unchanged);
    EXPECT_EQ(cursor.topLeft(), QPoint(5, 4));

    auto hidden = record(2, 2);
    put32(hidden, StreamCursor::kCursorRecordSize + 16, 0); // no picture
    EXPECT_EQ(cursor.update(hidden.data(), hidden.size()), StreamCursor::Update::Hidden);
    EXPECT_FALSE(cursor.visible());
    Frame frame;
    frame.draw(cursor);
    EXPECT_EQ(frame.changed(), 0);
}

TEST(StreamCursor, LyingRecordsAreRefusedAndChangeNothing)
{
    const std::size_t bitmapAt = StreamCursor::kCursorRecordSize;
    struct Lie
    {
        const char* what;
        std::size_t at;
        std::uint32_t value;
    };
    const Lie lies[] = {
        {"bitmap record past the end", 24, 4000},        {"bitmap record inside the cursor record", 24, 8},
        {"pixels past the end", bitmapAt + 16, 100},     {"stride shorter than a row", bitmapAt + 12, 4},
        {"negative stride", bitmapAt + 12, 0xfffffff0u}, {"too tall for the record", bitmapAt + 8, 3},
        {"absurd width", bitmapAt + 4, 0x40000000u},     {"unknown format", bitmapAt, 2},
        {"position beyond any screen", 8, 0x7fffffffu},
    };
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.what);
        StreamCursor cursor;
        const auto good = record(4, 3);
        cursor.update(good.data(), good.size());
        auto bad = record(1, 1);
        put32(bad, lie.at, lie.value);
        EXPECT_EQ(cursor.update(bad.data(), bad.size()), StreamCursor::Update::Refused);
        EXPECT_EQ(cursor.topLeft(), QPoint(3, 2)) << "the last good state stays";
        EXPECT_TRUE(cursor.visible());
    }
    StreamCursor cursor;
    const auto good = record(4, 3);
    EXPECT_EQ(cursor.update(good.data(), StreamCursor::kCursorRecordSize - 1), StreamCursor::Update::Refused);
    EXPECT_EQ(cursor.update(good.data(), good.size() - 5), StreamCursor::Update::Refused)
        << "the last pixel row is cut short";
    EXPECT_EQ(cursor.update(nullptr, 100), StreamCursor::Update::Refused);
    EXPECT_FALSE(cursor.visible());
}

} // namespace
