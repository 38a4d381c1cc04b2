#pragma once

#include "Pikora/Capture/CaptureOptions.h"

#include <QSizeF>
#include <optional>

// Turns a capture run's quality level into the encoder parameter of its output format, and
// fits a captured picture size into a receiver's resolution limit.
class QualityMapper
{
public:
    // Adds the bit rate (H.264) or JPEG quality for the options' quality level. No value when
    // the options name no output format or an unknown one.
    static std::optional<CaptureOptions> qualityMappingDictionary(const CaptureOptions& options);
    // A copy of the options with kKPCaptureOptionJPEGQuality set (replacing any earlier value).
    static CaptureOptions jpegMappingDictionary(const CaptureOptions& options);
    // A copy of the options with kKPCaptureOptionH264Bitrate set.
    static CaptureOptions h264MappingDictionary(const CaptureOptions& options);

    static double jpegQualityForLevel(qint64 level);
    static qint64 h264BitrateForLevel(qint64 level);

    // The size a captured picture of `captured` pixels is encoded at under the limit `limit`:
    // the captured size when it fits, otherwise the captured aspect ratio fitted to the
    // limit's shorter side (the other side may still exceed the limit). A captured size with
    // a zero side gives the limit. Not rounded; users truncate.
    static QSizeF restrictFromSize(const QSizeF& captured, const QSizeF& limit);
};
