#include "Pikora/Compressors/FrameConverter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
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

// Above this share of changed rows the whole picture is converted instead.
constexpr double kMaxPartialShare = 0.6;

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

// The three plane scalers of one source/destination size pair.
struct Scalers
{
    int srcW = 0, srcH = 0, dstW = 0, dstH = 0;
    Sws y, u, v;

    bool matches(int sw, int sh, int dw, int dh) const
    {
        return y && sw == srcW && sh == srcH && dw == dstW && dh == dstH;
    }
    bool prepare(int sw, int sh, int dw, int dh)
    {
        if (matches(sw, sh, dw, dh))
            return true;
        srcW = sw;
        srcH = sh;
        dstW = dw;
        dstH = dh;
        const int scw = (sw + 1) / 2, sch = (sh + 1) / 2, dcw = (dw + 1) / 2, dch = (dh + 1) / 2;
        // Bicubic keeps text sharp; chroma, which the eye resolves less, is averaged.
        y = planeScaler(sw, sh, dw, dh, SWS_BICUBIC);
        u = planeScaler(scw, sch, dcw, dch, SWS_AREA);
        v = planeScaler(scw, sch, dcw, dch, SWS_AREA);
        return y && u && v;
    }
};

struct Planes
{
    std::uint8_t* y;
    int yStride;
    std::uint8_t* u;
    int uStride;
    std::uint8_t* v;
    int vStride;
};

int roundUp(int value, int step)
{
    return (value + step - 1) / step * step;
}

void noFree(void*, std::uint8_t*) {}

struct AVFrameDeleter
{
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// A one-plane frame over memory we own (the scaler keeps references, not copies).
std::unique_ptr<AVFrame, AVFrameDeleter> wrapPlane(std::uint8_t* data, int width, int height, int stride)
{
    std::unique_ptr<AVFrame, AVFrameDeleter> f(av_frame_alloc());
    if (!f)
        return nullptr;
    f->format = AV_PIX_FMT_GRAY8;
    f->width = width;
    f->height = height;
    f->data[0] = data;
    f->linesize[0] = stride;
    f->buf[0] = av_buffer_create(data, std::size_t(stride) * std::size_t(height), noFree, nullptr, 0);
    if (!f->buf[0])
        return nullptr;
    return f;
}

// Scales output rows [first, first + rows) of a plane whose source is wholly in memory.
bool scaleRows(SwsContext* sws, std::uint8_t* src, int srcW, int srcH, int srcStride, std::uint8_t* dst,
               int dstW, int dstH, int dstStride, int first, int rows)
{
    if (rows <= 0)
        return true;
    auto in = wrapPlane(src, srcW, srcH, srcStride);
    auto out = wrapPlane(dst, dstW, dstH, dstStride);
    if (!in || !out || sws_frame_start(sws, out.get(), in.get()) < 0)
        return false;
    const bool ok = sws_send_slice(sws, 0, unsigned(srcH)) >= 0 &&
                    sws_receive_slice(sws, unsigned(first), unsigned(rows)) >= 0;
    sws_frame_end(sws);
    return ok;
}

} // namespace

struct FrameConverter::Impl
{
    // Banded path: one scaler per plane (each keeps its own slice position).
    Scalers whole;
    // Partial updates: the same scalers, driven row range by row range, and the converted
    // source planes at full size.
    Scalers partial;
    std::vector<std::uint8_t> sourceY, sourceU, sourceV;
    std::vector<std::uint8_t> bandY, bandU, bandV;
    std::vector<std::uint8_t> outU, outV; // chroma before interleaving (NV12)

    // Plain libswscale path.
    Sws packed;

    // Converts and scales all rows of `bgra` (the scalers' source height) into `out`.
    bool runBanded(Scalers& s, const std::uint8_t* bgra, int bytesPerRow, const Planes& out)
    {
        const int scw = (s.srcW + 1) / 2;
        bandY.resize(std::size_t(s.srcW) * kBandRows);
        bandU.resize(std::size_t(scw) * (kBandRows / 2));
        bandV.resize(bandU.size());
        int producedY = 0;
        for (int row = 0; row < s.srcH; row += kBandRows) {
            const int rows = std::min(kBandRows, s.srcH - row);
            const int chromaRows = (rows + 1) / 2;
            // libyuv calls 32-bit B,G,R,A memory order "ARGB" (a little-endian ARGB word).
            if (libyuv::ARGBToI420(bgra + std::size_t(row) * bytesPerRow, bytesPerRow, bandY.data(), s.srcW,
                                   bandU.data(), scw, bandV.data(), scw, s.srcW, rows) != 0)
                return false;
            const std::uint8_t* y[1] = {bandY.data()};
            const std::uint8_t* u[1] = {bandU.data()};
            const std::uint8_t* v[1] = {bandV.data()};
            const int ys[1] = {s.srcW};
            const int cs[1] = {scw};
            std::uint8_t* dy[1] = {out.y};
            std::uint8_t* du[1] = {out.u};
            std::uint8_t* dv[1] = {out.v};
            const int dys[1] = {out.yStride};
            const int dus[1] = {out.uStride};
            const int dvs[1] = {out.vStride};
            // Slices go in top to bottom; the scaler keeps the lines it still needs.
            producedY += sws_scale(s.y.get(), y, ys, row, rows, dy, dys);
            sws_scale(s.u.get(), u, cs, row / 2, chromaRows, du, dus);
            sws_scale(s.v.get(), v, cs, row / 2, chromaRows, dv, dvs);
        }
        return producedY == s.dstH;
    }
};

