#pragma once

#include "Pikora/Capture/ChangeHistory.h"
#include "Pikora/Capture/DesktopFrameSource.h"

#include <QSize>
#include <atomic>
#include <memory>

class TestPatternScene;
class SurfacePool;
class DispatchTimer;

// A frame source without a display server: one virtual display showing TestPatternScene,
// whose moving window advances one step per delivered frame.
class TestPatternFrameSource final : public DesktopFrameSource
{
public:
    static constexpr std::uint32_t kDisplayID = 1;

    // `pixels` is the display's size in pixels; `scale` pixels per point.
    explicit TestPatternFrameSource(QSize pixels = defaultPixelSize(), double scale = defaultScale());
    ~TestPatternFrameSource() override;

    // The geometry new sources get by default (1920x1080, scale 1).
    static void setDefaultGeometry(QSize pixels, double scale);
    static QSize defaultPixelSize();
    static double defaultScale();

    std::vector<Display> displays() override;
    std::optional<QString> screenName(std::uint32_t display) override;
    bool start(std::uint32_t display, QSize pixelSize, double fps, bool showCursor, DispatchQueue& queue,
               FrameHandler handler) override;
    void stop() override;

    const TestPatternScene& scene() const { return *m_scene; }
    // Frames not delivered because every pooled surface was still held downstream.
    std::uint64_t framesSkipped() const { return m_skipped.load(); }
    std::uint64_t framesDelivered() const { return m_delivered.load(); }

private:
    void tick();

    QSize m_pixels;
    double m_scale;
    std::shared_ptr<TestPatternScene> m_scene;
    std::shared_ptr<SurfacePool> m_pool;
    std::unique_ptr<DispatchTimer> m_timer;
    DispatchQueue* m_queue = nullptr;
    FrameHandler m_handler;
    std::uint64_t m_frame = 0;
    ChangeHistory m_history;
    std::atomic<std::uint64_t> m_skipped{0};
    std::atomic<std::uint64_t> m_delivered{0};
};
