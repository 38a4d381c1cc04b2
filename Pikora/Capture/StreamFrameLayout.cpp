#include "Pikora/Capture/StreamFrameLayout.h"

#include <algorithm>
#include <cstring>

namespace {

// Byte positions of B, G and R within a pixel, per format.
struct Order
{
    int b, g, r;
};

Order orderOf(StreamFrameLayout::Format format)
{
    using F = StreamFrameLayout::Format;
    switch (format) {
    case F::BGRx:
    case F::BGRA:
        return {0, 1, 2};
    case F::RGBx:
    case F::RGBA:
        return {2, 1, 0};
    case F::xRGB:
    case F::ARGB:
        return {3, 2, 1};
    case F::xBGR:
    case F::ABGR:
        return {1, 2, 3};
    }
    return {0, 1, 2};
}

} // namespace

bool StreamFrameLayout::isNativeOrder(Format format)
{
    return format == Format::BGRx || format == Format::BGRA;
}

StreamFrameLayout::Result StreamFrameLayout::locate(const Buffer& buffer, View& view)
{
    if (buffer.corrupted)
        return Result::Corrupted;
    const int width = buffer.size.width();
    const int height = buffer.size.height();
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension)
        return Result::BadSize;
    if (!buffer.data || buffer.mappedSize == 0 || buffer.chunkSize == 0)
        return Result::NoData;

    const std::uint64_t minStride = std::uint64_t(width) * 4;
    const std::int64_t rawStride = buffer.chunkStride == 0 ? std::int64_t(minStride) : buffer.chunkStride;
    // Negative strides (bottom-up pictures) are not produced by screen casts; refuse them.
    if (rawStride < 0 || std::uint64_t(rawStride) < minStride ||
        std::uint64_t(rawStride) > minStride * 4 + 4096)
        return Result::BadStride;
    const std::uint64_t stride = std::uint64_t(rawStride);

    QRect area(0, 0, width, height);
    if (buffer.crop && !buffer.crop->isEmpty()) {
        area = area.intersected(*buffer.crop);
        if (area.isEmpty())
            return Result::EmptyCrop;
    }

    // The readable window: the chunk, within the mapping.
    if (buffer.chunkOffset >= buffer.mappedSize)
        return Result::OutOfBounds;
    std::uint64_t limit = buffer.mappedSize;
    if (buffer.chunkSize < buffer.mappedSize - buffer.chunkOffset)
        limit = buffer.chunkOffset + buffer.chunkSize;
    const std::uint64_t first =
        buffer.chunkOffset + std::uint64_t(area.top()) * stride + std::uint64_t(area.left()) * 4;
    const std::uint64_t end =
        first + std::uint64_t(area.height() - 1) * stride + std::uint64_t(area.width()) * 4;
    if (end > limit)
        return Result::OutOfBounds;

    view.pixels = buffer.data + first;
    view.width = area.width();
    view.height = area.height();
    view.bytesPerRow = int(stride);
    view.format = buffer.format;
    return Result::Ok;
}

void StreamFrameLayout::copyToBGRX(const View& view, std::uint8_t* dst, int dstBytesPerRow)
{
    const std::size_t rowBytes = std::size_t(view.width) * 4;
    if (isNativeOrder(view.format)) {
        for (int y = 0; y < view.height; ++y)
            std::memcpy(dst + std::size_t(y) * std::size_t(dstBytesPerRow),
                        view.pixels + std::size_t(y) * std::size_t(view.bytesPerRow), rowBytes);
        return;
    }
    const Order o = orderOf(view.format);
    for (int y = 0; y < view.height; ++y) {
        const std::uint8_t* s = view.pixels + std::size_t(y) * std::size_t(view.bytesPerRow);
        std::uint8_t* d = dst + std::size_t(y) * std::size_t(dstBytesPerRow);
        for (int x = 0; x < view.width; ++x, s += 4, d += 4) {
            d[0] = s[o.b];
            d[1] = s[o.g];
            d[2] = s[o.r];
            d[3] = 0xff;
        }
    }
}

const char* StreamFrameLayout::name(Result result)
{
    switch (result) {
    case Result::Ok:
        return "ok";
    case Result::Corrupted:
        return "corrupted";
    case Result::NoData:
        return "no data";
    case Result::BadSize:
        return "bad size";
    case Result::BadStride:
        return "bad stride";
    case Result::OutOfBounds:
        return "out of bounds";
    case Result::EmptyCrop:
        return "empty crop";
    }
    return "?";
}

const char* StreamFrameLayout::name(Format format)
{
    switch (format) {
    case Format::BGRx:
        return "BGRx";
    case Format::BGRA:
        return "BGRA";
    case Format::RGBx:
        return "RGBx";
    case Format::RGBA:
        return "RGBA";
    case Format::xRGB:
        return "xRGB";
    case Format::ARGB:
        return "ARGB";
    case Format::xBGR:
        return "xBGR";
    case Format::ABGR:
        return "ABGR";
    }
    return "?";
}
