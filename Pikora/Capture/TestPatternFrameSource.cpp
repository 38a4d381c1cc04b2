#include "Pikora/Capture/TestPatternFrameSource.h"

#include "Pikora/Capture/CaptureLogging.h"
#include "Pikora/Capture/SurfacePool.h"
#include "Pikora/Capture/TestPatternScene.h"
#include "Support/DispatchQueue.h"
#include "Support/DispatchTimer.h"

#include <cmath>
#include <mutex>

namespace {
std::mutex g_defaultsMutex;
QSize g_defaultPixels(1920, 1080);
double g_defaultScale = 1.0;
constexpr int kPoolDepth = 8;
} // namespace

void TestPatternFrameSource::setDefaultGeometry(QSize pixels, double scale)
{
    std::lock_guard lock(g_defaultsMutex);
    g_defaultPixels = pixels;
    g_defaultScale = scale > 0 ? scale : 1.0;
}

QSize TestPatternFrameSource::defaultPixelSize()
{
    std::lock_guard lock(g_defaultsMutex);
    return g_defaultPixels;
}

double TestPatternFrameSource::defaultScale()
{
    std::lock_guard lock(g_defaultsMutex);
    return g_defaultScale;
}

TestPatternFrameSource::TestPatternFrameSource(QSize pixels, double scale)
    : m_pixels(pixels), m_scale(scale > 0 ? scale : 1.0), m_scene(std::make_shared<TestPatternScene>(pixels))
{
    m_pixels = m_scene->size();
}

TestPatternFrameSource::~TestPatternFrameSource()
{
    stop();
}

std::vector<DesktopFrameSource::Display> TestPatternFrameSource::displays()
{
    Display d;
    d.id = kDisplayID;
    d.bounds = QRect(0, 0, int(m_pixels.width() / m_scale), int(m_pixels.height() / m_scale));
    d.scale = m_scale;
    d.outputName = QStringLiteral("TEST-PATTERN");
    d.primary = true;
    return {d};
}

std::optional<QString> TestPatternFrameSource::screenName(std::uint32_t display)
{
    if (display != kDisplayID)
        return std::nullopt;
    return QStringLiteral("Pikora Test Pattern");
}

bool TestPatternFrameSource::start(std::uint32_t display, QSize pixelSize, double fps, bool /*showCursor*/,
                                   DispatchQueue& queue, FrameHandler handler)
{
    stop();
    if (display != kDisplayID) {
        qCWarning(lcCapture) << "test pattern: no display" << display;
        return false;
    }
    if (pixelSize != m_pixels)
        qCInfo(lcCapture) << "test pattern: stream size" << pixelSize << "differs from the display's"
                          << m_pixels << "- delivering the display's size";
    m_pool = SurfacePool::create(kPoolDepth, m_pixels.width(), m_pixels.height());
    m_queue = &queue;
    m_handler = std::move(handler);
    m_frame = 0;
    m_history.reset();
    const double rate = fps > 0 ? fps : 30.0;
    const auto interval = std::chrono::nanoseconds(std::llround(1e9 / rate));
    m_timer = std::make_unique<DispatchTimer>(queue, [this] { tick(); });
    m_timer->start(std::chrono::nanoseconds::zero(), interval, std::chrono::nanoseconds::zero(), true);
    return true;
}

void TestPatternFrameSource::stop()
{
    if (!m_timer)
        return;
    m_timer->cancel();
    // Let a tick that is running now finish before the state it uses goes away.
    if (!m_queue->isCurrent())
        m_queue->sync([] {});
    m_timer.reset();
    m_handler = nullptr;
    m_pool.reset();
    m_queue = nullptr;
}

void TestPatternFrameSource::tick()
{
    if (!m_timer || m_timer->isCancelled())
        return;
    std::shared_ptr<CaptureSurface> surface = m_pool->acquire();
    if (!surface) {
        m_skipped.fetch_add(1);
        return;
    }
    const std::uint64_t frame = m_frame++;
    std::optional<std::uint64_t> previous;
    if (surface->contentTag != 0)
        previous = surface->contentTag - 1;
    m_scene->render(frame, surface->mutableData(), surface->bytesPerRow(), previous);
    surface->contentTag = frame + 1;
    surface->sequence = frame + 1;
    surface->captureTime = std::chrono::steady_clock::now();
    // Only the moving window differs from the frame before: where it was and where it is.
    std::optional<std::vector<RowSpan>> changed;
    if (frame > 0) {
        const QRect now = m_scene->movingWindowRect(frame);
        const QRect before = m_scene->movingWindowRect(frame - 1);
        changed = std::vector<RowSpan>{{now.top(), now.bottom() + 1}, {before.top(), before.bottom() + 1}};
    }
    surface->changes = m_history.record(surface->generation(), std::move(changed), surface->height());
    m_delivered.fetch_add(1);
    if (m_handler)
        m_handler(std::move(surface));
}
