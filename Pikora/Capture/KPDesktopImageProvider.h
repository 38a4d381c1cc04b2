#pragma once

#include "Pikora/Capture/AbstractCaptureDevice.h"
#include "Pikora/Capture/DesktopFrameSource.h"
#include "Pikora/Capture/KPImageDataProvider.h"
#include "Support/DispatchQueue.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// Captures one display and always holds its newest frame, which the capture session fetches
// on its own clock. Frames arrive on "Desktop Capture Queue" from a DesktopFrameSource (X11,
// or the synthetic test pattern), chosen process-wide with setCaptureBackend().
class KPDesktopImageProvider : public KPImageDataProvider
{
public:
    using FrameSourceFactory = std::function<std::unique_ptr<DesktopFrameSource>()>;

    // Uses the configured backend (or factory).
    KPDesktopImageProvider();
    explicit KPDesktopImageProvider(std::unique_ptr<DesktopFrameSource> source);
    ~KPDesktopImageProvider() override;
    KPDesktopImageProvider(const KPDesktopImageProvider&) = delete;
    KPDesktopImageProvider& operator=(const KPDesktopImageProvider&) = delete;

    // Which source new providers capture from (default X11).
    static void setCaptureBackend(CaptureBackend backend);
    static CaptureBackend captureBackend();
    // Overrides the backend with a factory (tests, benchmarks); an empty function restores it.
    static void setFrameSourceFactory(FrameSourceFactory factory);
    static std::unique_ptr<DesktopFrameSource> makeFrameSource();
    // The main display of the configured backend; 0 when there is none.
    static std::uint32_t mainDisplayID();

    // Starts capturing `device` (stopping any earlier stream); with none, stops the stream
    // and keeps the earlier device stored.
    void setActiveVideoDevice(const std::optional<AbstractCaptureDevice>& device);
    std::optional<AbstractCaptureDevice> activeVideoDevice() const;

    // Stores the rate and restarts the stream with it.
    void setVideoCaptureFPS(double fps);
    double videoCaptureFPS() const;
    // Takes effect at the next stream set-up.
    void setShowCursor(bool show);
    bool showCursor() const;

    bool setupDisplayStream();
    bool stopDisplayStream();

    std::shared_ptr<PixelBuffer> getCurrentImage() override;
    qint64 getWidth() const override;
    qint64 getHeight() const override;

    // One record per active display (at most 15), named by the monitor.
    std::vector<AbstractCaptureDevice> availableVideoDevices();

    DesktopFrameSource& frameSource() { return *m_source; }
    // "Desktop Capture Queue", where frames arrive (diagnostics and measurements).
    DispatchQueue& captureQueue() { return m_captureQueue; }
    bool hasCurrentFrame() const;

private:
    void frameArrived(std::shared_ptr<CaptureSurface> surface);

    // Declared first so it outlives the source's stream.
    DispatchQueue m_captureQueue{"Desktop Capture Queue"};
    std::unique_ptr<DesktopFrameSource> m_source;

    // Serialises stream set-up and stop (never taken by the frame handler).
    std::recursive_mutex m_streamMutex;
    // Guards the fields below; the frame handler takes it for the pointer swap.
    mutable std::recursive_mutex m_lock;
    std::shared_ptr<CaptureSurface> m_currentFrame;
    bool m_streaming = false;
    std::uint32_t m_currentDisplay = 0;
    bool m_showCursor = true;
    double m_videoCaptureFPS = 30.0;
    std::optional<AbstractCaptureDevice> m_activeVideoDevice;
    qint64 m_width = 0;
    qint64 m_height = 0;
};
