#include "Pikora/Capture/KPDesktopImageProvider.h"
#include "Pikora/Capture/X11FrameSource.h"
#include "Support/DispatchQueue.h"
#include "XvfbServer.h"

#include <algorithm>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <xcb/xcb.h>

namespace {

using namespace std::chrono_literals;

struct Collected
{
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::shared_ptr<CaptureSurface>> frames;

    DesktopFrameSource::FrameHandler handler()
    {
        return [this](std::shared_ptr<CaptureSurface> s) {
            std::lock_guard lock(mutex);
            frames.push_back(std::move(s));
            cv.notify_all();
        };
    }
    bool waitFor(std::size_t n, std::chrono::milliseconds timeout = 5s)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return frames.size() >= n; });
    }
    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return frames.size();
    }
    std::shared_ptr<CaptureSurface> last()
    {
        std::lock_guard lock(mutex);
        return frames.back();
    }
    void clear()
    {
        std::lock_guard lock(mutex);
        frames.clear();
    }
};

// Draws on the root window of a display.
class Painter
{
public:
    explicit Painter(const QByteArray& display)
    {
        conn = xcb_connect(display.constData(), nullptr);
        screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
        gc = xcb_generate_id(conn);
        xcb_create_gc(conn, gc, screen->root, 0, nullptr);
    }
    ~Painter() { xcb_disconnect(conn); }
    void fill(int x, int y, int w, int h, std::uint32_t rgb)
    {
        xcb_change_gc(conn, gc, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t r{std::int16_t(x), std::int16_t(y), std::uint16_t(w), std::uint16_t(h)};
        xcb_poly_fill_rectangle(conn, screen->root, gc, 1, &r);
        sync();
    }
    void warpPointer(int x, int y)
    {
        xcb_warp_pointer(conn, XCB_NONE, screen->root, 0, 0, 0, 0, std::int16_t(x), std::int16_t(y));
        sync();
    }
    void sync() { free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr)); }

    xcb_connection_t* conn;
    xcb_screen_t* screen;
    xcb_gcontext_t gc;
};

std::uint32_t pixelAt(const CaptureSurface& s, int x, int y)
{
    const std::uint8_t* p = s.data() + std::size_t(y) * s.bytesPerRow() + std::size_t(x) * 4;
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16);
}

class X11Capture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!XvfbServer::available())
            GTEST_SKIP() << "Xvfb is not installed";
        server = std::make_unique<XvfbServer>(QSize(640, 480));
        ASSERT_TRUE(server->running());
        painter = std::make_unique<Painter>(server->display());
        painter->fill(0, 0, 640, 480, 0x000000);
    }
    void TearDown() override
    {
        painter.reset();
        server.reset();
    }
    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<Painter> painter;
};

TEST_F(X11Capture, ReturnsThePixelsThatWereDrawn)
{
    painter->fill(10, 20, 100, 50, 0xff0000);
    painter->fill(300, 200, 40, 40, 0x00ff80);
    DispatchQueue queue("test capture"); // the queue and the handler's target outlive the stream
    Collected got;
    X11FrameSource source(server->display());
    ASSERT_TRUE(source.isConnected());
    EXPECT_TRUE(source.usesSharedMemory());
    const std::vector<DesktopFrameSource::Display> displays = source.displays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].bounds, QRect(0, 0, 640, 480));
    EXPECT_EQ(source.mainDisplayID(), displays[0].id);

    ASSERT_TRUE(source.start(displays[0].id, QSize(640, 480), 30, false, queue, got.handler()));
    ASSERT_TRUE(got.waitFor(1));
    const std::shared_ptr<CaptureSurface> frame = got.last();
    EXPECT_EQ(frame->width(), 640);
    EXPECT_EQ(frame->height(), 480);
    EXPECT_EQ(pixelAt(*frame, 50, 40), 0xff0000u);
    EXPECT_EQ(pixelAt(*frame, 109, 69), 0xff0000u);
    EXPECT_EQ(pixelAt(*frame, 110, 70), 0x000000u);
    EXPECT_EQ(pixelAt(*frame, 320, 220), 0x00ff80u);
    // Memory order is B, G, R.
    EXPECT_EQ(frame->data()[(40 * 640 + 50) * 4 + 2], 0xff);
    source.stop();
}

