// The command line: an accessory address is read right in every form it may take, and one that
// cannot be read stops start-up with a clear message instead of being probed forever; the
// pairing ports are the receivers' real ports unless both are given.
#include "Pikora/App/AppOptions.h"

#include <gtest/gtest.h>

namespace {

struct Parsed
{
    bool ok = false;
    QString host;
    std::uint16_t port = 0;
    QString error;
};

Parsed parseAddress(const QString& value)
{
    AppOptions options;
    Parsed p;
    p.ok = AppOptions::parse({QStringLiteral("Pikora"), QStringLiteral("--accessory-address"), value},
                             options, &p.error);
    p.host = options.accessoryHost;
    p.port = options.accessoryPort;
    return p;
}

bool parse(const QStringList& args, AppOptions& out, QString* error = nullptr)
{
    return AppOptions::parse(QStringList{QStringLiteral("Pikora")} + args, out, error);
}

} // namespace

TEST(AppOptions, AccessoryAddressesInEveryForm)
{
    const struct
    {
        const char* text;
        const char* host;
        std::uint16_t port;
    } good[] = {
        {"127.0.0.1", "127.0.0.1", AppOptions::kDefaultAccessoryPort},
        {"127.0.0.1:5000", "127.0.0.1", 5000},
        {"localhost:6000", "localhost", 6000},
        {"accessory.local", "accessory.local", AppOptions::kDefaultAccessoryPort},
        {"[::1]:7000", "::1", 7000},
        {"[::1]", "::1", AppOptions::kDefaultAccessoryPort},
        {"::1", "::1", AppOptions::kDefaultAccessoryPort},
        {"fe80::1:2", "fe80::1:2", AppOptions::kDefaultAccessoryPort},
    };
    for (const auto& g : good) {
        const Parsed p = parseAddress(QString::fromLatin1(g.text));
        EXPECT_TRUE(p.ok) << g.text << ": " << p.error.toStdString();
        EXPECT_EQ(p.host, QString::fromLatin1(g.host)) << g.text;
        EXPECT_EQ(p.port, g.port) << g.text;
    }
}

TEST(AppOptions, AnAccessoryAddressThatCannotBeReadIsAStartUpError)
{
    for (const char* bad : {"[::1]:", "[::1]:0", "[::1]:70000", "[::1", "[nonsense]:53630", "[::1]x53630",
                            "::1:zz:53630", "host:", "host:port", ":53630", "two words",
                            "under_score.example", "-leading.example", "127.0.0.1:99999"}) {
        const Parsed p = parseAddress(QString::fromLatin1(bad));
        EXPECT_FALSE(p.ok) << bad << " was taken as " << p.host.toStdString() << ":" << p.port;
        EXPECT_TRUE(p.error.startsWith("--accessory-address")) << p.error.toStdString();
        EXPECT_TRUE(p.error.contains(QString::fromLatin1(bad))) << "the message names the bad value";
    }
}

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

TEST(AppOptions, CaptureIsLeftToTheSessionUnlessNamed)
{
    AppOptions options;
    ASSERT_TRUE(parse({}, options));
    EXPECT_TRUE(options.captureBackend.isEmpty()) << "empty: the portal in a Wayland session, else X11";
    for (const char* name : {"x11", "portal", "test-pattern"}) {
        AppOptions named;
        ASSERT_TRUE(parse({QStringLiteral("--capture"), QString::fromLatin1(name)}, named)) << name;
        EXPECT_EQ(named.captureBackend, QString::fromLatin1(name));
    }
    QString error;
    AppOptions bad;
    EXPECT_FALSE(parse({QStringLiteral("--capture"), QStringLiteral("wayland")}, bad, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("portal"))) << error.toStdString();
}
