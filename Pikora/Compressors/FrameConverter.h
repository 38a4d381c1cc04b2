#pragma once

#include "Pikora/Capture/RowSpan.h"

#include <cstdint>
#include <memory>
#include <vector>

// Colour conversion and scaling in one pass over the picture: a 32-bit B,G,R,X picture of
// any size becomes a YUV 4:2:0 picture (BT.601, limited range) of the encoder's size.
//
// The default path walks the source in bands of rows: libyuv converts a band to YUV while
// it is in the cache and libswscale's slice interface scales the band's planes (bicubic luma,
// area-averaged chroma: proper filters, so text neither aliases nor blurs much). The plain
// libswscale path (packed input, bilinear) is kept for comparison; it is markedly slower. It
// also takes the strong reductions (more than 4 times, or below 16 pixels a side) that the
// banded path cannot, so any output size of at least 1x1 converts.
class FrameConverter
{
public:
    enum class Method
    {
        Libyuv,
        Swscale
    };
    enum class Layout
    {
        I420,
        NV12
    };

    explicit FrameConverter(Method method = Method::Libyuv);
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // `dst`/`dstStride`: Y, U, V planes for I420; Y and interleaved UV for NV12. Returns false
    // for sizes it cannot handle (zero or negative).
    bool convert(const std::uint8_t* bgra, int bytesPerRow, int srcWidth, int srcHeight,
                 std::uint8_t* const dst[3], const int dstStride[3], int dstWidth, int dstHeight,
                 Layout layout);

    // Brings `dst`, which holds the conversion of an earlier picture of the same sizes, up to
    // date with `bgra`, which differs from that picture only in the source rows `changed`. Only
    // the output rows those rows reach are computed again, with the same filters, so the
    // result is the same as a whole conversion. Returns false, leaving `dst` untouched, when it
    // cannot do so exactly or cheaply (most rows changed, a strong reduction, the plain
    // libswscale method); the caller then converts the whole picture.
    bool convertChangedRows(const std::uint8_t* bgra, int bytesPerRow, int srcWidth, int srcHeight,
                            std::uint8_t* const dst[3], const int dstStride[3], int dstWidth, int dstHeight,
                            Layout layout, const std::vector<RowSpan>& changed);

    Method method() const { return m_method; }

private:
    struct Impl;
    Method m_method;
    std::unique_ptr<Impl> d;
};
