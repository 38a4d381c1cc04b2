#include "Pikora/Capture/StreamCursor.h"

#include <algorithm>
#include <cstring>

namespace {

std::uint32_t u32(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::int32_t i32(const std::uint8_t* p)
{
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Byte positions of B, G, R and A in a pixel of `format`; A = -1 for an opaque format.
bool channels(std::uint32_t format, int& b, int& g, int& r, int& a)
{
    switch (format) {
    case StreamCursor::kFormatBGRA:
    case StreamCursor::kFormatBGRx:
        b = 0, g = 1, r = 2, a = format == StreamCursor::kFormatBGRA ? 3 : -1;
        return true;
    case StreamCursor::kFormatRGBA:
    case StreamCursor::kFormatRGBx:
        r = 0, g = 1, b = 2, a = format == StreamCursor::kFormatRGBA ? 3 : -1;
        return true;
    case StreamCursor::kFormatARGB:
    case StreamCursor::kFormatxRGB:
        a = format == StreamCursor::kFormatARGB ? 0 : -1, r = 1, g = 2, b = 3;
        return true;
    case StreamCursor::kFormatABGR:
    case StreamCursor::kFormatxBGR:
        a = format == StreamCursor::kFormatABGR ? 0 : -1, b = 1, g = 2, r = 3;
        return true;
    default:
        return false;
    }
}

} // namespace

StreamCursor::Update StreamCursor::update(const std::uint8_t* record, std::size_t size)
{
    if (!record || size < kCursorRecordSize)
        return Update::Refused;
    if (u32(record) == 0)
        return Update::Unchanged; // id 0: nothing new
    const QPoint position(i32(record + 8), i32(record + 12));
    const QPoint hotspot(i32(record + 16), i32(record + 20));
    const std::uint64_t bitmapOffset = u32(record + 24);
    // Positions far outside any frame are nonsense; they would also overflow the arithmetic.
    constexpr int kMaxCoordinate = 1 << 20;
    auto sane = [](QPoint p) {
        return std::abs(p.x()) <= kMaxCoordinate && std::abs(p.y()) <= kMaxCoordinate;
    };
    if (!sane(position) || !sane(hotspot))
        return Update::Refused;
    if (bitmapOffset == 0) {
        m_position = position; // the bitmap stays as it was
        return visible() ? Update::Moved : Update::Hidden;
    }
    if (bitmapOffset < kCursorRecordSize || bitmapOffset > size || size - bitmapOffset < kBitmapRecordSize)
        return Update::Refused;
    const std::uint8_t* bitmap = record + bitmapOffset;
    const std::uint32_t format = u32(bitmap);
    const std::uint64_t width = u32(bitmap + 4);
    const std::uint64_t height = u32(bitmap + 8);
    const std::int64_t stride = i32(bitmap + 12);
    const std::uint64_t dataOffset = u32(bitmap + 16);
    if (format == 0) {
        m_position = position; // no new bitmap information
        return visible() ? Update::Moved : Update::Hidden;
    }
    if (dataOffset == 0 || width == 0 || height == 0) {
        m_position = position;
        m_hotspot = hotspot;
        m_visible = false; // no picture: the cursor is invisible
        return Update::Hidden;
    }
    int b, g, r, a;
    if (!channels(format, b, g, r, a) || width > kMaxBitmapSide || height > kMaxBitmapSide ||
        dataOffset < kBitmapRecordSize || stride < std::int64_t(width * 4) || stride > 4 * kMaxBitmapSide * 4)
        return Update::Refused;
    // The last row needs only width * 4 bytes; all of it must lie within the record.
    const std::uint64_t available = size - bitmapOffset;
    const std::uint64_t needed = dataOffset + std::uint64_t(stride) * (height - 1) + width * 4;
    if (dataOffset > available || needed > available)
        return Update::Refused;

    const std::uint8_t* src = bitmap + dataOffset;
    m_bgra.resize(width * height * 4);
    for (std::uint64_t y = 0; y < height; ++y) {
        const std::uint8_t* row = src + y * std::uint64_t(stride);
        std::uint8_t* out = m_bgra.data() + y * width * 4;
        for (std::uint64_t x = 0; x < width; ++x) {
            const std::uint8_t* px = row + x * 4;
            out[x * 4 + 0] = px[b];
            out[x * 4 + 1] = px[g];
            out[x * 4 + 2] = px[r];
            out[x * 4 + 3] = a >= 0 ? px[a] : 0xff;
        }
    }
    m_width = int(width);
    m_height = int(height);
    m_position = position;
    m_hotspot = hotspot;
    m_visible = true;
    return Update::Moved;
}

void StreamCursor::drawInto(std::uint8_t* pixels, int width, int height, int bytesPerRow) const
{
    if (!visible() || !pixels || width <= 0 || height <= 0 || bytesPerRow < width * 4)
        return;
    const QPoint origin = topLeft();
    const int x0 = std::max(0, origin.x()), y0 = std::max(0, origin.y());
    const int x1 = std::min(width, origin.x() + m_width), y1 = std::min(height, origin.y() + m_height);
    for (int y = y0; y < y1; ++y) {
        const std::uint8_t* src =
            m_bgra.data() + (std::size_t(y - origin.y()) * m_width + (x0 - origin.x())) * 4;
        std::uint8_t* dst = pixels + std::size_t(y) * std::size_t(bytesPerRow) + std::size_t(x0) * 4;
        for (int x = x0; x < x1; ++x, src += 4, dst += 4) {
            const unsigned alpha = src[3];
            for (int c = 0; c < 3; ++c)
                dst[c] = std::uint8_t((src[c] * alpha + dst[c] * (255 - alpha) + 127) / 255);
        }
    }
}
