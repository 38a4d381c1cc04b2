#include "H264TestDecoder.h"
#include "LogCapture.h"
#include "Pikora/Compressors/FrameConverter.h"
#include "Pikora/Compressors/H264AccessUnit.h"
#include "Pikora/Compressors/KPh264ImageCompressor.h"
#include "TestFrames.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct Output
{
    QByteArray data;
    qint64 width;
    qint64 height;
};

class H264Compressor : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { KPh264ImageCompressor::setEncoderCandidates({"libx264"}); }

    std::unique_ptr<KPh264ImageCompressor> make(QSizeF resolution, qint64 bitrate = 3'200'000,
                                                qint64 keyframes = 15)
    {
        auto c = std::make_unique<KPh264ImageCompressor>();
        c->setResolution(resolution);
        c->setBitrate(bitrate);
        c->setKeyframeInterval(keyframes);
        c->setFps(20);
        return c;
    }

    std::vector<Output> encode(KPh264ImageCompressor& c, TestFrames& frames, int count)
    {
        std::vector<Output> out;
        for (int i = 0; i < count; ++i)
            c.compressRawImage(frames.frame(std::uint64_t(i)),
                               [&](const QByteArray& data, qint64 w, qint64 h) {
                                   out.push_back({data, w, h});
                               });
        return out;
    }
};

TEST_F(H264Compressor, AccessUnitsHaveOurLayoutAndDecodeIndependently)
{
    TestFrames frames(QSize(1440, 900));
    auto c = make(QSizeF(864, 540));
    ASSERT_TRUE(c->setup());
    EXPECT_EQ(c->encoderName(), QStringLiteral("libx264"));
    const std::vector<Output> units = encode(*c, frames, 40);
    // One access unit per frame, in order: the encoder is set up without delay.
    ASSERT_EQ(units.size(), 40u);

    H264TestDecoder decoder;
    int sinceKey = 0;
    int keyFrames = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const ParsedAccessUnit au = parseAccessUnit(units[i].data);
        ASSERT_TRUE(au.startsWithStartCode) << "unit " << i;
        EXPECT_TRUE(au.startCodesAreFourBytes) << "unit " << i;
        ASSERT_FALSE(au.nalTypes.empty());
        const bool key = au.nalTypes.front() == H264AccessUnit::kNalSps;
        if (key) {
            ASSERT_GE(au.nalTypes.size(), 3u);
            EXPECT_EQ(au.nalTypes[1], H264AccessUnit::kNalPps) << "unit " << i;
            for (std::size_t k = 2; k < au.nalTypes.size(); ++k)
                EXPECT_EQ(au.nalTypes[k], H264AccessUnit::kNalIdrSlice) << "unit " << i;
            sinceKey = 0;
            ++keyFrames;
        } else {
            // Nothing in front of the slices: no SEI, AUD or parameter sets.
            for (int type : au.nalTypes)
                EXPECT_EQ(type, H264AccessUnit::kNalSlice) << "unit " << i;
            ++sinceKey;
        }
        EXPECT_LT(sinceKey, 15) << "more than 15 frames without a key frame at unit " << i;
        QString error;
        const std::optional<DecodedPicture> picture = decoder.decode(units[i].data, &error);
        ASSERT_TRUE(picture) << "unit " << i << ": " << error.toStdString();
        EXPECT_EQ(picture->width, 864);
        EXPECT_EQ(picture->height, 540);
        EXPECT_EQ(units[i].width, 864);
        EXPECT_EQ(units[i].height, 540);
    }
    EXPECT_GE(keyFrames, 3);
    // The sequence parameter set says Main profile (profile_idc 77), right after the header.
    const QByteArray& first = units.front().data;
    ASSERT_GT(first.size(), 6);
    EXPECT_EQ(std::uint8_t(first[5]), 77);
}

TEST_F(H264Compressor, DecodedPicturesShowTheFramesThatWentIn)
{
    TestFrames frames(QSize(1440, 900));
    auto c = make(QSizeF(864, 540));
    ASSERT_TRUE(c->setup());
    const std::vector<Output> units = encode(*c, frames, 20);
    H264TestDecoder decoder;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::optional<DecodedPicture> picture = decoder.decode(units[i].data);
        ASSERT_TRUE(picture);
        const std::optional<std::uint64_t> shown =
            frames.scene().identifyFrame(picture->luma.data(), picture->lumaStride,
                                         QSize(picture->width, picture->height), 864.0 / 1440.0, 0, 40);
        ASSERT_TRUE(shown) << "unit " << i;
        EXPECT_EQ(*shown, i);
    }
}

TEST_F(H264Compressor, ReportsTheSizeItEncodesForEveryFrame)
{
    // A picture of any size is scaled to the resolution. 4:2:0 needs even sizes: the odd last
    // column and row are not encoded, and the closure gets the size that is (what the
    // receiver decodes), not the odd limit.
    TestFrames frames(QSize(1000, 700));
    auto c = make(QSizeF(641.9, 481.7));
    ASSERT_TRUE(c->setup());
    const std::vector<Output> units = encode(*c, frames, 3);
    ASSERT_EQ(units.size(), 3u);
    H264TestDecoder decoder;
    for (const Output& o : units) {
        EXPECT_EQ(o.width, 640);
        EXPECT_EQ(o.height, 480);
        const std::optional<DecodedPicture> picture = decoder.decode(o.data);
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->width, 640);
        EXPECT_EQ(picture->height, 480);
    }
}

