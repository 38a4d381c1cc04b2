#pragma once

// The audio side of a capture session: captures the machine's sound and forwards it to the
// transmitter while audio is switched on. The capture session decides when (see
// AVSessionUtility::turnOnAudioIfNeeded) and calls start/stop under its lock.
class CaptureAudioPath
{
public:
    virtual ~CaptureAudioPath() = default;
    virtual void startAudioSession() = 0;
    virtual void stopAudioSession() = 0;
};
