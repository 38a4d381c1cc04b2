#pragma once

// The options describing one capture run: a string-keyed dictionary whose keys are the
// constants below (each key's text equals its constant's name).

#include <QString>
#include <QVariantMap>

using CaptureOptions = QVariantMap;

extern const QString kKPCaptureOptionOutputFormat;           // qint64: 1 = JPEG, 2 = H.264
extern const QString kKPCaptureOptionOutputQuality;          // qint64: quality level 1..4
extern const QString kKPCaptureOptionDesireOutputResolution; // QSizeF: output size limit, zero = none
extern const QString kKPCaptureOptionFramerate;              // qint64: frames per second
extern const QString kKPCaptureOptionH264Bitrate;            // qint64: bits per second (H.264 only)
extern const QString kKPCaptureOptionJPEGQuality;            // double 0..1 (JPEG only)

// Output format codes.
enum KPCaptureOutputFormat : qint64
{
    kKPCaptureOutputFormatJPEG = 1,
    kKPCaptureOutputFormatH264 = 2,
};
