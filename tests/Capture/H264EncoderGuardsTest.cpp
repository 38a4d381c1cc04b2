#include "FakeH264Encoder.h"
#include "H264TestDecoder.h"
#include "LogCapture.h"
#include "Pikora/Capture/ScreenResolutionUtility.h"
#include "Pikora/Compressors/H264AccessUnit.h"
#include "Pikora/Compressors/KPh264ImageCompressor.h"
#include "Pikora/Compressors/LibavH264Encoder.h"
#include "Pikora/Compressors/LibavLog.h"
#include "Pikora/Compressors/RateWindow.h"
#include "TestFrames.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QLoggingCategory>
#include <gtest/gtest.h>

namespace {

struct Delivered
{
    double time; // seconds on the compressor's clock
    QByteArray data;
    qint64 width;
    qint64 height;
};

bool isKeyFrame(const QByteArray& unit)
{
    const ParsedAccessUnit parsed = parseAccessUnit(unit);
    return !parsed.nalTypes.empty() && parsed.nalTypes.front() == H264AccessUnit::kNalSps;
}

// The most bytes in any 10 s, counted the plain way: every window (t - 10 s, t] that ends at
// a delivered unit.
qint64 largestTenSeconds(const std::vector<Delivered>& units)
{
    qint64 largest = 0;
    for (const Delivered& end : units) {
        qint64 sum = 0;
        for (const Delivered& u : units)
            if (u.time <= end.time && end.time - u.time < 10.0 - 1e-9)
                sum += u.data.size();
        largest = std::max(largest, sum);
    }
    return largest;
}

// Drives a compressor on a clock of its own: one picture every 50 ms, no waiting.
class Driver
{
public:
    explicit Driver(KPh264ImageCompressor& c) : m_c(c)
    {
        m_c.setClock([this] { return m_now; });
    }
    void frame(std::shared_ptr<PixelBuffer> picture)
    {
        m_c.compressRawImage(std::move(picture), [this](const QByteArray& data, qint64 w, qint64 h) {
            units.push_back({m_now, data, w, h});
        });
        m_now += 0.05;
    }
    std::vector<Delivered> units;

private:
    KPh264ImageCompressor& m_c;
    double m_now = 1000.0;
};

// A picture of noise, which no encoder can make small.
std::shared_ptr<PixelBuffer> noise(TestFrames& frames, std::uint32_t seed)
{
    std::shared_ptr<PixelBuffer> picture = frames.frame(0);
    CaptureSurface* surface = const_cast<CaptureSurface*>(picture->surface());
    std::uint32_t x = seed * 2654435761u + 1;
    for (int row = 0; row < surface->height(); ++row) {
        auto* p = reinterpret_cast<std::uint32_t*>(surface->mutableData() +
                                                   std::size_t(row) * surface->bytesPerRow());
        for (int col = 0; col < surface->width(); ++col) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            p[col] = x | 0xff000000u;
        }
    }
    surface->contentTag = 0;
    return std::make_shared<PixelBuffer>(*picture);
}

class H264EncoderGuards : public ::testing::Test
{
protected:
    void SetUp() override
    {
        KPh264ImageCompressor::setEncoderFactory({});
        KPh264ImageCompressor::setEncoderCandidates({"libx264"});
    }
    void TearDown() override
    {
        KPh264ImageCompressor::setEncoderFactory({});
        KPh264ImageCompressor::setEncoderCandidates({"libx264"});
    }
    static std::unique_ptr<KPh264ImageCompressor> make(QSizeF size, qint64 bitrate)
    {
        auto c = std::make_unique<KPh264ImageCompressor>();
        c->setResolution(size);
        c->setBitrate(bitrate);
        c->setKeyframeInterval(15);
        c->setFps(20);
        return c;
    }
};

