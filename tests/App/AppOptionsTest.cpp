// The command line's pairing ports: the receivers' real ports unless both are given.
#include "Pikora/App/AppOptions.h"

#include <gtest/gtest.h>

namespace {

bool parse(const QStringList& args, AppOptions& out, QString* error = nullptr)
{
    return AppOptions::parse(QStringList{QStringLiteral("Pikora")} + args, out, error);
}

} // namespace

TEST(AppOptions, ConfigPortsDefaultToTheReceiversPortsAndTakeTwoPorts)
{
    AppOptions defaults;
    ASSERT_TRUE(parse({}, defaults));
    EXPECT_EQ(defaults.configFirstPort, 80);
    EXPECT_EQ(defaults.configSecondPort, 8080);

    AppOptions given;
    ASSERT_TRUE(parse({QStringLiteral("--config-ports"), QStringLiteral("18080,18081")}, given));
    EXPECT_EQ(given.configFirstPort, 18080);
    EXPECT_EQ(given.configSecondPort, 18081);
    AppOptions inline_;
    ASSERT_TRUE(parse({QStringLiteral("--config-ports=9000, 9001")}, inline_));
    EXPECT_EQ(inline_.configSecondPort, 9001);

    for (const char* bad : {"80", "80,8080,9000", "0,8080", "80,65536", "80,", "a,b"}) {
        AppOptions out;
        QString error;
        EXPECT_FALSE(parse({QStringLiteral("--config-ports"), QString::fromLatin1(bad)}, out, &error)) << bad;
        EXPECT_TRUE(error.contains(QStringLiteral("--config-ports"))) << bad;
    }
    AppOptions missing;
    EXPECT_FALSE(parse({QStringLiteral("--config-ports")}, missing));
}
