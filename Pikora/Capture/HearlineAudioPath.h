#pragma once

#include "Pikora/Capture/CaptureAudioPath.h"

#include <memory>

class Hearline;

// The machine's real audio side: default devices on the sound server through
// CoreAudioUtility, capture through Hearline. A "Sonvex" device that the machine lacks is
// created on the server while sound is forwarded and removed afterwards.
class HearlineAudioPath : public CaptureAudioPath
{
public:
    HearlineAudioPath();
    ~HearlineAudioPath() override;

    void prepareAudioDevice(const QString& deviceName, const QString& capturePrefix) override;
    void releaseAudioDevice() override;
    void setupAudioComponents() override;
    void setAudioComponentsTo(const QString& deviceName) override;
    void restoreAudioComponents() override;
    bool hasCaptureObject() const override;
    void createCaptureObject(const QString& devicePrefix) override;
    void setCaptureResultBlock(CaptureResultBlock block) override;
    void startCapture() override;
    void stopCapture() override;

    Hearline* hearline() const { return m_hearline.get(); }

private:
    std::unique_ptr<Hearline> m_hearline;
};
