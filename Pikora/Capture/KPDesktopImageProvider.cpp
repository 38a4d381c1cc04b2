#include "Pikora/Capture/KPDesktopImageProvider.h"

#include "Pikora/Capture/CaptureLogging.h"
#include "Pikora/Capture/PortalFrameSource.h"
#include "Pikora/Capture/TestPatternFrameSource.h"
#include "Pikora/Capture/X11FrameSource.h"

#include <atomic>
#include <cmath>

namespace {
std::atomic<CaptureBackend> g_backend{CaptureBackend::X11};
std::mutex g_factoryMutex;
KPDesktopImageProvider::FrameSourceFactory g_factory;
constexpr std::size_t kMaxDisplays = 15;
} // namespace

void KPDesktopImageProvider::setCaptureBackend(CaptureBackend backend)
{
    g_backend.store(backend);
}

CaptureBackend KPDesktopImageProvider::captureBackend()
{
    return g_backend.load();
}

void KPDesktopImageProvider::setFrameSourceFactory(FrameSourceFactory factory)
{
    std::lock_guard lock(g_factoryMutex);
    g_factory = std::move(factory);
}

std::unique_ptr<DesktopFrameSource> KPDesktopImageProvider::makeFrameSource()
{
    {
        std::lock_guard lock(g_factoryMutex);
        if (g_factory)
            if (auto source = g_factory())
                return source;
    }
    if (captureBackend() == CaptureBackend::TestPattern)
        return std::make_unique<TestPatternFrameSource>();
    if (captureBackend() == CaptureBackend::Portal)
        return std::make_unique<PortalFrameSource>();
    return std::make_unique<X11FrameSource>();
}

std::uint32_t KPDesktopImageProvider::mainDisplayID()
{
    return makeFrameSource()->mainDisplayID();
}

KPDesktopImageProvider::KPDesktopImageProvider() : KPDesktopImageProvider(makeFrameSource()) {}

KPDesktopImageProvider::KPDesktopImageProvider(std::unique_ptr<DesktopFrameSource> source)
    : m_source(std::move(source))
{
    // As set-up does: with no display yet this only makes sure nothing streams.
    setVideoCaptureFPS(30.0);
    setShowCursor(true);
}

KPDesktopImageProvider::~KPDesktopImageProvider()
{
    stopDisplayStream();
}

void KPDesktopImageProvider::setActiveVideoDevice(const std::optional<AbstractCaptureDevice>& device)
{
    if (!device) {
        stopDisplayStream();
        return;
    }
    {
        std::lock_guard lock(m_lock);
        m_activeVideoDevice = device;
        m_currentDisplay = device->displayIdentifier();
        m_width = 0;
        m_height = 0;
        if (m_currentDisplay != 0) {
            for (const DesktopFrameSource::Display& display : m_source->displays()) {
                if (display.id != m_currentDisplay)
                    continue;
                const double scale = display.scale > 0 ? display.scale : 1.0;
                m_width = qint64(std::trunc(display.bounds.width() * scale));
                m_height = qint64(std::trunc(display.bounds.height() * scale));
            }
        }
    }
    setupDisplayStream();
}

std::optional<AbstractCaptureDevice> KPDesktopImageProvider::activeVideoDevice() const
{
    std::lock_guard lock(m_lock);
    return m_activeVideoDevice;
}

void KPDesktopImageProvider::setVideoCaptureFPS(double fps)
{
    {
        std::lock_guard lock(m_lock);
        m_videoCaptureFPS = fps;
    }
    setupDisplayStream();
}

double KPDesktopImageProvider::videoCaptureFPS() const
{
    std::lock_guard lock(m_lock);
    return m_videoCaptureFPS;
}

void KPDesktopImageProvider::setShowCursor(bool show)
{
    std::lock_guard lock(m_lock);
    m_showCursor = show;
}

bool KPDesktopImageProvider::showCursor() const
{
    std::lock_guard lock(m_lock);
    return m_showCursor;
}

bool KPDesktopImageProvider::setupDisplayStream()
{
    std::lock_guard streamLock(m_streamMutex);
    stopDisplayStream();

    std::uint32_t display;
    QSize size;
    double fps;
    bool cursor;
    {
        std::lock_guard lock(m_lock);
        display = m_currentDisplay;
        size = QSize(int(m_width), int(m_height));
        fps = m_videoCaptureFPS;
        cursor = m_showCursor;
    }
    if (display == 0)
        return false;
    // The source calls back on the capture queue; stop() waits for those calls, and the
    // destructor stops the stream, so the handler never outlives this provider.
    const bool started = m_source->start(
        display, size, fps, cursor, m_captureQueue,
        [this](std::shared_ptr<CaptureSurface> surface) { frameArrived(std::move(surface)); });
    std::lock_guard lock(m_lock);
    m_streaming = started;
    if (!started)
        qCWarning(lcCapture) << "cannot capture display" << display;
    return started;
}

bool KPDesktopImageProvider::stopDisplayStream()
{
    std::lock_guard streamLock(m_streamMutex);
    // Stop outside m_lock: stop() waits for a running frame handler, which takes m_lock.
    m_source->stop();
    std::lock_guard lock(m_lock);
    m_currentFrame.reset();
    m_streaming = false;
    return true;
}

void KPDesktopImageProvider::frameArrived(std::shared_ptr<CaptureSurface> surface)
{
    if (!surface)
        return;
    std::shared_ptr<CaptureSurface> previous;
    {
        std::lock_guard lock(m_lock);
        previous = std::move(m_currentFrame);
        m_currentFrame = std::move(surface);
    }
    // `previous` goes back to its pool here, outside the lock.
}

std::shared_ptr<PixelBuffer> KPDesktopImageProvider::getCurrentImage()
{
    std::lock_guard lock(m_lock);
    if (!m_currentFrame)
        return nullptr;
    return std::make_shared<PixelBuffer>(m_currentFrame);
}

bool KPDesktopImageProvider::hasCurrentFrame() const
{
    std::lock_guard lock(m_lock);
    return bool(m_currentFrame);
}

qint64 KPDesktopImageProvider::getWidth() const
{
    std::lock_guard lock(m_lock);
    return m_width;
}

qint64 KPDesktopImageProvider::getHeight() const
{
    std::lock_guard lock(m_lock);
    return m_height;
}

std::vector<AbstractCaptureDevice> KPDesktopImageProvider::availableVideoDevices()
{
    std::vector<AbstractCaptureDevice> devices;
    for (const DesktopFrameSource::Display& display : m_source->displays()) {
        if (devices.size() >= kMaxDisplays)
            break;
        const QString name = m_source->screenName(display.id).value_or(QStringLiteral("Unknown Display"));
        devices.emplace_back(name, QVariant::fromValue<uint>(display.id),
                             QStringLiteral("%1d").arg(display.id));
    }
    return devices;
}
