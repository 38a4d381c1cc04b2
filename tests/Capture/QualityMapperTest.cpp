#include "Pikora/Capture/QualityMapper.h"

#include "LogCapture.h"
#include "Pikora/Capture/AVSessionUtility.h"

#include <QLoggingCategory>
#include <gtest/gtest.h>

namespace {

struct SizeCase
{
    QSizeF captured;
    QSizeF limit;
    QSizeF expected;
    bool logged;
};

class RestrictFromSize : public ::testing::TestWithParam<SizeCase>
{
protected:
    void SetUp() override { QLoggingCategory::setFilterRules(QStringLiteral("pikora.capture.info=true")); }
};

TEST_P(RestrictFromSize, FitsTheLimitsShorterSideAndLogsDownScales)
{
    const SizeCase& c = GetParam();
    LogCapture log;
    const QSizeF result = AVSessionUtility::restrictFromSize(c.captured, c.limit);
    EXPECT_DOUBLE_EQ(result.width(), c.expected.width());
    EXPECT_DOUBLE_EQ(result.height(), c.expected.height());
    EXPECT_EQ(log.contains(QStringLiteral("due to vistrel fw resolution limit")), c.logged);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RestrictFromSize,
    ::testing::Values(
        // Retina display onto a 1080p receiver.
        SizeCase{{2880, 1800}, {1920, 1080}, {1728, 1080}, true},
        // Split screen: the width still exceeds the 800 limit because only the height is fitted.
        SizeCase{{2880, 1800}, {800, 600}, {960, 600}, true},
        // Ultra-wide: the height already fits, so nothing shrinks, but the message is written.
        SizeCase{{2560, 1080}, {1920, 1080}, {2560, 1080}, true},
        SizeCase{{1280, 800}, {1920, 1080}, {1280, 800}, false},
        // No limit known: zero, which leaves the compressor at its default size.
        SizeCase{{2880, 1800}, {0, 0}, {0, 0}, true},
        // Nothing captured yet: the limit.
        SizeCase{{0, 0}, {1920, 1080}, {1920, 1080}, false},
        // A portrait limit fits the width.
        SizeCase{{1920, 1080}, {600, 800}, {600, 337.5}, true},
        // A half-known capture size must not produce infinities.
        SizeCase{{3000, 0}, {1920, 1080}, {1920, 1080}, false}));

TEST(RestrictFromSizeLog, PrintsSizesWithoutDecimals)
{
    QLoggingCategory::setFilterRules(QStringLiteral("pikora.capture.info=true"));
    LogCapture log;
    AVSessionUtility::restrictFromSize({2880, 1800}, {1920, 1080});
    EXPECT_TRUE(log.contains(QStringLiteral(
        "Resolution down scale from 2880x1800 to 1728x1080 due to vistrel fw resolution limit ")))
        << log.lines().join('\n').toStdString();
}

TEST(QualityTables, EveryLevelAndTheDefaults)
{
    const struct
    {
        qint64 level;
        double jpeg;
        qint64 bitrate;
    } rows[] = {{1, 0.3, 500'000}, {2, 0.5, 1'500'000}, {3, 0.7, 3'200'000}, {4, 1.0, 6'000'000},
                {0, 0.5, 500'000}, {-1, 0.5, 500'000},  {5, 0.5, 500'000},   {99, 0.5, 500'000}};
    for (const auto& row : rows) {
        CaptureOptions options{{kKPCaptureOptionOutputQuality, row.level}};
        options[kKPCaptureOptionOutputFormat] = qint64(kKPCaptureOutputFormatJPEG);
        EXPECT_DOUBLE_EQ(AVSessionUtility::qualityMappingDictionary(options)
                             ->value(kKPCaptureOptionJPEGQuality)
                             .toDouble(),
                         row.jpeg)
            << "level " << row.level;
        options[kKPCaptureOptionOutputFormat] = qint64(kKPCaptureOutputFormatH264);
        EXPECT_EQ(AVSessionUtility::qualityMappingDictionary(options)
                      ->value(kKPCaptureOptionH264Bitrate)
                      .toLongLong(),
                  row.bitrate)
            << "level " << row.level;
    }
}

TEST(QualityMapping, AddsOnlyTheParameterOfTheFormatAndKeepsTheRest)
{
    const CaptureOptions options{{kKPCaptureOptionOutputFormat, qint64(2)},
                                 {kKPCaptureOptionOutputQuality, qint64(3)},
                                 {kKPCaptureOptionFramerate, qint64(20)},
                                 {kKPCaptureOptionDesireOutputResolution, QSizeF(1920, 1080)}};
    const std::optional<CaptureOptions> h264 = AVSessionUtility::qualityMappingDictionary(options);
    ASSERT_TRUE(h264);
    EXPECT_EQ(h264->size(), 5);
    EXPECT_EQ(h264->value(kKPCaptureOptionH264Bitrate).toLongLong(), 3'200'000);
    EXPECT_FALSE(h264->contains(kKPCaptureOptionJPEGQuality));
    EXPECT_EQ(h264->value(kKPCaptureOptionDesireOutputResolution).toSizeF(), QSizeF(1920, 1080));

    // An existing JPEG quality is replaced, not kept.
    CaptureOptions jpegOptions = options;
    jpegOptions[kKPCaptureOptionOutputFormat] = qint64(1);
    jpegOptions[kKPCaptureOptionJPEGQuality] = 0.1;
    EXPECT_DOUBLE_EQ(
        QualityMapper::qualityMappingDictionary(jpegOptions)->value(kKPCaptureOptionJPEGQuality).toDouble(),
        0.7);
}

TEST(QualityMapping, NoOrUnknownFormatGivesNothing)
{
    EXPECT_FALSE(QualityMapper::qualityMappingDictionary({{kKPCaptureOptionOutputQuality, qint64(3)}}));
    EXPECT_FALSE(QualityMapper::qualityMappingDictionary({{kKPCaptureOptionOutputFormat, qint64(3)}}));
    EXPECT_FALSE(QualityMapper::qualityMappingDictionary({{kKPCaptureOptionOutputFormat, qint64(0)}}));
}

} // namespace