FrameConverter::FrameConverter(Method method) : m_method(method), d(std::make_unique<Impl>()) {}

FrameConverter::~FrameConverter() = default;

namespace {

bool bandedPossible(FrameConverter::Method method, int srcWidth, int srcHeight, int dstWidth, int dstHeight)
{
    return method == FrameConverter::Method::Libyuv && srcWidth <= dstWidth * kMaxBandedReduction &&
           srcHeight <= dstHeight * kMaxBandedReduction && dstWidth >= kMinBandedSide &&
           dstHeight >= kMinBandedSide;
}

bool convertSameSize(const std::uint8_t* bgra, int bytesPerRow, std::uint8_t* const dst[3],
                     const int dstStride[3], int width, int firstRow, int rows, bool nv12)
{
    const std::uint8_t* src = bgra + std::size_t(firstRow) * bytesPerRow;
    std::uint8_t* y = dst[0] + std::size_t(firstRow) * dstStride[0];
    std::uint8_t* u = dst[1] + std::size_t(firstRow / 2) * dstStride[1];
    if (nv12)
        return libyuv::ARGBToNV12(src, bytesPerRow, y, dstStride[0], u, dstStride[1], width, rows) == 0;
    std::uint8_t* v = dst[2] + std::size_t(firstRow / 2) * dstStride[2];
    return libyuv::ARGBToI420(src, bytesPerRow, y, dstStride[0], u, dstStride[1], v, dstStride[2], width,
                              rows) == 0;
}

} // namespace

bool FrameConverter::convert(const std::uint8_t* bgra, int bytesPerRow, int srcWidth, int srcHeight,
                             std::uint8_t* const dst[3], const int dstStride[3], int dstWidth, int dstHeight,
                             Layout layout)
{
    if (!bgra || srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0)
        return false;
    const bool nv12 = layout == Layout::NV12;

    const bool banded = bandedPossible(m_method, srcWidth, srcHeight, dstWidth, dstHeight);
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

    if (sameSize)
        return convertSameSize(bgra, bytesPerRow, dst, dstStride, dstWidth, 0, dstHeight, nv12);

    if (!d->whole.prepare(srcWidth, srcHeight, dstWidth, dstHeight))
        return false;
    const int dcw = (dstWidth + 1) / 2;
    const int dch = (dstHeight + 1) / 2;
    Planes out{dst[0], dstStride[0], dst[1], dstStride[1], dst[2], dstStride[2]};
    if (nv12) {
        d->outU.resize(std::size_t(dcw) * dch);
        d->outV.resize(d->outU.size());
        out.u = d->outU.data();
        out.v = d->outV.data();
        out.uStride = out.vStride = dcw;
    }
    if (!d->runBanded(d->whole, bgra, bytesPerRow, out))
        return false;
    if (nv12)
        libyuv::MergeUVPlane(out.u, dcw, out.v, dcw, dst[1], dstStride[1], dcw, dch);
    return true;
}

