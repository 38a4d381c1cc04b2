#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// The platform side of the capture session's audio forwarding: the machine's default audio
// devices and the audio capture object. The capture session decides when sound is forwarded
// and does the buffering (AVSessionUtility::setAudioOn); it calls these under its lock, so
// none of them may wait for the capture thread.
//
// The real path is HearlineAudioPath (the sound server and Hearline); tests use a fake.
class CaptureAudioPath
{
public:
    // One captured buffer (signed 16-bit little-endian interleaved stereo, 44,100 Hz) and a
    // status (0 = good); called on the capture object's thread.
    using CaptureResultBlock = std::function<void(const QByteArray& bytes, qint32 status)>;

    virtual ~CaptureAudioPath() = default;

    // Makes sure a device of that name exists, with a capture input whose identifier begins
    // with `capturePrefix` that carries what is played to it; creates one where missing.
    virtual void prepareAudioDevice(const QString& deviceName, const QString& capturePrefix) = 0;
    // Removes what prepareAudioDevice() created, if anything.
    virtual void releaseAudioDevice() = 0;

    // Remember, switch and restore the default input and output.
    virtual void setupAudioComponents() = 0;
    virtual void setAudioComponentsTo(const QString& deviceName) = 0;
    virtual void restoreAudioComponents() = 0;

    // The capture object, created once on first use with the input chosen by prefix.
    virtual bool hasCaptureObject() const = 0;
    virtual void createCaptureObject(const QString& devicePrefix) = 0;
    virtual void setCaptureResultBlock(CaptureResultBlock block) = 0;
    virtual void startCapture() = 0;
    virtual void stopCapture() = 0;
};
