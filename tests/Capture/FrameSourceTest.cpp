#include "Pikora/Capture/KPDesktopImageProvider.h"
#include "Pikora/Capture/SurfacePool.h"
#include "Pikora/Capture/TestPatternFrameSource.h"
#include "Pikora/Capture/TestPatternScene.h"
#include "Support/DispatchQueue.h"

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

template <typename Pred> bool waitFor(Pred pred, std::chrono::milliseconds timeout = 5s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A frame source that delivers only what the test pushes.
class ManualFrameSource : public DesktopFrameSource
{
public:
    std::vector<Display> displays() override
    {
        Display a{7, QRect(0, 0, 1440, 900), 2.0, QStringLiteral("eDP-1"), true};
        Display b{9, QRect(1440, 0, 1920, 1080), 1.0, QStringLiteral("HDMI-1"), false};
        return {a, b};
    }
    std::optional<QString> screenName(std::uint32_t display) override
    {
        if (display == 7)
            return QStringLiteral("Built-in Panel");
        return std::nullopt;
    }
    bool start(std::uint32_t display, QSize size, double fps, bool cursor, DispatchQueue& queue,
               FrameHandler handler) override
    {
        std::lock_guard lock(mutex);
        started = {display, size, fps, cursor};
        this->queue = &queue;
        this->handler = std::move(handler);
        ++starts;
        return true;
    }
    void stop() override
    {
        std::lock_guard lock(mutex);
        handler = nullptr;
        ++stops;
    }
    void deliver(std::shared_ptr<CaptureSurface> surface)
    {
        FrameHandler h;
        DispatchQueue* q;
        {
            std::lock_guard lock(mutex);
            h = handler;
            q = queue;
        }
        if (h)
            q->sync([&] { h(std::move(surface)); });
    }
    struct Started
    {
        std::uint32_t display = 0;
        QSize size;
        double fps = 0;
        bool cursor = false;
    };
    std::mutex mutex;
    Started started;
    DispatchQueue* queue = nullptr;
    FrameHandler handler;
    int starts = 0;
    int stops = 0;
};

TEST(DesktopImageProvider, SizesComeFromTheDisplaysBoundsAndScale)
{
    auto source = std::make_unique<ManualFrameSource>();
    ManualFrameSource* raw = source.get();
    KPDesktopImageProvider provider(std::move(source));
    provider.setVideoCaptureFPS(20);
    provider.setActiveVideoDevice(AbstractCaptureDevice::mainDisplay(7));
    EXPECT_EQ(provider.getWidth(), 2880);
    EXPECT_EQ(provider.getHeight(), 1800);
    EXPECT_EQ(raw->started.display, 7u);
    EXPECT_EQ(raw->started.size, QSize(2880, 1800));
    EXPECT_DOUBLE_EQ(raw->started.fps, 20.0);
    EXPECT_TRUE(raw->started.cursor);

    provider.setShowCursor(false);
    provider.setActiveVideoDevice(
        AbstractCaptureDevice(QStringLiteral("ext"), QVariant(9u), QStringLiteral("9d")));
    EXPECT_EQ(provider.getWidth(), 1920);
    EXPECT_FALSE(raw->started.cursor);

    // A record that does not hold a number names no display: nothing streams.
    const int starts = raw->starts;
    EXPECT_FALSE([&] {
        provider.setActiveVideoDevice(AbstractCaptureDevice(
            QStringLiteral("bad"), QVariant(QStringLiteral("x")), QStringLiteral("bad")));
        return provider.setupDisplayStream();
    }());
    EXPECT_EQ(raw->starts, starts);
}

TEST(DesktopImageProvider, KeepsOnlyTheNewestFrameAndWrapsItWithoutCopying)
{
    auto source = std::make_unique<ManualFrameSource>();
    ManualFrameSource* raw = source.get();
    KPDesktopImageProvider provider(std::move(source));
    EXPECT_EQ(provider.getCurrentImage(), nullptr);
    provider.setActiveVideoDevice(AbstractCaptureDevice::mainDisplay(7));

    auto pool = SurfacePool::create(3, 64, 32);
    std::shared_ptr<CaptureSurface> first = pool->acquire();
    CaptureSurface* firstRaw = first.get();
    raw->deliver(std::move(first));
    std::shared_ptr<PixelBuffer> a = provider.getCurrentImage();
    std::shared_ptr<PixelBuffer> b = provider.getCurrentImage();
    ASSERT_TRUE(a && b);
    // Two distinct buffers over the same surface.
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->surface(), firstRaw);
    EXPECT_EQ(a->baseAddress(), b->baseAddress());

    raw->deliver(pool->acquire());
    EXPECT_NE(provider.getCurrentImage()->surface(), firstRaw);
    // The replaced surface stays alive while buffers over it exist, then returns to the pool.
    EXPECT_EQ(pool->inUse(), 2);
    a.reset();
    b.reset();
    EXPECT_EQ(pool->inUse(), 1);
    // An idle update without a surface changes nothing.
    raw->deliver(nullptr);
    EXPECT_NE(provider.getCurrentImage(), nullptr);
}

