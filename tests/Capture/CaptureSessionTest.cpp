#include "Beamline/KPGenericDevice.h"
#include "Beamline/KPPrototypeDevice.h"
#include "Beamline/KPScreenDevice.h"
#include "FakeTransmitter.h"
#include "H264TestDecoder.h"
#include "LogCapture.h"
#include "Pikora/Capture/AVSessionUtility.h"
#include "Pikora/Capture/KPDesktopImageProvider.h"
#include "Pikora/Capture/TestPatternFrameSource.h"
#include "Pikora/Capture/TestPatternScene.h"
#include "Pikora/Compressors/H264AccessUnit.h"
#include "Pikora/Compressors/KPImageCompressor.h"
#include "Pikora/Compressors/KPh264ImageCompressor.h"
#include "Support/NotificationCenter.h"

#include <QLoggingCategory>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <turbojpeg.h>

namespace {

using namespace std::chrono_literals;

template <typename Predicate> bool waitFor(Predicate done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class CaptureSession : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QLoggingCategory::setFilterRules(QStringLiteral("pikora.capture.info=true"));
        KPDesktopImageProvider::setCaptureBackend(CaptureBackend::TestPattern);
        TestPatternFrameSource::setDefaultGeometry(QSize(1440, 900), 1.0);
        KPh264ImageCompressor::setEncoderCandidates({"libx264"});
        tx = std::make_shared<FakeTransmitter>();
        session = AVSessionUtility::create();
        session->setTransmitterProvider([t = tx] { return t; });
        session->setDeviceNativeResolution(QSizeF(1920, 1080));
    }
    void TearDown() override
    {
        session->stopCapture();
        session.reset();
    }
    static AbstractCaptureDevice display()
    {
        return AbstractCaptureDevice::mainDisplay(TestPatternFrameSource::kDisplayID);
    }

    static bool isKeyFrame(const QByteArray& au)
    {
        const ParsedAccessUnit parsed = parseAccessUnit(au);
        return !parsed.nalTypes.empty() && parsed.nalTypes.front() == H264AccessUnit::kNalSps;
    }

    std::shared_ptr<FakeTransmitter> tx;
    std::shared_ptr<AVSessionUtility> session;
    const TestPatternScene scene{QSize(1440, 900)};
};

