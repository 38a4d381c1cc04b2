#pragma once

#include <cstdint>
#include <memory>

// Colour conversion and scaling in one step: a 32-bit B,G,R,X picture of any size becomes a
// YUV 4:2:0 picture (BT.601, limited range) of the encoder's size.
//
// The libyuv path scales in horizontal bands and converts each band while it is still in
// the cache; it is the fast one and the default. The libswscale path (bilinear) is kept for
// comparison.
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

    Method method() const { return m_method; }

private:
    struct Impl;
    Method m_method;
    std::unique_ptr<Impl> d;
};
