#include "Pikora/Compressors/KPJpegImageCompressor.h"
#include "TestFrames.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

namespace {

struct JpegInfo
{
    int width = 0;
    int height = 0;
    std::vector<unsigned char> bgr;
};

std::optional<JpegInfo> decodeJpeg(const QByteArray& jpeg)
{
    tjhandle tj = tjInitDecompress();
    JpegInfo info;
    int subsampling = 0;
    int colorspace = 0;
    auto* data = reinterpret_cast<const unsigned char*>(jpeg.constData());
    if (tjDecompressHeader3(tj, data, jpeg.size(), &info.width, &info.height, &subsampling, &colorspace) !=
        0) {
        tjDestroy(tj);
        return std::nullopt;
    }
    info.bgr.resize(std::size_t(info.width) * info.height * 3);
    const int rc =
        tjDecompress2(tj, data, jpeg.size(), info.bgr.data(), info.width, 0, info.height, TJPF_BGR, 0);
    tjDestroy(tj);
    if (rc != 0)
        return std::nullopt;
    return info;
}

struct ScaleCase
{
    QSize frame;
    QSizeF limit;
    QSize picture;
};

class JpegScale : public ::testing::TestWithParam<ScaleCase>
{
};

TEST_P(JpegScale, PictureKeepsTheAspectRatioAndTheClosureGetsItsSize)
{
    const ScaleCase& c = GetParam();
    TestFrames frames(c.frame, 1);
    KPJpegImageCompressor compressor;
    compressor.setResolution(c.limit);
    compressor.setJpegQuality(0.7);
    ASSERT_TRUE(compressor.setup());
    QByteArray jpeg;
    qint64 w = -1;
    qint64 h = -1;
    compressor.compressRawImage(frames.frame(3), [&](const QByteArray& data, qint64 width, qint64 height) {
        jpeg = data;
        w = width;
        h = height;
    });
    ASSERT_FALSE(jpeg.isEmpty());
    EXPECT_EQ(w, c.picture.width());
    EXPECT_EQ(h, c.picture.height());
    const std::optional<JpegInfo> info = decodeJpeg(jpeg);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->width, c.picture.width());
    EXPECT_EQ(info->height, c.picture.height());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, JpegScale,
    ::testing::Values(ScaleCase{{2880, 1800}, {1728, 1080}, {1728, 1080}},
                      ScaleCase{{2880, 1800}, {960, 600}, {960, 600}},
                      // The width fits better than the height: the picture
                      // is narrower than the reported limit.
                      ScaleCase{{1920, 1200}, {1280, 720}, {1152, 720}},
                      // Smaller frames are enlarged.
                      ScaleCase{{640, 400}, {1280, 800}, {1280, 800}},
                      // Tiny receivers: a picture of at least one pixel.
                      ScaleCase{{1440, 900}, {2, 2}, {2, 1}}, ScaleCase{{1440, 900}, {1, 1}, {1, 1}},
                      ScaleCase{{1440, 900}, {4, 2}, {3, 2}}, ScaleCase{{1440, 900}, {28, 16}, {26, 16}},
                      ScaleCase{{1440, 900}, {64, 2}, {3, 2}}, ScaleCase{{1440, 900}, {2, 64}, {2, 1}}));

TEST(JpegCompressor, SetupRefusesSizesThatCannotBeEncoded)
{
    for (const QSizeF size : {QSizeF(0, 0), QSizeF(0.5, 10), QSizeF(-1, 10), QSizeF(16385, 10),
                              QSizeF(qInf(), 10), QSizeF(qQNaN(), qQNaN())}) {
        KPJpegImageCompressor compressor;
        compressor.setResolution(size);
        EXPECT_FALSE(compressor.setup()) << size.width() << "x" << size.height();
    }
    KPJpegImageCompressor ok;
    ok.setResolution(QSizeF(1, 1));
    EXPECT_TRUE(ok.setup());
}

TEST(JpegCompressor, KeepsColoursThroughScalingAndEncoding)
{
    // Full-range YCbCr: a saturated colour comes back close to what went in.
    TestFrames frames(QSize(800, 500), 1);
    KPJpegImageCompressor compressor;
    compressor.setResolution(QSizeF(400, 250));
    compressor.setJpegQuality(0.9);
    QByteArray jpeg;
    compressor.compressRawImage(frames.solid(30, 140, 230),
                                [&](const QByteArray& data, qint64, qint64) { jpeg = data; });
    const std::optional<JpegInfo> info = decodeJpeg(jpeg);
    ASSERT_TRUE(info);
    const unsigned char* centre = info->bgr.data() + (std::size_t(125) * info->width + 200) * 3;
    EXPECT_NEAR(centre[0], 30, 6);
    EXPECT_NEAR(centre[1], 140, 6);
    EXPECT_NEAR(centre[2], 230, 6);
}