TEST_F(CaptureSession, HandsDecodablePicturesOfTheMovingDesktopToTheTransmitter)
{
    const auto started = std::chrono::steady_clock::now();
    session->startCapture(display(), 2, 3);
    EXPECT_TRUE(session->isRunning());
    ASSERT_EQ(session->currentCaptureDevice(), display());
    // The native limit 1920x1080 already holds the 1440x900 display: no scaling.
    EXPECT_EQ(session->resolution(), QSizeF(1920, 1080));
    ASSERT_TRUE(tx->waitForCount(12, 10s));
    session->stopCapture();
    EXPECT_FALSE(session->isRunning());

    const std::vector<FakeTransmitter::Picture> pictures = tx->received();
    ASSERT_TRUE(isKeyFrame(pictures.front().data));
    H264TestDecoder decoder;
    std::uint64_t lastFrame = 0;
    int sinceKey = 0;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const FakeTransmitter::Picture& p = pictures[i];
        EXPECT_TRUE(p.h264);
        EXPECT_EQ(p.width, 1440);
        EXPECT_EQ(p.height, 900);
        sinceKey = isKeyFrame(p.data) ? 0 : sinceKey + 1;
        EXPECT_LT(sinceKey, 15);
        QString error;
        const std::optional<DecodedPicture> picture = decoder.decode(p.data, &error);
        ASSERT_TRUE(picture) << "picture " << i << ": " << error.toStdString();
        ASSERT_EQ(picture->width, 1440);
        // The pictures show the scene advancing (frames may repeat when capture is late,
        // never go back).
        const std::optional<std::uint64_t> frame = scene.identifyFrame(
            picture->luma.data(), picture->lumaStride, QSize(1440, 900), 1.0, lastFrame, lastFrame + 200);
        ASSERT_TRUE(frame) << "picture " << i;
        EXPECT_GE(*frame, lastFrame);
        lastFrame = *frame;
    }
    EXPECT_GT(lastFrame, 0u);
    const AVSessionUtility::Statistics stats = session->statistics();
    EXPECT_EQ(stats.picturesSent, pictures.size());
    ASSERT_EQ(stats.latenciesUs.size(), pictures.size());
    // The run is shorter than 10 s: its largest 10 s window is all of it.
    qint64 total = 0;
    for (const FakeTransmitter::Picture& p : pictures)
        total += p.data.size();
    EXPECT_EQ(stats.largestTenSecondBytes, total);

    // Every picture carries the time its frame was captured (the source grabs on its own
    // clock): after the start, never going back, before the hand-over. The session splits the
    // delay into the frame's age at its tick and the tick-to-hand-over latency.
    ASSERT_EQ(stats.frameAgesUs.size(), pictures.size());
    auto previous = started;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const FakeTransmitter::Picture& p = pictures[i];
        ASSERT_TRUE(p.captureTime.has_value()) << "picture " << i;
        EXPECT_GT(*p.captureTime, started) << "picture " << i;
        EXPECT_GE(*p.captureTime, previous) << "picture " << i;
        EXPECT_LE(*p.captureTime, p.handedOverAt) << "picture " << i;
        const auto toCall =
            std::chrono::duration_cast<std::chrono::microseconds>(p.handedOverAt - *p.captureTime).count();
        EXPECT_GE(toCall, std::int64_t(stats.frameAgesUs[i])) << "picture " << i;
        EXPECT_LE(toCall, std::int64_t(stats.latenciesUs[i]) + std::int64_t(stats.frameAgesUs[i]) + 1)
            << "picture " << i;
        previous = *p.captureTime;
    }
}

TEST_F(CaptureSession, FramesAreDroppedUncompressedWhileTheTransmitterIsNotReady)
{
    tx->ready = false;
    session->startCapture(display(), 2, 3);
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(tx->count(), 0u);
    AVSessionUtility::Statistics stats = session->statistics();
    EXPECT_GT(stats.framesNotReady, 3u);
    EXPECT_EQ(stats.framesCompressed, 0u);

    tx->ready = true;
    ASSERT_TRUE(tx->waitForCount(3, 10s));
    // Nothing was encoded while not ready, so the stream still starts with a key frame.
    const std::vector<FakeTransmitter::Picture> pictures = tx->received();
    EXPECT_TRUE(isKeyFrame(pictures.front().data));
    H264TestDecoder decoder;
    for (const auto& p : pictures)
        EXPECT_TRUE(decoder.decode(p.data));

    // No status object at all counts as ready.
    tx->hasStatus = false;
    tx->ready = false;
    const std::size_t before = tx->count();
    ASSERT_TRUE(tx->waitForCount(before + 3, 10s));
}

