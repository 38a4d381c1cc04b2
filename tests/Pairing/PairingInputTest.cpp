// What the user typed and what the receiver sent, before any traffic: address checks, the
// discovered-receiver search and the configuration body.
#include "PairingTestSupport.h"
#include "Pikora/Pairing/Ipv4Address.h"
#include "Pikora/Pairing/PikoraConfig.h"
#include "Pikora/Pairing/PikoraConfigFetcher.h"
#include "Pikora/Pairing/QHostInfoResolver.h"
#include "Pikora/Pairing/ReceiverMatcher.h"

#include <gtest/gtest.h>

TEST(PairingInput, OnlyDottedQuadsAreAddresses)
{
    for (const char* good : {"192.168.1.20", "0.0.0.0", "255.255.255.255", "127.0.0.2"})
        EXPECT_TRUE(Ipv4Address::isValidIPAddress(QString::fromLatin1(good))) << good;
    for (const char* bad : {"", "192.168.1", "192.168.1.256", "1.2.3.4.5", "10.1", "0x7f.0.0.1", "1.2.3.-4",
                            "1..2.3", " 1.2.3.4", "1.2.3.4 ", "１.2.3.4", "living-room", "1.2.3.0004"})
        EXPECT_FALSE(Ipv4Address::isValidIPAddress(QString::fromUtf8(bad))) << bad;
    EXPECT_EQ(Ipv4Address::normalized(QStringLiteral("192.168.001.020")), QStringLiteral("192.168.1.20"));
}

TEST(PairingInput, ConfigUrlsAreBuiltOnlyFromAddresses)
{
    const QUrl first = PikoraConfigFetcher::configUrl(QStringLiteral("192.168.1.20"), 80);
    EXPECT_EQ(first.scheme(), QStringLiteral("http"));
    EXPECT_EQ(first.host(), QStringLiteral("192.168.1.20"));
    EXPECT_EQ(first.port(), 80);
    EXPECT_EQ(first.path(), QStringLiteral("/pikora_config.json"));
    EXPECT_EQ(PikoraConfigFetcher::configUrl(QStringLiteral("10.0.0.5"), 8080).toString(),
              QStringLiteral("http://10.0.0.5:8080/pikora_config.json"));
    // Whatever a discovered receiver claims as its address cannot reach another host or path.
    for (const char* bad : {"evil.example/x?", "10.0.0.5/../../", "10.0.0.5:81", "", "[::1]"})
        EXPECT_FALSE(PikoraConfigFetcher::configUrl(QString::fromLatin1(bad), 80).isValid()) << bad;
}

TEST(ReceiverSearch, MatchesDisplayNameIgnoringCaseOrTheHostNameTail)
{
    const QList<std::shared_ptr<KPPrototypeDevice>> receivers = {
        device("VistrelPro-11112222", "Meeting Room", "10.0.0.5"),
        device("VistrelPro-AB12cd34", "Lobby", "10.0.0.6"),
    };
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("meeting ROOM"), receivers),
              QStringLiteral("10.0.0.5"));
    // A Wi-Fi name that carries the receiver's tail, in any case.
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("MyTV_ab12CD34"), receivers),
              QStringLiteral("10.0.0.6"));
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("Meeting"), receivers), std::nullopt);
    EXPECT_EQ(ReceiverMatcher::addressFor(QString(), receivers), std::nullopt);
}

TEST(ReceiverSearch, TheAccessPointAddressWinsInEitherOrderOtherwiseTheFirstMatch)
{
    auto a = device("VistrelPro-00000001", "Room", "10.0.0.5");
    auto b = device("VistrelPro-00000002", "Room", "192.168.168.1");
    auto c = device("VistrelPro-00000003", "Room", "10.0.0.6");
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("room"), {a, b}), QStringLiteral("192.168.168.1"));
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("room"), {b, a}), QStringLiteral("192.168.168.1"));
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("room"), {a, c}), QStringLiteral("10.0.0.5"));
    // A first match without an address leaves the choice open for the next one.
    auto noAddress = device("VistrelPro-00000004", "Room", "");
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("room"), {noAddress, c}),
              QStringLiteral("10.0.0.6"));
}