TEST_F(H264EncoderGuards, AnIdleThenBusyDesktopStaysWithinTheCapInEveryTenSeconds)
{
    // 12 s of an unchanged desktop (the rate buffer fills up), then 20 s of a busy one: the
    // moving scene, and pure noise that wants many times the rate.
    constexpr qint64 kBitrate = 400'000;
    const qint64 cap = kBitrate * 10 / 8;
    for (const bool useNoise : {false, true}) {
        SCOPED_TRACE(useNoise ? "noise" : "moving scene");
        TestFrames frames(QSize(640, 400), 3);
        auto c = make(QSizeF(640, 400), kBitrate);
        ASSERT_TRUE(c->setup());
        Driver drive(*c);
        const std::shared_ptr<PixelBuffer> still = frames.frame(0);
        for (int i = 0; i < 240; ++i)
            drive.frame(std::make_shared<PixelBuffer>(*still));
        const std::size_t idleUnits = drive.units.size();
        for (int i = 0; i < 400; ++i)
            drive.frame(useNoise ? noise(frames, std::uint32_t(i)) : frames.frame(std::uint64_t(i + 1)));

        // The unchanged desktop is refined (a second at most), then only a key frame every 2 s.
        EXPECT_GE(idleUnits, 1u + 12u / 2 - 1);
        EXPECT_LE(idleUnits, 20u + 12u / 2 + 1);
        const qint64 largest = largestTenSeconds(drive.units);
        EXPECT_LE(largest, cap);
        // The compressor's own count (on microsecond presentation times) is never the smaller.
        EXPECT_GE(c->statistics().largestWindowBytes, largest);
        EXPECT_LE(c->statistics().largestWindowBytes, cap);
        RecordProperty(useNoise ? "largestWindowNoise" : "largestWindowScene", std::to_string(largest));
        // The busy part is streamed, not starved: the budget is mostly used.
        EXPECT_GT(largest, cap / 2);
        const std::size_t busyUnits = drive.units.size() - idleUnits;
        if (!useNoise)
            EXPECT_GT(busyUnits, 300u);
        else
            EXPECT_GT(busyUnits, 0u);

        // Whatever was dropped, the stream stays decodable: it begins with a key frame, and
        // every picture decodes at the announced size.
        ASSERT_FALSE(drive.units.empty());
        EXPECT_TRUE(isKeyFrame(drive.units.front().data));
        H264TestDecoder decoder;
        for (std::size_t i = 0; i < drive.units.size(); ++i) {
            const std::optional<DecodedPicture> picture = decoder.decode(drive.units[i].data);
            ASSERT_TRUE(picture) << "unit " << i;
            EXPECT_EQ(picture->width, drive.units[i].width);
        }
    }
}

TEST_F(H264EncoderGuards, TheCapHoldsWhateverTheEncoderEmits)
{
    // An encoder that ignores its rate: every picture is an eighth of the cap (a key frame a
    // quarter). The compressor skips pictures the budget has no room for, drops a unit that
    // does not fit, and goes on from a key frame after a drop.
    constexpr qint64 kBitrate = 800'000;
    const qint64 cap = kBitrate * 10 / 8;
    FakeH264Encoder::Log log;
    KPh264ImageCompressor::setEncoderFactory([&](const std::string& name) -> std::unique_ptr<H264Encoder> {
        auto encoder = std::make_unique<FakeH264Encoder>(QString::fromStdString(name), true, log);
        // Mostly as estimated, now and then a unit three times larger than the ones before.
        encoder->packetBytes = [cap](int n, bool key) {
            return (key ? cap / 4 : cap / 8) * (n % 7 == 6 ? 3 : 1) - 20;
        };
        return encoder;
    });
    KPh264ImageCompressor::setEncoderCandidates({"greedy"});
    TestFrames frames(QSize(64, 64), 2);
    auto c = make(QSizeF(64, 64), kBitrate);
    ASSERT_TRUE(c->setup());
    Driver drive(*c);
    bool dropPending = false;
    for (int i = 0; i < 600; ++i) { // 30 s
        const std::uint64_t droppedBefore = c->statistics().unitsDroppedForRate;
        const std::size_t deliveredBefore = drive.units.size();
        drive.frame(frames.frame(std::uint64_t(i)));
        // The first unit delivered after a drop is a key frame: nothing refers to a lost one.
        if (dropPending && drive.units.size() > deliveredBefore) {
            EXPECT_TRUE(isKeyFrame(drive.units[deliveredBefore].data)) << "picture " << i;
            dropPending = false;
        }
        if (c->statistics().unitsDroppedForRate > droppedBefore)
            dropPending = drive.units.size() == deliveredBefore;
    }

    EXPECT_LE(largestTenSeconds(drive.units), cap);
    const KPh264ImageCompressor::Statistics stats = c->statistics();
    EXPECT_GT(stats.framesSkippedForRate, 0u);
    EXPECT_GT(stats.unitsDroppedForRate, 0u);
    EXPECT_GT(log.forcedKeys.load(), 0);
    // Units of an eighth of the cap: about 8 per 10 s fit; at least half of that gets through.
    EXPECT_GE(drive.units.size(), 12u);
    ASSERT_FALSE(drive.units.empty());
    EXPECT_TRUE(isKeyFrame(drive.units.front().data));
}