TEST_F(CaptureSession, StateOneDiscardsEncodedPictures)
{
    tx->state = 1;
    session->startCapture(display(), 2, 3);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (session->statistics().picturesDiscarded < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_GE(session->statistics().picturesDiscarded, 3u);
    EXPECT_EQ(tx->count(), 0u);
    tx->state = 2;
    EXPECT_TRUE(tx->waitForCount(2, 10s));
}

TEST_F(CaptureSession, SplitScreenRestartsAt800x600AndBack)
{
    // While idle a layout change does nothing.
    tx->split.number = 2;
    emit tx->screenPositionChanged(2, 1);
    EXPECT_FALSE(session->isRunning());
    tx->split.number = 1;

    // Two starts in a row observe the layout once: one change, one restart.
    session->startCapture(display(), 2, 3);
    session->startCapture(display(), 2, 3);
    ASSERT_TRUE(tx->waitForCount(2, 10s));

    LogCapture log;
    tx->split.number = 2;
    emit tx->screenPositionChanged(2, 1);
    // The restart comes once the layout has settled.
    ASSERT_TRUE(waitFor([&] { return session->resolution() == QSizeF(800, 600); }, 5s));
    EXPECT_EQ(log.lines().filter(QStringLiteral("capture: started")).size(), 1);
    EXPECT_TRUE(session->isRunning());
    tx->clear();
    ASSERT_TRUE(tx->waitForCount(3, 10s));
    std::vector<FakeTransmitter::Picture> pictures = tx->received();
    // 1440x900 fitted to the limit's height: 960x600 (wider than 800).
    H264TestDecoder decoder;
    bool sawNew = false;
    for (const auto& p : pictures) {
        if (p.width != 960)
            continue; // a picture of the previous run still on its way
        EXPECT_EQ(p.height, 600);
        if (!sawNew) {
            EXPECT_TRUE(isKeyFrame(p.data));
        }
        sawNew = true;
        const std::optional<DecodedPicture> picture = decoder.decode(p.data);
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->width, 960);
        EXPECT_EQ(picture->height, 600);
    }
    EXPECT_TRUE(sawNew);

    tx->split.number = 1;
    emit tx->screenPositionChanged(1, 1);
    ASSERT_TRUE(waitFor([&] { return session->resolution() == QSizeF(1920, 1080); }, 5s));
    tx->clear();
    ASSERT_TRUE(tx->waitForCount(3, 10s));
    EXPECT_EQ(tx->received().back().width, 1440);
}

TEST_F(CaptureSession, PauseAndResumePairUpWhateverTheirCount)
{
    NotificationCenter& center = NotificationCenter::defaultCenter();
    center.post("pauseDisplay");
    EXPECT_FALSE(session->isDisplayPaused()); // idle: ignored

    session->startCapture(display(), 2, 3);
    ASSERT_TRUE(tx->waitForCount(2, 10s));
    center.post("pauseDisplay");
    center.post("pauseDisplay");
    EXPECT_TRUE(session->isDisplayPaused());
    std::this_thread::sleep_for(300ms); // let work already queued finish
    const std::size_t paused = tx->count();
    const std::uint64_t ticks = session->statistics().ticks;
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(tx->count(), paused);
    EXPECT_EQ(session->statistics().ticks, ticks);

    // One resume undoes both pauses: the queue was suspended only once.
    center.post("resumeDisplay");
    EXPECT_FALSE(session->isDisplayPaused());
    EXPECT_TRUE(tx->waitForCount(paused + 3, 10s));
}

TEST_F(CaptureSession, StopCallsTheStopClosureEvenWhenIdleAndForgetsTheNativeSize)
{
    int stops = 0;
    session->registerStopCaptureBlock([&] { ++stops; });
    session->stopCapture();
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(session->deviceNativeResolution(), QSizeF(0, 0));
    EXPECT_FALSE(session->audioOn());

    // A replacement closure is the only one called; it stays registered.
    int other = 0;
    session->registerStopCaptureBlock([&] { ++other; });
    session->setDeviceNativeResolution(QSizeF(1920, 1080));
    session->startCapture(display(), 2, 3);
    ASSERT_TRUE(tx->waitForCount(1, 10s));
    NotificationCenter::defaultCenter().post("stopDisplay");
    EXPECT_FALSE(session->isRunning());
    EXPECT_EQ(other, 1);
    EXPECT_EQ(stops, 1);
    // At most a picture already encoded at the stop is still handed over.
    const std::size_t atStop = tx->count();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(tx->count(), atStop + 1);
    session->stopCapture();
    EXPECT_EQ(other, 2);
}