TEST(DesktopImageProvider, StoppingWithNoDeviceClearsTheFrameButKeepsTheDevice)
{
    auto source = std::make_unique<ManualFrameSource>();
    ManualFrameSource* raw = source.get();
    KPDesktopImageProvider provider(std::move(source));
    provider.setActiveVideoDevice(AbstractCaptureDevice::mainDisplay(7));
    auto pool = SurfacePool::create(1, 8, 8);
    raw->deliver(pool->acquire());
    ASSERT_TRUE(provider.hasCurrentFrame());
    const int stops = raw->stops;
    provider.setActiveVideoDevice(std::nullopt);
    EXPECT_GT(raw->stops, stops);
    EXPECT_FALSE(provider.hasCurrentFrame());
    EXPECT_EQ(provider.getCurrentImage(), nullptr);
    ASSERT_TRUE(provider.activeVideoDevice());
    EXPECT_EQ(provider.activeVideoDevice()->uniqueID(), AbstractCaptureDevice::kMainDisplayName);
    EXPECT_EQ(pool->inUse(), 0);
}

TEST(DesktopImageProvider, ListsDisplaysNamedByTheirMonitors)
{
    KPDesktopImageProvider provider(std::make_unique<ManualFrameSource>());
    const std::vector<AbstractCaptureDevice> devices = provider.availableVideoDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].captureName(), QStringLiteral("Built-in Panel"));
    EXPECT_EQ(devices[0].uniqueID(), QStringLiteral("7d"));
    EXPECT_EQ(devices[0].displayIdentifier(), 7u);
    EXPECT_EQ(devices[1].captureName(), QStringLiteral("Unknown Display"));
    EXPECT_EQ(devices[1].description(), QStringLiteral("Display device(9) name:Unknown Display, id:9d"));
    // Records are equal by unique identifier only.
    EXPECT_EQ(devices[1], AbstractCaptureDevice(QStringLiteral("other"), QVariant(1u), QStringLiteral("9d")));
}

TEST(TestPatternSource, DeliversMovingFramesAndHonoursThePool)
{
    KPDesktopImageProvider provider(std::make_unique<TestPatternFrameSource>(QSize(640, 400), 1.0));
    provider.setVideoCaptureFPS(200);
    provider.setActiveVideoDevice(AbstractCaptureDevice::mainDisplay(TestPatternFrameSource::kDisplayID));
    EXPECT_EQ(provider.getWidth(), 640);
    ASSERT_TRUE(waitFor([&] { return provider.hasCurrentFrame(); }));
    std::shared_ptr<PixelBuffer> first = provider.getCurrentImage();
    ASSERT_TRUE(waitFor(
        [&] { return provider.getCurrentImage()->surface()->sequence > first->surface()->sequence; }));

    // Hold buffers until the pool of 8 surfaces is exhausted: the source then skips frames
    // instead of reusing a surface that is still being read.
    auto& source = static_cast<TestPatternFrameSource&>(provider.frameSource());
    std::vector<std::shared_ptr<PixelBuffer>> held;
    ASSERT_TRUE(waitFor([&] {
        auto buffer = provider.getCurrentImage();
        if (held.empty() || held.back()->surface() != buffer->surface())
            held.push_back(buffer);
        return source.framesSkipped() > 0;
    }));
    std::set<const std::uint8_t*> distinct;
    for (const auto& buffer : held)
        distinct.insert(buffer->baseAddress());
    EXPECT_EQ(distinct.size(), held.size());
    EXPECT_LE(held.size(), 8u);
    // Pixels of held frames are never overwritten.
    const std::uint64_t tag = held.front()->surface()->contentTag;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(held.front()->surface()->contentTag, tag);
    held.clear();
    const std::uint64_t delivered = source.framesDelivered();
    ASSERT_TRUE(waitFor([&] { return source.framesDelivered() > delivered; }));
}

TEST(TestPatternScene, FramesCanBeIdentifiedAfterScaling)
{
    const TestPatternScene scene(QSize(1440, 900));
    std::vector<std::uint8_t> bgra(1440 * 900 * 4);
    std::vector<std::uint8_t> scaled(864 * 540 * 4);
    std::vector<std::uint8_t> y(864 * 540), u(432 * 270), v(432 * 270);
    std::optional<std::uint64_t> previous;
    for (std::uint64_t n : {0ull, 1ull, 2ull, 37ull, 1000ull, 65535ull}) {
        const QRect changed = scene.render(n, bgra.data(), 1440 * 4, previous);
        EXPECT_TRUE(changed.contains(scene.movingWindowRect(n).intersected(QRect(0, 0, 1440, 900))));
        previous = n;
        libyuv::ARGBScale(bgra.data(), 1440 * 4, 1440, 900, scaled.data(), 864 * 4, 864, 540,
                          libyuv::kFilterBox);
        libyuv::ARGBToI420(scaled.data(), 864 * 4, y.data(), 864, u.data(), 432, v.data(), 432, 864, 540);
        const std::uint64_t from = n > 10 ? n - 10 : 0;
        EXPECT_EQ(scene.identifyFrame(y.data(), 864, QSize(864, 540), 0.6, from, n + 10), n);
    }
    // Incremental rendering gives the same picture as rendering from scratch.
    std::vector<std::uint8_t> fresh(bgra.size());
    scene.render(65535, fresh.data(), 1440 * 4);
    EXPECT_EQ(fresh, bgra);
}

} // namespace
