#include "QuorbelOSXUtility/KPQuartzServiceUtility.h"

#include <gtest/gtest.h>

namespace {

QByteArray edidWith(const std::vector<std::pair<int, QByteArray>>& descriptors)
{
    QByteArray edid(128, '\0');
    const unsigned char header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    for (int i = 0; i < 8; ++i)
        edid[i] = char(header[i]);
    // First descriptor: a detailed timing (non-zero pixel clock), never a name.
    edid[54] = char(0x02);
    edid[55] = char(0x3a);
    int slot = 1;
    for (const auto& [tag, text] : descriptors) {
        const int offset = 54 + 18 * slot++;
        edid[offset + 3] = char(tag);
        QByteArray body = text.left(13);
        if (body.size() < 13)
            body.append('\n');
        while (body.size() < 13)
            body.append(' ');
        for (int i = 0; i < 13; ++i)
            edid[offset + 5 + i] = body[i];
    }
    return edid;
}

TEST(ScreenName, ReadsTheMonitorNameDescriptor)
{
    EXPECT_EQ(
        KPQuartzServiceUtility::screenNameFromEdid(edidWith({{0xFF, "SERIAL123"}, {0xFC, "DELL U2720Q"}})),
        QStringLiteral("DELL U2720Q"));
    // Thirteen characters fill the descriptor without a terminator.
    EXPECT_EQ(KPQuartzServiceUtility::screenNameFromEdid(edidWith({{0xFC, "ABCDEFGHIJKLM"}})),
              QStringLiteral("ABCDEFGHIJKLM"));
}

TEST(ScreenName, NoNameForMissingOrMalformedEdid)
{
    EXPECT_FALSE(KPQuartzServiceUtility::screenNameFromEdid(edidWith({{0xFE, "some text"}})));
    EXPECT_FALSE(KPQuartzServiceUtility::screenNameFromEdid(edidWith({{0xFC, "   "}})));
    EXPECT_FALSE(KPQuartzServiceUtility::screenNameFromEdid(edidWith({{0xFC, "NAME"}}).left(100)));
    QByteArray badHeader = edidWith({{0xFC, "NAME"}});
    badHeader[1] = 0;
    EXPECT_FALSE(KPQuartzServiceUtility::screenNameFromEdid(badHeader));
    EXPECT_FALSE(KPQuartzServiceUtility::screenNameFromEdid({}));
    // Display 0 is never a monitor.
    EXPECT_FALSE(KPQuartzServiceUtility::screenNameForDisplay(0));
}

} // namespace