TEST_F(CaptureSession, JpegPicturesFitTheLimit)
{
    // 1440x900 under an 800x600 limit: fitted to the height, 960x600.
    session->startCapture(display(), 1, 3, QSizeF(800, 600));
    ASSERT_TRUE(tx->waitForCount(2, 10s));
    session->stopCapture();
    tjhandle tj = tjInitDecompress();
    for (const auto& p : tx->received()) {
        EXPECT_FALSE(p.h264);
        EXPECT_TRUE(p.captureTime.has_value());
        int w = 0, h = 0, sub = 0, cs = 0;
        ASSERT_EQ(tjDecompressHeader3(tj, reinterpret_cast<const unsigned char*>(p.data.constData()),
                                      p.data.size(), &w, &h, &sub, &cs),
                  0);
        EXPECT_EQ(w, 960);
        EXPECT_EQ(h, 600);
    }
    tjDestroy(tj);
}

TEST_F(CaptureSession, AFormatOrSizeTheEncoderCannotTakeIsAFailedStart)
{
    // An unknown format, and a receiver whose largest picture is 1x1 for H.264: no broken
    // compressor is kept, the session is not running, and nothing is sent.
    EXPECT_FALSE(session->startCapture(display(), 7, 3));
    EXPECT_FALSE(session->isRunning());
    EXPECT_EQ(session->compressor(), nullptr);

    session->setDeviceNativeResolution(QSizeF(1, 1));
    EXPECT_FALSE(session->startCapture(display(), 2, 3));
    EXPECT_FALSE(session->isRunning());
    EXPECT_EQ(session->compressor(), nullptr);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(session->statistics().ticks, 0u);
    EXPECT_EQ(tx->count(), 0u);

    // The same session starts normally afterwards, at a tiny but encodable size too.
    session->setDeviceNativeResolution(QSizeF(4, 4));
    EXPECT_TRUE(session->startCapture(display(), 2, 3));
    ASSERT_TRUE(tx->waitForCount(2, 10s));
    // 1440x900 fitted to a 4x4 limit's height is 6.4x4; H.264 encodes (and announces) 6x4.
    EXPECT_EQ(tx->received().back().width, 6);
    EXPECT_EQ(tx->received().back().height, 4);
}

TEST_F(CaptureSession, AFloodOfLayoutChangesCostsABoundedNumberOfRestarts)
{
    ASSERT_TRUE(session->startCapture(display(), 2, 3));
    ASSERT_TRUE(tx->waitForCount(1, 10s));
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i <= 600; ++i) {
        const int n = i % 2 == 0 ? 2 : 1;
        tx->split.number = n;
        emit tx->screenPositionChanged(n, n);
    }
    // The flood ends on two screens: that layout wins.
    ASSERT_TRUE(waitFor([&] { return session->resolution() == QSizeF(800, 600); }, 5s));
    std::this_thread::sleep_for(1500ms);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto restarts = log.lines().filter(QStringLiteral("capture: started")).size();
    EXPECT_GE(restarts, 1);
    // At most one restart per interval, plus the first.
    EXPECT_LE(restarts, 1 + int(seconds / 1.0) + 1) << "after " << seconds << " s";
    EXPECT_EQ(session->layoutRestarts(), std::uint64_t(restarts));
    EXPECT_TRUE(session->isRunning());
}

TEST_F(CaptureSession, DroppingTheSessionWhileRunningStopsCleanly)
{
    session->startCapture(display(), 2, 3);
    ASSERT_TRUE(tx->waitForCount(2, 10s));
    std::weak_ptr<AVSessionUtility> weak = session;
    session.reset();
    // A tick or compression job running at this moment may hold the last reference for a
    // moment; the session then finishes on that thread.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!weak.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(weak.expired());
    const std::size_t count = tx->count();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(tx->count(), count + 1);
    session = AVSessionUtility::create(); // for TearDown
}

