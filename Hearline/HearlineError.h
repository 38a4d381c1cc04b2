#pragma once

#include <QString>

// An error of the capture library: domain "kHearlineErrorDomain", code 0, and one of the
// descriptions "mCaptureAudioDeviceInput init", "mCaptureSession cannot addInput",
// "mCaptureSession cannot addOutput".
struct HearlineError
{
    static constexpr const char* kDomain = "kHearlineErrorDomain";

    QString domain = QString::fromLatin1(kDomain);
    int code = 0;
    QString localizedDescription;
};