TEST_F(H264Compressor, TinyPicturesEncodeOrFailCleanly)
{
    // Receivers may declare any size from 1x1: the output sizes that gives (the banded
    // conversion crashed on some of them) either encode and decode at the announced size, or
    // fail set-up and produce nothing.
    TestFrames frames(QSize(1440, 900));
    for (const QSizeF size :
         {QSizeF(2, 2), QSizeF(4, 2), QSizeF(2, 4), QSizeF(28, 16), QSizeF(64, 2), QSizeF(2, 64),
          QSizeF(3, 3), QSizeF(6.4, 4), QSizeF(6, 34), QSizeF(32, 18), QSizeF(17, 9)}) {
        SCOPED_TRACE(testing::Message() << size.width() << "x" << size.height());
        auto c = make(size);
        ASSERT_TRUE(c->setup());
        const std::vector<Output> units = encode(*c, frames, 3);
        ASSERT_EQ(units.size(), 3u);
        H264TestDecoder decoder;
        for (const Output& o : units) {
            EXPECT_EQ(o.width, qint64(size.width()) & ~1);
            EXPECT_EQ(o.height, qint64(size.height()) & ~1);
            const std::optional<DecodedPicture> picture = decoder.decode(o.data);
            ASSERT_TRUE(picture);
            EXPECT_EQ(picture->width, o.width);
            EXPECT_EQ(picture->height, o.height);
        }
    }
    for (const QSizeF size : {QSizeF(1, 1), QSizeF(1, 64), QSizeF(64, 1), QSizeF(0, 0), QSizeF(-4, 8),
                              QSizeF(20000, 8), QSizeF(qQNaN(), 8)}) {
        SCOPED_TRACE(testing::Message() << size.width() << "x" << size.height());
        auto c = make(size);
        EXPECT_FALSE(c->setup());
        EXPECT_TRUE(encode(*c, frames, 2).empty());
    }
}

TEST(FrameConverterSizes, EveryOutputSizeConvertsWithinItsPlanes)
{
    // A sweep over reductions on both sides of the banded path's limit, odd sizes included.
    // Each plane gets a guard zone that must stay untouched.
    for (const QSize source : {QSize(1440, 900), QSize(1001, 701)}) {
        TestFrames frames(source, 1);
        const std::shared_ptr<PixelBuffer> picture = frames.frame(1);
        FrameConverter converter;
        for (int w : {1, 2, 3, 15, 16, 17, 28, 64, 101, 360, 361, 500, 1439}) {
            for (int h : {1, 2, 5, 16, 18, 47, 64, 224, 225, 226, 600, 899}) {
                SCOPED_TRACE(testing::Message()
                             << source.width() << "x" << source.height() << " -> " << w << "x" << h);
                // Planes laid out as the encoder's frames are: rows 64-byte aligned.
                const int cw = (w + 1) / 2, ch = (h + 1) / 2;
                const int ys = (w + 63) & ~63, cs = (cw + 63) & ~63;
                constexpr std::size_t kGuard = 4096;
                std::vector<std::uint8_t> y(std::size_t(ys) * h + kGuard, 0xA5),
                    u(std::size_t(cs) * ch + kGuard, 0xA5), v(std::size_t(cs) * ch + kGuard, 0xA5);
                std::uint8_t* dst[3] = {y.data(), u.data(), v.data()};
                const int strides[3] = {ys, cs, cs};
                EXPECT_TRUE(converter.convert(picture->baseAddress(), picture->bytesPerRow(),
                                              picture->width(), picture->height(), dst, strides, w, h,
                                              FrameConverter::Layout::I420));
                for (auto* plane : {&y, &u, &v})
                    EXPECT_TRUE(
                        std::all_of(plane->end() - kGuard, plane->end(), [](auto b) { return b == 0xA5; }));
            }
        }
    }
}

