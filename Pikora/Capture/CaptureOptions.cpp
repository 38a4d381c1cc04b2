#include "Pikora/Capture/CaptureOptions.h"

const QString kKPCaptureOptionOutputFormat = QStringLiteral("kKPCaptureOptionOutputFormat");
const QString kKPCaptureOptionOutputQuality = QStringLiteral("kKPCaptureOptionOutputQuality");
const QString kKPCaptureOptionDesireOutputResolution =
    QStringLiteral("kKPCaptureOptionDesireOutputResolution");
const QString kKPCaptureOptionFramerate = QStringLiteral("kKPCaptureOptionFramerate");
const QString kKPCaptureOptionH264Bitrate = QStringLiteral("kKPCaptureOptionH264Bitrate");
const QString kKPCaptureOptionJPEGQuality = QStringLiteral("kKPCaptureOptionJPEGQuality");
