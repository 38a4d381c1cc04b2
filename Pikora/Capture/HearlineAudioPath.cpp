#include "Pikora/Capture/HearlineAudioPath.h"

#include "Hearline/Hearline.h"
#include "Pikora/Capture/CaptureLogging.h"
#include "QuorbelOSXUtility/CoreAudioUtility.h"

namespace {
// How long a just-created capture input may take to be listed by the capture library.
constexpr std::chrono::milliseconds kDeviceListingWait{2000};
} // namespace

HearlineAudioPath::HearlineAudioPath() = default;

HearlineAudioPath::~HearlineAudioPath() = default;

void HearlineAudioPath::prepareAudioDevice(const QString& deviceName, const QString& capturePrefix)
{
    if (!CoreAudioUtility::provideAudioDevice(deviceName, capturePrefix))
        qCWarning(lcCapture).noquote() << "audio: no" << deviceName << "device; the sound is not forwarded";
}

void HearlineAudioPath::releaseAudioDevice()
{
    CoreAudioUtility::removeProvidedAudioDevice();
}

void HearlineAudioPath::setupAudioComponents()
{
    CoreAudioUtility::setupAudioComponents();
}

void HearlineAudioPath::setAudioComponentsTo(const QString& deviceName)
{
    CoreAudioUtility::setAudioComponentsTo(deviceName);
}

void HearlineAudioPath::restoreAudioComponents()
{
    CoreAudioUtility::restoreAudioComponents();
}

bool HearlineAudioPath::hasCaptureObject() const
{
    return m_hearline != nullptr;
}

void HearlineAudioPath::createCaptureObject(const QString& devicePrefix)
{
    if (m_hearline)
        return;
    // A device created a moment ago reaches the capture library's list a little later.
    if (!Hearline::waitForInputDevice(devicePrefix, kDeviceListingWait))
        qCWarning(lcCapture).noquote() << "audio: no capture input begins with" << devicePrefix;
    m_hearline = std::make_unique<Hearline>();
    if (const std::optional<HearlineError> error = m_hearline->setCaptureDevice(devicePrefix))
        qCWarning(lcCapture).noquote() << "audio: capture set-up:" << error->localizedDescription;
}

void HearlineAudioPath::setCaptureResultBlock(CaptureResultBlock block)
{
    if (m_hearline)
        m_hearline->setCaptureResultBlock(std::move(block));
}

void HearlineAudioPath::startCapture()
{
    if (m_hearline)
        m_hearline->start();
}

void HearlineAudioPath::stopCapture()
{
    if (m_hearline)
        m_hearline->stop();
}