// A compressor whose encode blocks until the test lets it go (or 10 s pass), then hands a
// picture to the closure it was given, as a synchronous encoder does. Like the JPEG
// compressor it holds its own lock while encoding, which its clean-up takes too.
class BlockingCompressor : public KPImageCompressor
{
public:
    bool setup() override { return true; }
    void compressRawImage(std::shared_ptr<PixelBuffer> image, CompletionBlock completion) override
    {
        std::lock_guard own(m_lock);
        std::unique_lock lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait_for(lock, 10s, [&] { return released; });
        lock.unlock();
        image.reset();
        if (completion)
            completion(QByteArray("picture"), 16, 16);
        lock.lock();
        ++finished;
        changed.notify_all();
    }
    bool waitEntered(int n)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return entered >= n; });
    }
    bool waitFinished(int n)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return finished >= n; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    int enteredCount()
    {
        std::lock_guard lock(mutex);
        return entered;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    int finished = 0;
    bool released = false;
};

TEST_F(CaptureSession, PauseAndStopDoNotWaitForAnEncodeAndNothingIsSentAfterStop)
{
    auto blocking = std::make_shared<BlockingCompressor>();
    session->setCompressorFactory([blocking](qint64) { return blocking; });
    ASSERT_TRUE(session->startCapture(display(), 1, 3));
    ASSERT_TRUE(blocking->waitEntered(1));

    // While the encode is under way the clock goes on ticking, and one frame at most waits
    // for the compressor: newer ones take its place.
    ASSERT_TRUE(waitFor([&] { return session->statistics().framesReplaced >= 2; }, 10s));
    EXPECT_EQ(session->statistics().framesCompressed, 1u);

    // Pause and stop come back while the encode still blocks.
    auto control = std::async(std::launch::async, [&] {
        NotificationCenter::defaultCenter().post("pauseDisplay");
        const bool paused = session->isDisplayPaused();
        session->stopCapture();
        return paused;
    });
    if (control.wait_for(5s) != std::future_status::ready) {
        blocking->release();
        control.wait();
        FAIL() << "pause and stop waited for the encode";
    }
    EXPECT_TRUE(control.get());
    EXPECT_FALSE(session->isRunning());
    EXPECT_EQ(blocking->enteredCount(), 1);

    // The encode then finishes with the compressor the stop let go of; its picture belongs
    // to the stopped run and is not handed over, and the waiting frame is never encoded.
    blocking->release();
    ASSERT_TRUE(blocking->waitFinished(1));
    ASSERT_TRUE(waitFor([&] { return session->statistics().picturesOfEndedRuns >= 1; }, 10s));
    EXPECT_EQ(tx->count(), 0u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(blocking->enteredCount(), 1);
    EXPECT_EQ(tx->count(), 0u);
}

TEST(CaptureOutputFormat, H264OnlyForReceiversThatSayTheyDecodeIt)
{
    class OtherDevice : public KPPrototypeDevice
    {
    public:
        QString hostName() const override { return {}; }
        QString displayName() const override { return {}; }
        QString ipAddress() const override { return {}; }
    };
    OtherDevice other;
    EXPECT_EQ(AVSessionUtility::outputFormatForDevice(nullptr), 1);
    EXPECT_EQ(AVSessionUtility::outputFormatForDevice(&other), 1);

    KPRemoteHost h264;
    h264.setParameters(Json{{"h264", true}});
    KPRemoteHost plain;
    EXPECT_EQ(AVSessionUtility::outputFormatForDevice(std::make_unique<KPGenericDevice>(h264).get()), 2);
    EXPECT_EQ(AVSessionUtility::outputFormatForDevice(std::make_unique<KPGenericDevice>(plain).get()), 1);
    EXPECT_EQ(AVSessionUtility::outputFormatForDevice(std::make_unique<KPScreenDevice>(h264).get()), 2);
    EXPECT_EQ(AVSessionUtility::outputFormatForDevice(std::make_unique<KPScreenDevice>(plain).get()), 1);
}

} // namespace