TEST(JpegCompressor, HigherQualityMeansMoreBytes)
{
    TestFrames frames(QSize(1440, 900), 1);
    auto encodeAt = [&](double quality) {
        KPJpegImageCompressor compressor;
        compressor.setResolution(QSizeF(1440, 900));
        compressor.setJpegQuality(quality);
        QByteArray jpeg;
        compressor.compressRawImage(frames.frame(0),
                                    [&](const QByteArray& data, qint64, qint64) { jpeg = data; });
        return jpeg.size();
    };
    const qsizetype low = encodeAt(0.3);
    const qsizetype mid = encodeAt(0.7);
    const qsizetype best = encodeAt(1.0);
    EXPECT_LT(low, mid);
    EXPECT_LT(mid, best);
    EXPECT_EQ(KPJpegImageCompressor::turboJpegQuality(1.0), 100);
    EXPECT_EQ(KPJpegImageCompressor::turboJpegQuality(0.7), 70);
    EXPECT_EQ(KPJpegImageCompressor::turboJpegQuality(-3), 1);
}

TEST(JpegCompressor, NothingToScaleGivesNoPicture)
{
    TestFrames frames(QSize(320, 200), 1);
    KPJpegImageCompressor compressor;
    compressor.setResolution(QSizeF(0, 0));
    int calls = 0;
    compressor.compressRawImage(frames.frame(0), [&](const QByteArray&, qint64, qint64) { ++calls; });
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(KPJpegImageCompressor::scaledSize(QSize(0, 0), QSizeF(1280, 720)));
    compressor.setResolution(QSizeF(160, 100));
    compressor.cleanup();
    // After cleanup a frame without a new closure delivers nothing; with one it works again.
    compressor.compressRawImage(frames.frame(1), [&](const QByteArray&, qint64, qint64) { ++calls; });
    EXPECT_EQ(calls, 1);
}

TEST(JpegCompressor, WholeBufferEncodingAtItsOwnSize)
{
    TestFrames frames(QSize(300, 200), 1);
    const std::shared_ptr<PixelBuffer> buffer = frames.frame(0);
    const std::optional<QByteArray> jpeg = KPJpegImageCompressor::jpegDataFromCVImage(*buffer, 0.5);
    ASSERT_TRUE(jpeg);
    const std::optional<JpegInfo> info = decodeJpeg(*jpeg);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->width, 300);
    EXPECT_EQ(info->height, 200);
}

} // namespace

// An unchanged screen re-sends the last picture's bytes; any change, or a new quality,
// encodes again, and the re-sent bytes still decode to the right picture.
TEST(JpegReuse, UnchangedFrameResendsTheLastPicture)
{
    auto pool = SurfacePool::create(3, 320, 200);
    auto fill = [](CaptureSurface& s, std::uint8_t value) {
        std::fill(s.mutableData(), s.mutableData() + std::size_t(s.bytesPerRow()) * s.height(), value);
    };
    KPJpegImageCompressor compressor;
    compressor.setResolution(QSizeF(160, 100));
    compressor.setJpegQuality(0.7);
    ASSERT_TRUE(compressor.setup());
    std::vector<QByteArray> out;
    const auto collect = [&](const QByteArray& data, qint64 w, qint64 h) {
        EXPECT_EQ(w, 160);
        EXPECT_EQ(h, 100);
        out.push_back(data);
    };

    std::shared_ptr<CaptureSurface> dark = pool->acquire();
    fill(*dark, 40);
    compressor.compressRawImage(std::make_shared<PixelBuffer>(dark), collect);
    compressor.compressRawImage(std::make_shared<PixelBuffer>(dark), collect); // same surface again
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], out[0]);
    EXPECT_EQ(compressor.picturesEncoded(), 1u);
    EXPECT_EQ(compressor.picturesReused(), 1u);

    // A new surface the source reports unchanged since the dark one: reused too.
    std::shared_ptr<CaptureSurface> same = pool->acquire();
    fill(*same, 40);
    same->changes = {{dark->generation(), {}}};
    compressor.compressRawImage(std::make_shared<PixelBuffer>(same), collect);
    EXPECT_EQ(out.back(), out[0]);
    EXPECT_EQ(compressor.picturesReused(), 2u);

    // A surface whose changes are unknown, or that changed, is encoded.
    dark.reset();
    std::shared_ptr<CaptureSurface> bright = pool->acquire();
    fill(*bright, 220);
    bright->changes = {{same->generation(), {{0, 200}}}};
    compressor.compressRawImage(std::make_shared<PixelBuffer>(bright), collect);
    EXPECT_EQ(compressor.picturesEncoded(), 2u);
    const std::optional<JpegInfo> decoded = decodeJpeg(out.back());
    ASSERT_TRUE(decoded);
    EXPECT_GT(decoded->bgr[0], 200);

    // A new quality is a new picture even for the same frame.
    compressor.setJpegQuality(0.3);
    compressor.compressRawImage(std::make_shared<PixelBuffer>(bright), collect);
    EXPECT_EQ(compressor.picturesEncoded(), 3u);
    EXPECT_NE(out.back(), out[out.size() - 2]);
}
