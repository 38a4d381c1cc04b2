#include "Pikora/Compressors/KPJpegImageCompressor.h"

#include "Pikora/Capture/CaptureLogging.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#include <cmath>
#include <turbojpeg.h>
#include <vector>

namespace {

struct TjDeleter
{
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

struct TjBufferDeleter
{
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

} // namespace

struct KPJpegImageCompressor::Impl
{
    TjHandle tj{tjInitCompress()};
    SwsContext* sws = nullptr;
    std::vector<std::uint8_t> planes;

    // The last picture, to re-send while the frame does not change.
    QByteArray lastJpeg;
    QSize lastSize;
    std::uint64_t lastGeneration = 0;
    int lastQuality = 0;

    ~Impl() { sws_freeContext(sws); }
};

KPJpegImageCompressor::KPJpegImageCompressor() : d(std::make_unique<Impl>()) {}

KPJpegImageCompressor::~KPJpegImageCompressor()
{
    cleanup();
}

bool KPJpegImageCompressor::setup()
{
    // Any picture of at least one pixel within the protocol's 16384 per side can be encoded.
    const QSizeF size = resolution();
    const bool usable = std::isfinite(size.width()) && std::isfinite(size.height()) && size.width() >= 1 &&
                        size.height() >= 1 && size.width() <= kMaxSide && size.height() <= kMaxSide;
    if (!usable)
        qCWarning(lcCompress) << "jpeg: cannot encode at" << size;
    return usable;
}

void KPJpegImageCompressor::cleanup()
{
    std::lock_guard lock(m_lock);
    setCompletionBlock(nullptr);
}

int KPJpegImageCompressor::turboJpegQuality(double factor)
{
    if (!std::isfinite(factor))
        return 50;
    return int(std::clamp(std::lround(factor * 100.0), 1L, 100L));
}

std::optional<QSize> KPJpegImageCompressor::scaledSize(QSize frame, QSizeF limit)
{
    const float width = float(frame.width());
    const float height = float(frame.height());
    if (width <= 0 || height <= 0)
        return std::nullopt;
    const float scaleY = float(limit.height()) / height;
    const float scaleX = float(limit.width()) / width;
    const float scale = std::isnan(scaleY) ? scaleX : std::min(scaleX, scaleY);
    if (!std::isfinite(scale) || scale <= 0)
        return std::nullopt;
    const QSize size(int(std::lround(width * scale)), int(std::lround(height * scale)));
    if (size.width() < 1 || size.height() < 1)
        return std::nullopt;
    return size;
}

std::optional<QByteArray> KPJpegImageCompressor::jpegDataFromCVImage(const PixelBuffer& image, double factor)
{
    TjHandle tj(tjInitCompress());
    if (!tj || image.width() <= 0 || image.height() <= 0)
        return std::nullopt;
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj.get(), image.baseAddress(), image.width(), image.bytesPerRow(), image.height(),
                    TJPF_BGRX, &out, &size, TJSAMP_420, turboJpegQuality(factor), 0) != 0) {
        tjFree(out);
        return std::nullopt;
    }
    std::unique_ptr<unsigned char, TjBufferDeleter> owned(out);
    return QByteArray(reinterpret_cast<const char*>(out), qsizetype(size));
}

void KPJpegImageCompressor::compressRawImage(std::shared_ptr<PixelBuffer> image, CompletionBlock completion)
{
    setCompletionBlock(completion);
    if (!image)
        return;
    const QSizeF limit = resolution();
    const std::optional<QSize> size = scaledSize(QSize(image->width(), image->height()), limit);
    if (!size) {
        qCDebug(lcCompress) << "jpeg: nothing to encode for a" << image->width() << "x" << image->height()
                            << "frame at" << limit;
        return;
    }
    const int w = size->width();
    const int h = size->height();
    const int chromaW = (w + 1) / 2;
    const int chromaH = (h + 1) / 2;

    std::lock_guard lock(m_lock);
    const int quality = turboJpegQuality(m_jpegQuality);
    const CaptureSurface* surface = image->surface();
    if (!d->lastJpeg.isEmpty() && d->lastSize == *size && d->lastQuality == quality && surface &&
        (surface->generation() == d->lastGeneration ||
         surface->changedRowsSince(d->lastGeneration).value_or(std::vector<RowSpan>{{0, 1}}).empty())) {
        // Nothing changed since the last picture: the same bytes show the same picture.
        d->lastGeneration = surface->generation();
        ++m_reused;
        const QByteArray jpeg = d->lastJpeg;
        if (CompletionBlock block = completionBlock())
            block(jpeg, w, h);
        return;
    }
    d->lastJpeg.clear();
    const std::uint64_t generation = surface ? surface->generation() : 0;
    d->sws =
        sws_getCachedContext(d->sws, image->width(), image->height(), AV_PIX_FMT_BGR0, w, h,
                             AV_PIX_FMT_YUV420P, SWS_LANCZOS | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!d->sws || !d->tj)
        return;
    // JPEG's YCbCr is full range.
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(d->sws, coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);

    // libswscale writes whole SIMD blocks: rows are 64-byte aligned and each plane has a
    // padding row, so narrow pictures (a receiver that takes 1x1 or 3x2) stay inside.
    const int lumaStride = (w + 63) & ~63;
    const int chromaStride = (chromaW + 63) & ~63;
    const std::size_t lumaSize = std::size_t(lumaStride) * (h + 1);
    const std::size_t chromaSize = std::size_t(chromaStride) * (chromaH + 1);
    d->planes.resize(lumaSize + 2 * chromaSize);
    std::uint8_t* y = d->planes.data();
    std::uint8_t* u = y + lumaSize;
    std::uint8_t* v = u + chromaSize;
    const std::uint8_t* src[4] = {image->baseAddress(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {image->bytesPerRow(), 0, 0, 0};
    std::uint8_t* dst[4] = {y, u, v, nullptr};
    const int dstStride[4] = {lumaStride, chromaStride, chromaStride, 0};
    if (sws_scale(d->sws, src, srcStride, 0, image->height(), dst, dstStride) != h)
        return;
    image.reset();

    const unsigned char* planes[3] = {y, u, v};
    const int strides[3] = {lumaStride, chromaStride, chromaStride};
    unsigned char* out = nullptr;
    unsigned long jpegSize = 0;
    const int rc =
        tjCompressFromYUVPlanes(d->tj.get(), planes, w, strides, h, TJSAMP_420, &out, &jpegSize, quality, 0);
    std::unique_ptr<unsigned char, TjBufferDeleter> owned(out);
    if (rc != 0) {
        qCWarning(lcCompress) << "jpeg: encoding failed:" << tjGetErrorStr2(d->tj.get());
        return;
    }
    const QByteArray jpeg(reinterpret_cast<const char*>(out), qsizetype(jpegSize));
    ++m_encoded;
    d->lastJpeg = jpeg;
    d->lastSize = *size;
    d->lastQuality = quality;
    d->lastGeneration = generation;
    if (CompletionBlock block = completionBlock())
        block(jpeg, w, h); // the size of the picture, which may be smaller than the limit
}
