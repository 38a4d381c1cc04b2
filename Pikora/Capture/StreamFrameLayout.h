#pragma once

#include <QRect>
#include <QSize>
#include <cstddef>
#include <cstdint>
#include <optional>

// Where the picture lies in one buffer of a screen-cast stream, checked before a single pixel
// is read. Everything here comes from the stream's producer (another process): the negotiated
// size, the chunk's offset, size and stride, and the optional crop region. A description that
// would read outside the mapped memory is refused, never clamped into a wrong picture.
//
// Only 32-bit packed formats are handled. Names give the byte order in memory, as the stream
// negotiates them: BGRx is B, G, R, X in memory (what the encoders take directly).
class StreamFrameLayout
{
public:
    enum class Format
    {
        BGRx,
        BGRA,
        RGBx,
        RGBA,
        xRGB,
        ARGB,
        xBGR,
        ABGR,
    };

    // One buffer as the stream delivered it.
    struct Buffer
    {
        Format format = Format::BGRx;
        QSize size;                         // negotiated frame size in pixels
        const std::uint8_t* data = nullptr; // start of the mapped memory
        std::size_t mappedSize = 0;         // bytes readable at data
        std::uint64_t chunkOffset = 0;      // first byte of the frame, from data
        std::uint64_t chunkSize = 0;        // valid bytes from chunkOffset; 0 = no picture
        std::int64_t chunkStride = 0;       // bytes per row; 0 = width * 4
        bool corrupted = false;             // the producer flagged the chunk
        std::optional<QRect> crop;          // the region that holds the picture, when announced
    };

    enum class Result
    {
        Ok,
        Corrupted,   // flagged by the producer
        NoData,      // no memory, or an empty chunk (nothing new)
        BadSize,     // zero, negative or oversized frame
        BadStride,   // shorter than a row, negative, or absurd
        OutOfBounds, // the rows would run past the chunk or the mapping
        EmptyCrop,   // the crop region does not overlap the frame
    };

    // The checked picture: `width` x `height` pixels of 4 bytes, rows `bytesPerRow` apart.
    struct View
    {
        const std::uint8_t* pixels = nullptr;
        int width = 0;
        int height = 0;
        int bytesPerRow = 0;
        Format format = Format::BGRx;
    };

    // Largest frame accepted in either direction.
    static constexpr int kMaxDimension = 16384;

    static Result locate(const Buffer& buffer, View& view);
    // True when the encoders can read the format as it stands (B, G, R in the first three bytes).
    static bool isNativeOrder(Format format);
    // Copies `view` into `dst` (rows `dstBytesPerRow` apart, at least width * 4) as B, G, R, X.
    static void copyToBGRX(const View& view, std::uint8_t* dst, int dstBytesPerRow);
    static const char* name(Result result);
    static const char* name(Format format);
};
