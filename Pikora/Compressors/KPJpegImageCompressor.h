#pragma once

#include "Pikora/Compressors/KPImageCompressor.h"

#include <QSize>
#include <atomic>
#include <memory>
#include <optional>

// JPEG pictures for receivers without H.264: each frame is scaled with a Lanczos filter to
// fit `resolution` (keeping its aspect ratio; enlarging too) straight into YUV planes and
// encoded with TurboJPEG at jpegQuality x 100, synchronously on the calling thread. An
// unchanged frame re-sends the last picture's bytes instead of being scaled and encoded again.
class KPJpegImageCompressor : public KPImageCompressor
{
public:
    // The largest side setup() accepts (the protocol's limit).
    static constexpr int kMaxSide = 16384;

    KPJpegImageCompressor();
    ~KPJpegImageCompressor() override;

    // False when `resolution` cannot be encoded (below 1x1, above kMaxSide, not a number).
    bool setup() override;
    // The closure gets the picture's own size, which may be smaller than the limit.
    void compressRawImage(std::shared_ptr<PixelBuffer> image, CompletionBlock completion) override;
    void cleanup() override;

    double jpegQuality() const { return m_jpegQuality; }
    void setJpegQuality(double quality) { m_jpegQuality = quality; }

    // The picture size a frame of `frame` pixels is scaled to under `limit`: the smaller of
    // the two axis ratios (computed in single precision) applied to both sides. None when
    // there is nothing to scale.
    static std::optional<QSize> scaledSize(QSize frame, QSizeF limit);

    // The buffer at its own size as a JPEG picture; none when it cannot be encoded.
    static std::optional<QByteArray> jpegDataFromCVImage(const PixelBuffer& image, double factor);

    // TurboJPEG's quality (1..100) for a compression factor in 0..1.
    static int turboJpegQuality(double factor);

    // Pictures encoded, and pictures that re-sent the previous picture's bytes because the
    // frame had not changed (the same surface again, or one the source says is unchanged).
    std::uint64_t picturesEncoded() const { return m_encoded; }
    std::uint64_t picturesReused() const { return m_reused; }

private:
    struct Impl;
    std::unique_ptr<Impl> d;
    std::atomic<double> m_jpegQuality{0.5};
    std::atomic<std::uint64_t> m_encoded{0};
    std::atomic<std::uint64_t> m_reused{0};
};