bool FrameConverter::convertChangedRows(const std::uint8_t* bgra, int bytesPerRow, int srcWidth,
                                        int srcHeight, std::uint8_t* const dst[3], const int dstStride[3],
                                        int dstWidth, int dstHeight, Layout layout,
                                        const std::vector<RowSpan>& changed)
{
    if (!bgra || srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0)
        return false;
    const bool nv12 = layout == Layout::NV12;
    std::vector<RowSpan> spans = normaliseRowSpans(changed, srcHeight);
    if (spans.empty())
        return true; // nothing changed: the destination is current

    if (srcWidth == dstWidth && srcHeight == dstHeight) {
        if (m_method != Method::Libyuv)
            return false;
        // Chroma rows cover row pairs: widen each run to whole pairs.
        for (RowSpan& s : spans) {
            s.begin &= ~1;
            s.end = std::min(srcHeight, roundUp(s.end, 2));
        }
        for (const RowSpan& s : normaliseRowSpans(spans, srcHeight))
            if (!convertSameSize(bgra, bytesPerRow, dst, dstStride, dstWidth, s.begin, s.end - s.begin, nv12))
                return false;
        return true;
    }
    if (!bandedPossible(m_method, srcWidth, srcHeight, dstWidth, dstHeight))
        return false;

    // The whole-picture scalers again (same sizes, so the same filters and filter positions),
    // asked for only the output rows the changed source rows reach. The converted source
    // planes they read are kept at full size; only the rows around each change are refreshed.
    const double ratio = double(dstHeight) / double(srcHeight); // output rows per source row
    // Source rows a vertical filter reaches on either side (bicubic: two output rows' worth),
    // with room to spare.
    const int margin = int(std::ceil(3.0 / ratio)) + 4;
    spans = normaliseRowSpans(std::move(spans), srcHeight, 2 * margin);
    int covered = 0;
    for (const RowSpan& s : spans)
        covered += std::min(srcHeight, s.end + 2 * margin) - std::max(0, s.begin - 2 * margin);
    if (covered > int(kMaxPartialShare * srcHeight))
        return false;
    if (!d->partial.prepare(srcWidth, srcHeight, dstWidth, dstHeight))
        return false;

    const int scw = (srcWidth + 1) / 2, sch = (srcHeight + 1) / 2;
    const int dcw = (dstWidth + 1) / 2, dch = (dstHeight + 1) / 2;
    d->sourceY.resize(std::size_t(srcWidth) * srcHeight);
    d->sourceU.resize(std::size_t(scw) * sch);
    d->sourceV.resize(d->sourceU.size());
    std::uint8_t* outU = dst[1];
    std::uint8_t* outV = dst[2];
    int outUStride = dstStride[1], outVStride = dstStride[2];
    if (nv12) {
        d->outU.resize(std::size_t(dcw) * dch);
        d->outV.resize(d->outU.size());
        outU = d->outU.data();
        outV = d->outV.data();
        outUStride = outVStride = dcw;
    }
    struct Plane
    {
        SwsContext* sws;
        std::uint8_t* src;
        int srcW, srcH, srcStride;
        std::uint8_t* dst;
        int dstW, dstH, dstStride;
    };
    const Plane planes[3] = {
        {d->partial.y.get(), d->sourceY.data(), srcWidth, srcHeight, srcWidth, dst[0], dstWidth, dstHeight,
         dstStride[0]},
        {d->partial.u.get(), d->sourceU.data(), scw, sch, scw, outU, dcw, dch, outUStride},
        {d->partial.v.get(), d->sourceV.data(), scw, sch, scw, outV, dcw, dch, outVStride},
    };

    for (const RowSpan& span : spans) {
        // Output rows the change reaches, in luma rows (even, so chroma rows line up), and the
        // source rows those output rows read.
        const int outFirst = std::max(0, int(std::floor((span.begin - margin) * ratio)) & ~1);
        const int outEnd = std::min(dstHeight, roundUp(int(std::ceil((span.end + margin) * ratio)), 2));
        const int srcFirst = std::max(0, int(std::floor(outFirst / ratio)) - 2 * margin) & ~1;
        const int srcEnd = std::min(srcHeight, roundUp(int(std::ceil(outEnd / ratio)) + 2 * margin, 2));
        if (libyuv::ARGBToI420(bgra + std::size_t(srcFirst) * bytesPerRow, bytesPerRow,
                               d->sourceY.data() + std::size_t(srcFirst) * srcWidth, srcWidth,
                               d->sourceU.data() + std::size_t(srcFirst / 2) * scw, scw,
                               d->sourceV.data() + std::size_t(srcFirst / 2) * scw, scw, srcWidth,
                               srcEnd - srcFirst) != 0)
            return false;
        for (int p = 0; p < 3; ++p) {
            const Plane& plane = planes[p];
            const int first = p == 0 ? outFirst : outFirst / 2;
            const int end = p == 0 ? outEnd : std::min(plane.dstH, (outEnd + 1) / 2);
            if (!scaleRows(plane.sws, plane.src, plane.srcW, plane.srcH, plane.srcStride, plane.dst,
                           plane.dstW, plane.dstH, plane.dstStride, first, end - first))
                return false;
        }
        if (nv12) {
            const int first = outFirst / 2;
            const int end = std::min(dch, (outEnd + 1) / 2);
            libyuv::MergeUVPlane(outU + std::size_t(first) * dcw, dcw, outV + std::size_t(first) * dcw, dcw,
                                 dst[1] + std::size_t(first) * dstStride[1], dstStride[1], dcw, end - first);
        }
    }
    return true;
}
