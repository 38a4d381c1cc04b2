#include "Pikora/Capture/QualityMapper.h"

#include "Pikora/Capture/CaptureLogging.h"

double QualityMapper::jpegQualityForLevel(qint64 level)
{
    switch (level) {
    case 1:
        return 0.3;
    case 2:
        return 0.5;
    case 3:
        return 0.7;
    case 4:
        return 1.0;
    default:
        return 0.5;
    }
}

qint64 QualityMapper::h264BitrateForLevel(qint64 level)
{
    // Level 1 has no row of its own: the default is already the lowest rate.
    switch (level) {
    case 2:
        return 1'500'000;
    case 3:
        return 3'200'000;
    case 4:
        return 6'000'000;
    default:
        return 500'000;
    }
}

std::optional<CaptureOptions> QualityMapper::qualityMappingDictionary(const CaptureOptions& options)
{
    const auto format = options.find(kKPCaptureOptionOutputFormat);
    if (format == options.end())
        return std::nullopt;
    switch (format->toLongLong()) {
    case kKPCaptureOutputFormatH264:
        return h264MappingDictionary(options);
    case kKPCaptureOutputFormatJPEG:
        return jpegMappingDictionary(options);
    default:
        return std::nullopt;
    }
}

CaptureOptions QualityMapper::jpegMappingDictionary(const CaptureOptions& options)
{
    CaptureOptions mapped = options;
    mapped.insert(kKPCaptureOptionJPEGQuality,
                  jpegQualityForLevel(options.value(kKPCaptureOptionOutputQuality).toLongLong()));
    return mapped;
}

CaptureOptions QualityMapper::h264MappingDictionary(const CaptureOptions& options)
{
    CaptureOptions mapped = options;
    mapped.insert(kKPCaptureOptionH264Bitrate,
                  h264BitrateForLevel(options.value(kKPCaptureOptionOutputQuality).toLongLong()));
    return mapped;
}

QSizeF QualityMapper::restrictFromSize(const QSizeF& captured, const QSizeF& limit)
{
    const double W = captured.width();
    const double H = captured.height();
    // Nothing captured yet (or a degenerate size that would divide by zero below).
    if (W <= 0 || H <= 0)
        return limit;
    if (W <= limit.width() && H <= limit.height())
        return captured;

    QSizeF result;
    if (limit.height() > limit.width())
        result = QSizeF(limit.width(), limit.width() / W * H);
    else
        result = QSizeF(limit.height() / H * W, limit.height());
    qCInfo(lcCapture).noquote() << QString::asprintf(
        "Resolution down scale from %1.fx%1.f to %1.fx%1.f due to vistrel fw resolution limit ", W, H,
        result.width(), result.height());
    return result;
}
