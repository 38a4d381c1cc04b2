#include "Pikora/Compressors/FrameConverter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <vector>

namespace {

// Source rows per band: a band of converted planes (about 1.5 x width x rows bytes) stays
// in L2 while it is scaled. Even, so chroma rows line up.
constexpr int kBandRows = 32;

// The banded path feeds the scaler slices of kBandRows rows. libswscale's slice buffers are
// sized for moderate ratios: at strong reductions (a receiver that takes 2x2, 28x16 or 64x2
// pictures) the vertical filter spans far more rows than a band and the scaler reads past
// its buffers. Such reductions go through the whole-picture path instead; every size a
// projection normally uses (down to a third of the screen) stays banded.
constexpr int kMaxBandedReduction = 4;
constexpr int kMinBandedSide = 16;

struct SwsDeleter
{
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
using Sws = std::unique_ptr<SwsContext, SwsDeleter>;

Sws planeScaler(int srcW, int srcH, int dstW, int dstH, int filter)
{
    return Sws(sws_getContext(srcW, srcH, AV_PIX_FMT_GRAY8, dstW, dstH, AV_PIX_FMT_GRAY8, filter, nullptr,
                              nullptr, nullptr));
}

} // namespace

struct FrameConverter::Impl
{
    // Banded path: one scaler per plane (each keeps its own slice position).
    int srcW = 0, srcH = 0, dstW = 0, dstH = 0;
    Sws scaleY, scaleU, scaleV;
    std::vector<std::uint8_t> bandY, bandU, bandV;
    std::vector<std::uint8_t> outU, outV; // chroma before interleaving (NV12)

    // Plain libswscale path.
    Sws packed;
    int packedKey[5] = {};

    bool prepare(int sw, int sh, int dw, int dh)
    {
        if (scaleY && sw == srcW && sh == srcH && dw == dstW && dh == dstH)
            return true;
        srcW = sw;
        srcH = sh;
        dstW = dw;
        dstH = dh;
        const int scw = (sw + 1) / 2, sch = (sh + 1) / 2, dcw = (dw + 1) / 2, dch = (dh + 1) / 2;
        // Bicubic keeps text sharp; chroma, which the eye resolves less, is averaged.
        scaleY = planeScaler(sw, sh, dw, dh, SWS_BICUBIC);
        scaleU = planeScaler(scw, sch, dcw, dch, SWS_AREA);
        scaleV = planeScaler(scw, sch, dcw, dch, SWS_AREA);
        bandY.resize(std::size_t(sw) * kBandRows);
        bandU.resize(std::size_t(scw) * (kBandRows / 2));
        bandV.resize(bandU.size());
        outU.resize(std::size_t(dcw) * dch);
        outV.resize(outU.size());
        return scaleY && scaleU && scaleV;
    }
};

FrameConverter::FrameConverter(Method method) : m_method(method), d(std::make_unique<Impl>()) {}

FrameConverter::~FrameConverter() = default;

bool FrameConverter::convert(const std::uint8_t* bgra, int bytesPerRow, int srcWidth, int srcHeight,
                             std::uint8_t* const dst[3], const int dstStride[3], int dstWidth, int dstHeight,
                             Layout layout)
{
    if (!bgra || srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0)
        return false;
    const bool nv12 = layout == Layout::NV12;

    const bool banded = m_method == Method::Libyuv && srcWidth <= dstWidth * kMaxBandedReduction &&
                        srcHeight <= dstHeight * kMaxBandedReduction && dstWidth >= kMinBandedSide &&
                        dstHeight >= kMinBandedSide;
    const bool sameSize = srcWidth == dstWidth && srcHeight == dstHeight;
    if (m_method == Method::Swscale || (!banded && !sameSize)) {
        const AVPixelFormat out = nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
        d->packed.reset(sws_getCachedContext(d->packed.release(), srcWidth, srcHeight, AV_PIX_FMT_BGR0,
                                             dstWidth, dstHeight, out, SWS_BILINEAR, nullptr, nullptr,
                                             nullptr));
        if (!d->packed)
            return false;
        const std::uint8_t* src[4] = {bgra, nullptr, nullptr, nullptr};
        const int srcStride[4] = {bytesPerRow, 0, 0, 0};
        std::uint8_t* planes[4] = {dst[0], dst[1], nv12 ? nullptr : dst[2], nullptr};
        const int strides[4] = {dstStride[0], dstStride[1], nv12 ? 0 : dstStride[2], 0};
        return sws_scale(d->packed.get(), src, srcStride, 0, srcHeight, planes, strides) == dstHeight;
    }

    // libyuv calls 32-bit B,G,R,A memory order "ARGB" (a little-endian ARGB word).
    if (sameSize) {
        if (nv12)
            return libyuv::ARGBToNV12(bgra, bytesPerRow, dst[0], dstStride[0], dst[1], dstStride[1], dstWidth,
                                      dstHeight) == 0;
        return libyuv::ARGBToI420(bgra, bytesPerRow, dst[0], dstStride[0], dst[1], dstStride[1], dst[2],
                                  dstStride[2], dstWidth, dstHeight) == 0;
    }

    if (!d->prepare(srcWidth, srcHeight, dstWidth, dstHeight))
        return false;
    const int scw = (srcWidth + 1) / 2;
    const int dcw = (dstWidth + 1) / 2;
    const int dch = (dstHeight + 1) / 2;
    std::uint8_t* outU = nv12 ? d->outU.data() : dst[1];
    std::uint8_t* outV = nv12 ? d->outV.data() : dst[2];
    const int outUStride = nv12 ? dcw : dstStride[1];
    const int outVStride = nv12 ? dcw : dstStride[2];

    int producedY = 0;
    for (int row = 0; row < srcHeight; row += kBandRows) {
        const int rows = std::min(kBandRows, srcHeight - row);
        const int chromaRows = (rows + 1) / 2;
        if (libyuv::ARGBToI420(bgra + std::size_t(row) * bytesPerRow, bytesPerRow, d->bandY.data(), srcWidth,
                               d->bandU.data(), scw, d->bandV.data(), scw, srcWidth, rows) != 0)
            return false;
        const std::uint8_t* y[1] = {d->bandY.data()};
        const std::uint8_t* u[1] = {d->bandU.data()};
        const std::uint8_t* v[1] = {d->bandV.data()};
        const int ys[1] = {srcWidth};
        const int cs[1] = {scw};
        std::uint8_t* dy[1] = {dst[0]};
        std::uint8_t* du[1] = {outU};
        std::uint8_t* dv[1] = {outV};
        const int dys[1] = {dstStride[0]};
        const int dus[1] = {outUStride};
        const int dvs[1] = {outVStride};
        // Slices go in top to bottom; the scaler keeps the lines it still needs.
        producedY += sws_scale(d->scaleY.get(), y, ys, row, rows, dy, dys);
        sws_scale(d->scaleU.get(), u, cs, row / 2, chromaRows, du, dus);
        sws_scale(d->scaleV.get(), v, cs, row / 2, chromaRows, dv, dvs);
    }
    if (nv12)
        libyuv::MergeUVPlane(outU, dcw, outV, dcw, dst[1], dstStride[1], dcw, dch);
    return producedY == dstHeight;
}