TEST_F(H264Compressor, PresentationTimesAreMicrosecondsFromTheFirstFrame)
{
    TestFrames frames(QSize(320, 200));
    auto c = make(QSizeF(320, 200));
    ASSERT_TRUE(c->setup());
    c->compressRawImage(frames.frame(0), nullptr);
    EXPECT_EQ(c->lastPresentationTime(), 0);
    const double first = c->firstFrameTime();
    EXPECT_GT(first, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c->compressRawImage(frames.frame(1), nullptr);
    const std::int64_t pts = c->lastPresentationTime();
    EXPECT_GE(pts, 50'000);
    EXPECT_LT(pts, 5'000'000);
    EXPECT_EQ(c->firstFrameTime(), first);
    EXPECT_EQ(c->frameCount(), 2);
}

TEST_F(H264Compressor, WithoutBitrateOrKeyframeIntervalStillEncodes)
{
    TestFrames frames(QSize(320, 200));
    auto c = make(QSizeF(320, 200), 0, 0);
    LogCapture log;
    ASSERT_TRUE(c->setup());
    EXPECT_FALSE(log.contains(QStringLiteral("FAILED TO SET DATALIMITS")));
    const std::vector<Output> units = encode(*c, frames, 20);
    ASSERT_EQ(units.size(), 20u);
    // The encoder's own (long) key-frame spacing applies: only the first is a key frame.
    int keys = 0;
    for (const Output& o : units)
        keys += parseAccessUnit(o.data).nalTypes.front() == H264AccessUnit::kNalSps ? 1 : 0;
    EXPECT_EQ(keys, 1);
}

TEST_F(H264Compressor, AnUnchangedSurfaceSentFinelyRestsAndARefilledOneIsConvertedAnew)
{
    TestFrames frames(QSize(640, 400), 1);
    auto c = make(QSizeF(640, 400));
    ASSERT_TRUE(c->setup());
    std::vector<QByteArray> units;
    auto collect = [&](const QByteArray& data, qint64, qint64) { units.push_back(data); };
    std::shared_ptr<PixelBuffer> red = frames.solid(0, 0, 255);
    const CaptureSurface* slot = red->surface();
    c->compressRawImage(red, collect);
    // The same surface again, through a second buffer as the frame source hands it out: a
    // flat picture goes out finely at once, so there is nothing left to refine.
    c->compressRawImage(std::make_shared<PixelBuffer>(*red), collect);
    EXPECT_EQ(c->statistics().framesSkippedUnchanged, 1u);
    // The same pooled surface refilled with other pixels must be converted anew.
    red.reset();
    const std::shared_ptr<PixelBuffer> green = frames.solid(0, 255, 0);
    ASSERT_EQ(green->surface(), slot);
    c->compressRawImage(green, collect);
    EXPECT_EQ(c->statistics().framesReused, 0u);

    ASSERT_EQ(units.size(), 2u);
    H264TestDecoder decoder;
    std::vector<DecodedPicture> pictures;
    for (const QByteArray& unit : units)
        pictures.push_back(decoder.decode(unit).value());
    // Luma of pure red is about 81, of pure green about 145 (BT.601, limited range).
    EXPECT_NEAR(pictures[0].luma[200 * 640 + 320], 81, 4);
    EXPECT_NEAR(pictures[1].luma[200 * 640 + 320], 145, 4);
}

TEST_F(H264Compressor, AverageRateStaysNearTheTarget)
{
    // 3 s of the moving scene at 20 fps and 1.5 Mbit/s.
    TestFrames frames(QSize(1280, 800));
    auto c = make(QSizeF(1280, 800), 1'500'000, 15);
    ASSERT_TRUE(c->setup());
    qint64 bytes = 0;
    for (int i = 0; i < 60; ++i) {
        c->compressRawImage(frames.frame(std::uint64_t(i)),
                            [&](const QByteArray& data, qint64, qint64) { bytes += data.size(); });
        // Timestamps drive rate control: space the frames as the capture clock does.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double bitsPerSecond = double(bytes) * 8 / 3.0;
    EXPECT_LT(bitsPerSecond, 1'500'000 * 1.6);
    EXPECT_GT(bitsPerSecond, 1'500'000 * 0.2);
}

TEST_F(H264Compressor, UnusableSizeOrEncoderFailsSetupAndProducesNothing)
{
    TestFrames frames(QSize(320, 200));
    auto tiny = make(QSizeF(1, 1));
    EXPECT_FALSE(tiny->setup());
    int delivered = 0;
    tiny->compressRawImage(frames.frame(0), [&](const QByteArray&, qint64, qint64) { ++delivered; });
    EXPECT_EQ(delivered, 0);

    KPh264ImageCompressor::setEncoderCandidates({"no_such_encoder"});
    auto none = make(QSizeF(320, 200));
    EXPECT_FALSE(none->setup());
    KPh264ImageCompressor::setEncoderCandidates({"libx264"});
}

TEST_F(H264Compressor, RecordsTheStreamOnceTheCapIsReached)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("stream.h264"));
    TestFrames frames(QSize(320, 200));
    auto c = make(QSizeF(320, 200));
    ASSERT_TRUE(c->setup());
    c->setFilePath(path);
    c->setCapSize(20'000);
    QStringList written;
    c->setWriteFileCompletionBlock([&](const QString& p) { written << p; });
    const std::vector<Output> units = encode(*c, frames, 60);
    ASSERT_EQ(written, QStringList{path});
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray recorded = file.readAll();
    EXPECT_GE(recorded.size(), 20'000);
    // The recording is a plain Annex-B stream that starts with the parameter sets and decodes.
    const ParsedAccessUnit parsed = parseAccessUnit(recorded);
    ASSERT_GE(parsed.nalTypes.size(), 3u);
    EXPECT_EQ(parsed.nalTypes[0], H264AccessUnit::kNalSps);
    EXPECT_EQ(parsed.nalTypes[1], H264AccessUnit::kNalPps);
    H264TestDecoder decoder;
    EXPECT_TRUE(decoder.decode(recorded.left(units.front().data.size())));
}

} // namespace