TEST(ReceiverSearch, SkipsReceiversWithoutNamesOrWithShortHostNames)
{
    // A short host name's "tail" would be the whole name, matching far too much.
    auto shortName = device("tv", "Kitchen", "10.0.0.7");
    auto noHost = device("", "Kitchen", "10.0.0.8");
    auto noDisplay = device("VistrelPro-12345678", "", "10.0.0.9");
    auto good = device("VistrelPro-87654321", "Kitchen", "10.0.0.10");
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("kitchen-tv"), {shortName, noHost, noDisplay}),
              std::nullopt);
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("KITCHEN"), {shortName, noHost, good}),
              QStringLiteral("10.0.0.10"));
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("x12345678"), {noDisplay}), std::nullopt);
    EXPECT_EQ(ReceiverMatcher::addressFor(QStringLiteral("kitchen"), {nullptr, good}),
              QStringLiteral("10.0.0.10"));
}

TEST(ConfigBody, ObjectsKeepTheirMembersInOrderAndEverythingElseIsSorted)
{
    const QByteArray text = R"({"z":1,"ip_addr":"10.0.0.5","a":{"y":[true,null,"é"],"b":2.5}})";
    const PikoraConfig::ParseResult object = PikoraConfig::parse(text);
    ASSERT_EQ(object.kind, PikoraConfig::ParseResult::Kind::Object);
    EXPECT_EQ(QByteArray::fromStdString(object.object.dump()), text);

    for (const char* fragment : {"[1,2]", "\"text\"", "42", "true", "null", " [] "})
        EXPECT_EQ(PikoraConfig::parse(fragment).kind, PikoraConfig::ParseResult::Kind::NotAnObject)
            << fragment;

    for (const char* broken : {"", "{", "{\"a\":}", "{} {}", "\xff", "{\"a\":\"\xc3\x28\"}"}) {
        const PikoraConfig::ParseResult r = PikoraConfig::parse(broken);
        EXPECT_EQ(r.kind, PikoraConfig::ParseResult::Kind::Invalid) << broken;
        EXPECT_FALSE(r.error.isEmpty()) << broken;
    }
    EXPECT_TRUE(PikoraConfig::parse("{x").error.contains(QStringLiteral("parse error")));
}

TEST(ConfigBody, DeepNestingAndOversizedBodiesAreRefusedBeforeParsing)
{
    const int deep = PikoraConfig::kMaxDepth + 1;
    const QByteArray tooDeep = QByteArray(deep, '[') + QByteArray(deep, ']');
    EXPECT_EQ(PikoraConfig::parse(tooDeep).kind, PikoraConfig::ParseResult::Kind::Invalid);
    const QByteArray deepest = "{\"a\":" + QByteArray(PikoraConfig::kMaxDepth - 1, '[') +
                               QByteArray(PikoraConfig::kMaxDepth - 1, ']') + "}";
    EXPECT_EQ(PikoraConfig::parse(deepest).kind, PikoraConfig::ParseResult::Kind::Object);
    // Brackets inside strings are text, not nesting.
    const QByteArray quoted = "{\"a\":\"" + QByteArray(500, '[') + "\"}";
    EXPECT_EQ(PikoraConfig::parse(quoted).kind, PikoraConfig::ParseResult::Kind::Object);

    const QByteArray huge = "{\"pad\":\"" + QByteArray(PikoraConfig::kMaxBodyBytes, 'x') + "\"}";
    EXPECT_EQ(PikoraConfig::parse(huge).kind, PikoraConfig::ParseResult::Kind::Invalid);
}

TEST(SystemResolver, AnswersOnTheContextsThreadAndNeverAfterTheContextIsGone)
{
    // "localhost" comes from the hosts file: no name server is asked.
    QHostInfoResolver resolver(3000);
    QObject context;
    std::optional<std::optional<QString>> answer;
    resolver.lookupIPv4(QStringLiteral("localhost"), &context, [&](std::optional<QString> address) {
        EXPECT_EQ(QThread::currentThread(), context.thread());
        answer = address;
    });
    ASSERT_TRUE(waitFor([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, QStringLiteral("127.0.0.1"));

    int calls = 0;
    {
        QObject shortLived;
        resolver.lookupIPv4(QStringLiteral("localhost"), &shortLived,
                            [&](std::optional<QString>) { ++calls; });
    }
    spinFor(300);
    EXPECT_EQ(calls, 0);
}