TEST_F(X11Capture, AnIdleScreenDeliversNothingAndAChangeDeliversANewFrame)
{
    DispatchQueue queue("test capture");
    Collected got;
    X11FrameSource source(server->display());
    ASSERT_TRUE(source.start(source.mainDisplayID(), QSize(640, 480), 50, false, queue, got.handler()));
    ASSERT_TRUE(got.waitFor(1));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(got.count(), 1u) << "frames delivered for an unchanged screen";

    painter->fill(200, 100, 20, 20, 0x0000ff);
    ASSERT_TRUE(got.waitFor(2));
    EXPECT_EQ(pixelAt(*got.last(), 210, 110), 0x0000ffu);
    // The earlier frame, still held, kept its pixels.
    std::lock_guard lock(got.mutex);
    EXPECT_EQ(pixelAt(*got.frames.front(), 210, 110), 0x000000u);
    EXPECT_NE(got.frames.front()->data(), got.frames.back()->data());
}

// Each picture says which rows changed since the ones before it (from Damage), which lets
// the encoder convert only those; a first picture says nothing, and each has its grab time.
TEST_F(X11Capture, EachPictureTellsWhichRowsChangedSinceTheEarlierOnes)
{
    DispatchQueue queue("test capture");
    Collected got;
    X11FrameSource source(server->display());
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(source.start(source.mainDisplayID(), QSize(640, 480), 50, false, queue, got.handler()));
    ASSERT_TRUE(got.waitFor(1));
    const std::shared_ptr<CaptureSurface> first = got.last();
    EXPECT_TRUE(first->changes.empty());
    ASSERT_TRUE(first->captureTime.has_value());
    EXPECT_GE(*first->captureTime, before);

    painter->fill(100, 200, 30, 10, 0xffffff);
    ASSERT_TRUE(got.waitFor(2));
    const std::shared_ptr<CaptureSurface> second = got.last();
    const std::optional<std::vector<RowSpan>> rows = second->changedRowsSince(first->generation());
    ASSERT_TRUE(rows);
    ASSERT_FALSE(rows->empty());
    // The drawn rows are covered; rows far from them are not.
    const auto covers = [](const std::vector<RowSpan>& spans, int row) {
        return std::any_of(spans.begin(), spans.end(),
                           [row](const RowSpan& s) { return s.begin <= row && row < s.end; });
    };
    EXPECT_TRUE(covers(*rows, 200));
    EXPECT_TRUE(covers(*rows, 209));
    EXPECT_FALSE(covers(*rows, 50));
    EXPECT_FALSE(covers(*rows, 400));
    EXPECT_GE(*second->captureTime, *first->captureTime);

    painter->fill(0, 400, 10, 5, 0x808080);
    ASSERT_TRUE(got.waitFor(3));
    const std::shared_ptr<CaptureSurface> third = got.last();
    const std::optional<std::vector<RowSpan>> sinceFirst = third->changedRowsSince(first->generation());
    ASSERT_TRUE(sinceFirst); // both changes, for a consumer that skipped the second picture
    EXPECT_TRUE(covers(*sinceFirst, 205));
    EXPECT_TRUE(covers(*sinceFirst, 402));
    const std::optional<std::vector<RowSpan>> sinceSecond = third->changedRowsSince(second->generation());
    ASSERT_TRUE(sinceSecond);
    EXPECT_FALSE(covers(*sinceSecond, 205));
    EXPECT_TRUE(covers(*sinceSecond, 402));
    source.stop();
}