TEST_F(H264EncoderGuards, AnUnchangedDesktopIsRefinedThenRestsButForAKeyFrameNowAndThen)
{
    FakeH264Encoder::Log log;
    KPh264ImageCompressor::setEncoderFactory([&](const std::string& name) -> std::unique_ptr<H264Encoder> {
        return std::make_unique<FakeH264Encoder>(QString::fromStdString(name), true, log);
    });
    KPh264ImageCompressor::setEncoderCandidates({"fake"});
    TestFrames frames(QSize(64, 64), 3);
    auto c = make(QSizeF(64, 64), 0);
    ASSERT_TRUE(c->setup());
    Driver drive(*c);
    constexpr double kRefine = double(KPh264ImageCompressor::kStillRefineTimeUs) / 1e6;
    constexpr double kKeyInterval = double(KPh264ImageCompressor::kStillKeyFrameIntervalUs) / 1e6;
    // Refining pictures go out every other 50 ms tick.
    static_assert(KPh264ImageCompressor::kStillRefineIntervalUs > 50'000 &&
                  KPh264ImageCompressor::kStillRefineIntervalUs <= 100'000);
    const int refining = 1 + int(kRefine / 0.1);

    // One picture, then 10 s of the same surface.
    const std::shared_ptr<PixelBuffer> still = frames.frame(0);
    const double start = 1000.0;
    for (int i = 0; i < 201; ++i)
        drive.frame(std::make_shared<PixelBuffer>(*still));
    // Encoded through the refining second (a picture every other tick), then a key frame every
    // interval.
    const int restingKeys = int((10.0 - kRefine) / kKeyInterval);
    EXPECT_GE(log.encodes.load(), refining + restingKeys - 1);
    EXPECT_LE(log.encodes.load(), refining + restingKeys + 1);
    EXPECT_EQ(c->statistics().framesSkippedUnchanged, 201u - std::uint64_t(log.encodes.load()));
    double lastKey = start;
    for (const Delivered& u : drive.units) {
        if (isKeyFrame(u.data))
            lastKey = std::max(lastKey, u.time);
        if (u.time > start + kRefine + 1e-6) {
            EXPECT_TRUE(isKeyFrame(u.data)) << "at " << u.time - start << " s";
            EXPECT_LE(u.time - lastKey, kKeyInterval + 0.051);
        }
    }
    ASSERT_FALSE(drive.units.empty());
    // Without a gap longer than the interval up to the end either: a receiver that lost a
    // picture gets a key frame within it.
    EXPECT_LE(start + 201 * 0.05 - lastKey, kKeyInterval + 0.051);

    // The first change goes out at once as a plain picture (it refers to what was sent), and
    // the changed picture is refined again.
    const int encodesBefore = log.encodes.load();
    const std::size_t unitsBefore = drive.units.size();
    const std::shared_ptr<PixelBuffer> changed = frames.frame(1);
    for (int i = 0; i < 20; ++i)
        drive.frame(std::make_shared<PixelBuffer>(*changed));
    EXPECT_EQ(log.encodes.load() - encodesBefore, 10);
    ASSERT_EQ(drive.units.size() - unitsBefore, 10u);
    EXPECT_FALSE(isKeyFrame(drive.units[unitsBefore].data));
    EXPECT_NEAR(drive.units[unitsBefore].time - start, 201 * 0.05, 1e-6); // at once

    // Resting again, and woken by the next change.
    const int encodesThen = log.encodes.load();
    for (int i = 0; i < 40; ++i)
        drive.frame(std::make_shared<PixelBuffer>(*changed));
    const int resting = log.encodes.load() - encodesThen;
    EXPECT_LT(resting, 40);
    drive.frame(frames.frame(2));
    EXPECT_EQ(log.encodes.load() - encodesThen, resting + 1);
}

TEST_F(H264EncoderGuards, AnUnchangedPictureRestsAsSoonAsOneWentOutFineEnough)
{
    // The encoder refines: each picture of the same pixels comes out two steps finer, from a
    // coarse 34 (a key frame, or a busy moment) down.
    FakeH264Encoder::Log log;
    int sinceChange = 0;
    KPh264ImageCompressor::setEncoderFactory([&](const std::string& name) -> std::unique_ptr<H264Encoder> {
        auto encoder = std::make_unique<FakeH264Encoder>(QString::fromStdString(name), false, log);
        encoder->keyInterval = 1000;
        encoder->quantiser = [&](int, bool) { return std::max(10, 34 - 2 * sinceChange++); };
        return encoder;
    });
    KPh264ImageCompressor::setEncoderCandidates({"refining"});
    TestFrames frames(QSize(64, 64), 3);
    auto c = make(QSizeF(64, 64), 0);
    ASSERT_TRUE(c->setup());
    Driver drive(*c);
    constexpr int kFine = KPh264ImageCompressor::kStillQuantiser;
    // Pictures until one at kFine or finer: 34, 32, ... kFine.
    const int refining = (34 - kFine) / 2 + 1;
    static_assert((34 - kFine) / 2 + 1 < 20, "refined well within the refining time");

    const std::shared_ptr<PixelBuffer> still = frames.frame(0);
    for (int i = 0; i < 19; ++i) // under the refining time
        drive.frame(std::make_shared<PixelBuffer>(*still));
    EXPECT_EQ(log.encodes.load(), refining);
    const KPh264ImageCompressor::Statistics stats = c->statistics();
    EXPECT_EQ(stats.framesSkippedUnchanged, std::uint64_t(19 - refining));
    EXPECT_EQ(stats.framesReused, std::uint64_t(refining - 1)); // encoded again, not converted
    ASSERT_EQ(stats.quantisedUnits, std::uint64_t(refining));
    EXPECT_EQ(stats.quantiserSum, std::uint64_t((34 + kFine) * refining / 2));

    // A change the encoder codes finely at once needs no refining: the next tick rests.
    sinceChange = 20;
    const std::shared_ptr<PixelBuffer> typed = frames.frame(1);
    for (int i = 0; i < 6; ++i)
        drive.frame(std::make_shared<PixelBuffer>(*typed));
    EXPECT_EQ(log.encodes.load(), refining + 1);

    // A coarse change is refined again.
    sinceChange = 0;
    const std::shared_ptr<PixelBuffer> scrolled = frames.frame(2);
    const std::size_t unitsBefore = drive.units.size();
    for (int i = 0; i < 15; ++i)
        drive.frame(std::make_shared<PixelBuffer>(*scrolled));
    EXPECT_EQ(log.encodes.load(), 2 * refining + 1);
    // The change at once, then refining pictures no closer than the interval.
    for (std::size_t i = unitsBefore + 1; i < drive.units.size(); ++i)
        EXPECT_GE(drive.units[i].time - drive.units[i - 1].time,
                  double(KPh264ImageCompressor::kStillRefineIntervalUs) / 1e6 - 1e-6);
}

TEST(LibavH264EncoderTest, EachPacketCarriesTheQuantiserItWasCodedAt)
{
    LibavH264Encoder encoder("libx264");
    H264Encoder::Config config;
    config.width = 64;
    config.height = 64;
    config.fps = 20;
    config.bitrate = 400'000;
    config.keyframeInterval = 15;
    ASSERT_TRUE(encoder.open(config));
    std::vector<H264Encoder::Packet> packets;
    for (int i = 0; i < 10; ++i) {
        const std::optional<H264Encoder::Picture> picture = encoder.picture();
        ASSERT_TRUE(picture);
        for (int row = 0; row < 64; ++row)
            for (int col = 0; col < 64; ++col)
                picture->planes[0][row * picture->strides[0] + col] =
                    std::uint8_t((row * 7 + col * 3 + i) & 0xff);
        ASSERT_TRUE(encoder.encode(std::int64_t(i) * 50'000, false, packets));
    }
    ASSERT_FALSE(packets.empty());
    for (const H264Encoder::Packet& packet : packets) {
        EXPECT_GE(packet.quantiser, 0);
        EXPECT_LE(packet.quantiser, 51);
    }
}

TEST_F(H264EncoderGuards, AUnitLargerThanTheWholeBudgetDoesNotStopTheStream)
{
    constexpr qint64 kBitrate = 800'000;
    const qint64 cap = kBitrate * 10 / 8;
    FakeH264Encoder::Log log;
    KPh264ImageCompressor::setEncoderFactory([&](const std::string& name) -> std::unique_ptr<H264Encoder> {
        auto encoder = std::make_unique<FakeH264Encoder>(QString::fromStdString(name), true, log);
        // The first key frame alone is twice the budget; after it the stream fits easily.
        encoder->packetBytes = [cap](int n, bool key) {
            return n == 0 ? 2 * cap : key ? cap / 50 : cap / 400;
        };
        return encoder;
    });
    KPh264ImageCompressor::setEncoderCandidates({"greedy"});
    TestFrames frames(QSize(64, 64), 2);
    auto c = make(QSizeF(64, 64), kBitrate);
    ASSERT_TRUE(c->setup());
    Driver drive(*c);
    for (int i = 0; i < 200; ++i) // 10 s
        drive.frame(frames.frame(std::uint64_t(i)));
    EXPECT_EQ(c->statistics().unitsDroppedForRate, 1u);
    // Only the picture of the dropped unit is lost.
    ASSERT_EQ(drive.units.size(), 199u);
    EXPECT_TRUE(isKeyFrame(drive.units.front().data));
    EXPECT_LE(largestTenSeconds(drive.units), cap);
}

TEST_F(H264EncoderGuards, AFailedHardwareEncoderGivesWayToSoftwareForTheNextPicture)
{
    FakeH264Encoder::Log log;
    KPh264ImageCompressor::setEncoderFactory([&](const std::string& name) -> std::unique_ptr<H264Encoder> {
        if (name != "fake_hw")
            return nullptr; // libavcodec's
        auto encoder = std::make_unique<FakeH264Encoder>(QStringLiteral("fake_hw"), true, log);
        encoder->failFrom = 2;
        return encoder;
    });
    KPh264ImageCompressor::setEncoderCandidates({"fake_hw", "libx264"});

    TestFrames frames(QSize(640, 400));
    auto c = make(QSizeF(320, 200), 1'000'000);
    ASSERT_TRUE(c->setup());
    EXPECT_EQ(c->encoderName(), QStringLiteral("fake_hw"));
    // The probe opened it once, at the main screen's size (the default size without a
    // screen), and set-up once more at the output size.
    ASSERT_EQ(log.opens.load(), 2);
    const QSizeF screen = ScreenResolutionUtility::mainScreenResolution();
    EXPECT_EQ(log.configs[0].width, screen.width() >= 2 ? int(screen.width()) & ~1 : 1280);
    EXPECT_EQ(log.configs[1].width, 320);

    LogCapture logLines;
    Driver drive(*c);
    drive.frame(frames.frame(0));
    drive.frame(frames.frame(1));
    ASSERT_EQ(drive.units.size(), 2u);
    drive.frame(frames.frame(2)); // the hardware fails on this one
    EXPECT_EQ(drive.units.size(), 2u);
    EXPECT_EQ(c->encoderName(), QStringLiteral("libx264"));
    EXPECT_TRUE(logLines.contains(QStringLiteral("fake_hw failed")));
    drive.frame(frames.frame(3));
    drive.frame(frames.frame(4));
    ASSERT_EQ(drive.units.size(), 4u);
    // The software stream starts with a key frame of its own and decodes at the same size.
    EXPECT_TRUE(isKeyFrame(drive.units[2].data));
    H264TestDecoder decoder;
    for (std::size_t i = 2; i < 4; ++i) {
        const std::optional<DecodedPicture> picture = decoder.decode(drive.units[i].data);
        ASSERT_TRUE(picture) << "unit " << i;
        EXPECT_EQ(picture->width, 320);
        EXPECT_EQ(drive.units[i].width, 320);
        EXPECT_EQ(drive.units[i].height, 200);
    }
    EXPECT_EQ(c->statistics().encoderFailures, 1u);

    // The failure is remembered: the next compressor does not try the hardware again.
    auto next = make(QSizeF(320, 200), 1'000'000);
    ASSERT_TRUE(next->setup());
    EXPECT_EQ(next->encoderName(), QStringLiteral("libx264"));
    EXPECT_EQ(log.opens.load(), 2);
}

TEST_F(H264EncoderGuards, TheHardwareProbeRunsOncePerProcess)
{
    FakeH264Encoder::Log log;
    KPh264ImageCompressor::setEncoderFactory([&](const std::string& name) -> std::unique_ptr<H264Encoder> {
        return std::make_unique<FakeH264Encoder>(QString::fromStdString(name), name != "libx264", log);
    });
    KPh264ImageCompressor::setEncoderCandidates({"fake_hw", "libx264"});
    for (int i = 0; i < 3; ++i) {
        auto c = make(QSizeF(320, 200), 1'000'000);
        ASSERT_TRUE(c->setup());
        EXPECT_TRUE(c->supportHardwareAcceleration());
        EXPECT_EQ(c->encoderName(), QStringLiteral("fake_hw"));
    }
    // One probe and three set-ups.
    EXPECT_EQ(log.opens.load(), 4);

    // With no hardware at all only the software encoder is opened by set-up.
    FakeH264Encoder::Log none;
    KPh264ImageCompressor::setEncoderFactory([&](const std::string& name) -> std::unique_ptr<H264Encoder> {
        if (name == "libx264")
            return std::make_unique<FakeH264Encoder>(QStringLiteral("libx264"), false, none);
        return nullptr; // "no_such_hw": libavcodec has no such encoder
    });
    KPh264ImageCompressor::setEncoderCandidates({"no_such_hw", "libx264"});
    for (int i = 0; i < 2; ++i) {
        auto c = make(QSizeF(320, 200), 1'000'000);
        ASSERT_TRUE(c->setup());
        EXPECT_FALSE(c->supportHardwareAcceleration());
        EXPECT_EQ(c->encoderName(), QStringLiteral("libx264"));
    }
    EXPECT_EQ(none.opens.load(), 2);
}

TEST_F(H264EncoderGuards, ASlowLinkGetsSmallPicturesUntilItKeepsUpAgain)
{
    FakeH264Encoder::Log log;
    KPh264ImageCompressor::setEncoderFactory([&](const std::string& name) -> std::unique_ptr<H264Encoder> {
        return std::make_unique<FakeH264Encoder>(QString::fromStdString(name), true, log);
    });
    KPh264ImageCompressor::setEncoderCandidates({"fake"});
    TestFrames frames(QSize(64, 64), 2);
    auto c = make(QSizeF(64, 64), 800'000);
    ASSERT_TRUE(c->setup());
    Driver drive(*c);
    for (int i = 0; i < 10; ++i)
        drive.frame(frames.frame(std::uint64_t(i)));
    EXPECT_TRUE(log.rateBuffers.empty());
    EXPECT_FALSE(c->slowLinkMode());

    // Behind: the next picture is encoded with the short buffer, once.
    c->noteLinkBehind();
    drive.frame(frames.frame(10));
    ASSERT_EQ(log.rateBuffers.size(), 1u);
    EXPECT_EQ(log.rateBuffers[0], KPh264ImageCompressor::kSlowLinkRateBufferSeconds);
    EXPECT_TRUE(c->slowLinkMode());
    // Behind again 3 s later: the hold starts over, nothing is set twice.
    for (int i = 0; i < 60; ++i)
        drive.frame(frames.frame(std::uint64_t(11 + i)));
    c->noteLinkBehind();
    const int holdTicks = int(KPh264ImageCompressor::kSlowLinkHoldUs / 50'000);
    for (int i = 0; i < holdTicks - 1; ++i)
        drive.frame(frames.frame(std::uint64_t(71 + i)));
    EXPECT_EQ(log.rateBuffers.size(), 1u);
    EXPECT_TRUE(c->slowLinkMode());
    // Kept up for the whole hold: the usual buffer again.
    drive.frame(frames.frame(500));
    drive.frame(frames.frame(501));
    ASSERT_EQ(log.rateBuffers.size(), 2u);
    EXPECT_EQ(log.rateBuffers[1], LibavH264Encoder::kRateBufferSeconds);
    EXPECT_FALSE(c->slowLinkMode());
    EXPECT_EQ(c->statistics().slowLinkSwitches, 1u);
}

TEST_F(H264EncoderGuards, OnASlowLinkNoPictureIsLargerThanTheShortRateBuffer)
{
    // A link slower than the stream carries each picture whole before the next can follow:
    // a key frame of a second's worth of bits would hold it for that long.
    constexpr qint64 kBitrate = 1'000'000;
    TestFrames frames(QSize(960, 600), 3);
    auto c = make(QSizeF(960, 600), kBitrate);
    ASSERT_TRUE(c->setup());
    Driver drive(*c);
    const auto run = [&](int from, int count, bool behind) {
        const std::size_t first = drive.units.size();
        for (int i = from; i < from + count; ++i) {
            if (behind)
                c->noteLinkBehind();
            drive.frame(frames.frame(std::uint64_t(i)));
        }
        qint64 largest = 0;
        qint64 total = 0;
        for (std::size_t i = first; i < drive.units.size(); ++i) {
            largest = std::max<qint64>(largest, drive.units[i].data.size());
            total += drive.units[i].data.size();
        }
        return std::pair{largest, total};
    };
    const auto [usualLargest, usualTotal] = run(0, 60, false);
    const auto [slowLargest, slowTotal] = run(60, 120, true);
    EXPECT_TRUE(c->slowLinkMode());
    RecordProperty("largestUsual", std::to_string(usualLargest));
    RecordProperty("largestSlow", std::to_string(slowLargest));
    // The buffer is a tenth of a second of the maximum rate (0.9 of the average); the
    // parameter sets and libx264's own estimate may go a little over.
    const double shortBuffer = 0.9 * double(kBitrate) * KPh264ImageCompressor::kSlowLinkRateBufferSeconds / 8;
    EXPECT_LE(double(slowLargest), shortBuffer * 1.3) << "usual largest " << usualLargest;
    EXPECT_LT(slowLargest, usualLargest);
    // Not starved: a good part of the rate is still used.
    EXPECT_GT(double(slowTotal) * 8 / 6.0, 0.4 * double(kBitrate));
    (void)usualTotal;

    // The stream stays decodable across both switches.
    run(180, 20, false);
    H264TestDecoder decoder;
    for (std::size_t i = 0; i < drive.units.size(); ++i)
        ASSERT_TRUE(decoder.decode(drive.units[i].data)) << "unit " << i;
}

TEST_F(H264EncoderGuards, TheAnnouncedSizeIsTheEncodedOne)
{
    auto c = make(QSizeF(641.9, 481.7), 1'000'000);
    ASSERT_TRUE(c->setup());
    EXPECT_EQ(c->resolution(), QSizeF(640, 480));
}

TEST(LibavLogRouting, OurCallsLogToOurCategoryAndTheProcessLevelIsLeftAlone)
{
    const int level = av_log_get_level();
    KPh264ImageCompressor::setEncoderCandidates({"libx264"});
    {
        KPh264ImageCompressor c;
        c.setResolution(QSizeF(320, 200));
        ASSERT_TRUE(c.setup());
    }
    EXPECT_EQ(av_log_get_level(), level);

    QLoggingCategory::setFilterRules(QStringLiteral("pikora.compress.debug=true"));
    LogCapture log;
    {
        LibavLog::Scope scope;
        av_log(nullptr, AV_LOG_ERROR, "first half, ");
        av_log(nullptr, AV_LOG_ERROR, "second half\n");
        av_log(nullptr, AV_LOG_INFO, "too chatty\n");
    }
    {
        LibavLog::Scope quiet(true);
        av_log(nullptr, AV_LOG_ERROR, "probe noise\n");
    }
    av_log(nullptr, AV_LOG_ERROR, "someone else's message\n");
    QLoggingCategory::setFilterRules(QString());
    const QStringList lines = log.lines();
    EXPECT_TRUE(lines.filter(QStringLiteral("libav: first half, second half")).size() == 1)
        << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.filter(QStringLiteral("too chatty")).isEmpty());
    EXPECT_EQ(lines.filter(QStringLiteral("probe noise")).size(), 1);
    EXPECT_TRUE(lines.filter(QStringLiteral("someone else")).isEmpty());
}

TEST(RateWindowTest, CountsEachWindowOfItsLengthAndRemembersTheLargest)
{
    RateWindow window(std::chrono::microseconds(10'000'000));
    EXPECT_EQ(RateWindow::capBytes(3'200'000), 4'000'000);
    EXPECT_EQ(RateWindow::capBytes(0), 0);
    window.add(0, 100);
    window.add(5'000'000, 200);
    window.add(9'999'999, 300);
    EXPECT_EQ(window.bytesInWindowEndingAt(9'999'999), 600);
    window.add(10'000'000, 50); // the entry at 0 has left the window
    EXPECT_EQ(window.bytesInWindowEndingAt(10'000'000), 550);
    EXPECT_EQ(window.largestWindow(), 600);
    window.add(25'000'000, 10);
    EXPECT_EQ(window.bytesInWindowEndingAt(25'000'000), 10);
    EXPECT_EQ(window.totalBytes(), 660);
    // A time that goes back counts at the newest time, never outside the window.
    window.add(1, 5);
    EXPECT_EQ(window.bytesInWindowEndingAt(25'000'000), 15);
    // Past its bound it folds new bytes into the newest entry: totals stay whole.
    RateWindow many(std::chrono::microseconds(1'000'000'000));
    for (std::int64_t t = 0; t < std::int64_t(RateWindow::kMaxEntries) + 100; ++t)
        many.add(t, 1);
    EXPECT_EQ(many.largestWindow(), std::int64_t(RateWindow::kMaxEntries) + 100);
}

} // namespace
