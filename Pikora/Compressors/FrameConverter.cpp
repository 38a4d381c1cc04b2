#include "Pikora/Compressors/FrameConverter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {
// Rows per band: small enough that a band of scaled pixels stays in L2, even so chroma rows
// line up.
constexpr int kBandRows = 32;
} // namespace

struct FrameConverter::Impl
{
    std::vector<std::uint8_t> scaled; // dstWidth x dstHeight x 4
    SwsContext* sws = nullptr;

    ~Impl() { sws_freeContext(sws); }
};

FrameConverter::FrameConverter(Method method) : m_method(method), d(std::make_unique<Impl>()) {}

FrameConverter::~FrameConverter() = default;

bool FrameConverter::convert(const std::uint8_t* bgra, int bytesPerRow, int srcWidth, int srcHeight,
                             std::uint8_t* const dst[3], const int dstStride[3], int dstWidth, int dstHeight,
                             Layout layout)
{
    if (!bgra || srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0)
        return false;

    if (m_method == Method::Swscale) {
        const AVPixelFormat out = layout == Layout::I420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_NV12;
        d->sws = sws_getCachedContext(d->sws, srcWidth, srcHeight, AV_PIX_FMT_BGR0, dstWidth, dstHeight, out,
                                      SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!d->sws)
            return false;
        const std::uint8_t* src[4] = {bgra, nullptr, nullptr, nullptr};
        const int srcStride[4] = {bytesPerRow, 0, 0, 0};
        std::uint8_t* planes[4] = {dst[0], dst[1], layout == Layout::I420 ? dst[2] : nullptr, nullptr};
        const int strides[4] = {dstStride[0], dstStride[1], layout == Layout::I420 ? dstStride[2] : 0, 0};
        return sws_scale(d->sws, src, srcStride, 0, srcHeight, planes, strides) == dstHeight;
    }

    // libyuv calls 32-bit B,G,R,A memory order "ARGB" (a little-endian ARGB word).
    auto toYuv = [&](const std::uint8_t* argb, int stride, int row, int rows) {
        std::uint8_t* y = dst[0] + std::size_t(row) * dstStride[0];
        std::uint8_t* u = dst[1] + std::size_t(row / 2) * dstStride[1];
        if (layout == Layout::NV12)
            return libyuv::ARGBToNV12(argb, stride, y, dstStride[0], u, dstStride[1], dstWidth, rows) == 0;
        std::uint8_t* v = dst[2] + std::size_t(row / 2) * dstStride[2];
        return libyuv::ARGBToI420(argb, stride, y, dstStride[0], u, dstStride[1], v, dstStride[2], dstWidth,
                                  rows) == 0;
    };

    if (srcWidth == dstWidth && srcHeight == dstHeight)
        return toYuv(bgra, bytesPerRow, 0, dstHeight);

    const std::size_t scaledStride = std::size_t(dstWidth) * 4;
    if (d->scaled.size() < scaledStride * std::size_t(dstHeight))
        d->scaled.resize(scaledStride * std::size_t(dstHeight));
    for (int row = 0; row < dstHeight; row += kBandRows) {
        const int rows = std::min(kBandRows, dstHeight - row);
        if (libyuv::ARGBScaleClip(bgra, bytesPerRow, srcWidth, srcHeight, d->scaled.data(), int(scaledStride),
                                  dstWidth, dstHeight, 0, row, dstWidth, rows, libyuv::kFilterBox) != 0)
            return false;
        if (!toYuv(d->scaled.data() + std::size_t(row) * scaledStride, int(scaledStride), row, rows))
            return false;
    }
    return true;
}