TEST_F(X11Capture, HeldFramesAreNeverReusedAndReleasedOnesAre)
{
    DispatchQueue queue("test capture");
    Collected got;
    X11FrameSource source(server->display());
    ASSERT_TRUE(source.start(source.mainDisplayID(), QSize(640, 480), 100, false, queue, got.handler()));
    // Change the screen on every step while holding every frame: after 8 the pool is empty.
    for (int i = 0; i < 12; ++i) {
        painter->fill(0, 0, 16, 16, std::uint32_t(0x010101 * (i + 1)));
        std::this_thread::sleep_for(30ms);
    }
    EXPECT_EQ(got.count(), 8u);
    EXPECT_GT(source.framesSkipped(), 0u);
    got.clear(); // back to the pool
    painter->fill(0, 0, 16, 16, 0xabcdef);
    ASSERT_TRUE(got.waitFor(1));
    EXPECT_EQ(pixelAt(*got.last(), 4, 4), 0xabcdefu);
}

TEST_F(X11Capture, DrawsThePointerOnlyWhenAsked)
{
    painter->fill(0, 0, 640, 480, 0x808080);
    painter->warpPointer(200, 150);
    auto grab = [&](bool cursor) {
        DispatchQueue queue("test capture");
        Collected got;
        X11FrameSource source(server->display());
        EXPECT_TRUE(source.start(source.mainDisplayID(), QSize(640, 480), 30, cursor, queue, got.handler()));
        EXPECT_TRUE(got.waitFor(1));
        source.stop();
        return got.last();
    };
    const std::shared_ptr<CaptureSurface> plain = grab(false);
    const std::shared_ptr<CaptureSurface> withCursor = grab(true);
    int differing = 0;
    for (int y = 130; y < 170; ++y)
        for (int x = 180; x < 220; ++x)
            differing += pixelAt(*plain, x, y) != pixelAt(*withCursor, x, y) ? 1 : 0;
    EXPECT_GT(differing, 10);
    // Far from the pointer the pictures agree.
    EXPECT_EQ(pixelAt(*plain, 500, 400), pixelAt(*withCursor, 500, 400));
    EXPECT_EQ(pixelAt(*plain, 200, 150 + 60), 0x808080u);
}

TEST_F(X11Capture, ProviderCapturesTheMainDisplayAndListsIt)
{
    const QByteArray display = server->display();
    KPDesktopImageProvider::setFrameSourceFactory(
        [display] { return std::make_unique<X11FrameSource>(display); });
    painter->fill(0, 0, 64, 64, 0x123456);
    {
        KPDesktopImageProvider provider;
        const std::uint32_t id = KPDesktopImageProvider::mainDisplayID();
        ASSERT_NE(id, 0u);
        const std::vector<AbstractCaptureDevice> devices = provider.availableVideoDevices();
        ASSERT_EQ(devices.size(), 1u);
        // Xvfb's output has no EDID.
        EXPECT_EQ(devices[0].captureName(), QStringLiteral("Unknown Display"));
        EXPECT_EQ(devices[0].uniqueID(), QStringLiteral("%1d").arg(id));

        provider.setVideoCaptureFPS(20);
        provider.setActiveVideoDevice(AbstractCaptureDevice::mainDisplay(id));
        EXPECT_EQ(provider.getWidth(), 640);
        EXPECT_EQ(provider.getHeight(), 480);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!provider.hasCurrentFrame() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        const std::shared_ptr<PixelBuffer> image = provider.getCurrentImage();
        ASSERT_TRUE(image);
        EXPECT_EQ(pixelAt(*image->surface(), 10, 10), 0x123456u);
    }
    KPDesktopImageProvider::setFrameSourceFactory({});
}

TEST(X11CaptureWithoutServer, ConnectionFailureIsReportedNotCrashed)
{
    DispatchQueue queue("test capture");
    X11FrameSource source(QByteArray(":4093"));
    EXPECT_FALSE(source.isConnected());
    EXPECT_TRUE(source.displays().empty());
    EXPECT_FALSE(source.start(1, QSize(10, 10), 20, false, queue, [](std::shared_ptr<CaptureSurface>) {}));
}

} // namespace
