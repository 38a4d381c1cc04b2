// The pairing flow against an emulated receiver on loopback: which ports are asked and how
// often, what reaches the accessory, and what the user is shown for every kind of answer.
#include "Pikora/Pairing/PairingFlow.h"

#include "Beamline/JsonAccess.h"
#include "PairingTestSupport.h"
#include "ReceiverEmulator.h"

#include <gtest/gtest.h>

namespace {

using Result = PairingFlow::Outcome::Result;

class PairingFlowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ReceiverEmulatorConfig cfg;
        cfg.bindAddress = QHostAddress(QStringLiteral("127.0.0.2"));
        cfg.name = QStringLiteral("VistrelPro-AB12cd34");
        cfg.discoveryPort = 0;
        cfg.controlPort = 0;
        cfg.configPort = 0;      // stands for 8080
        cfg.firstConfigPort = 0; // stands for 80
        rx = std::make_unique<ReceiverEmulator>(cfg);
        ASSERT_TRUE(rx->start());
        first = rx->firstConfigPort();
        second = rx->configPort();
        ASSERT_NE(first, 0);
        ASSERT_NE(second, 0);
        resolver = std::make_shared<FakeResolver>();
    }

    std::unique_ptr<PairingFlow> makeFlow(int timeoutMs = 6000)
    {
        PairingFlow::Options options;
        options.fetch.firstPort = first;
        options.fetch.secondPort = second;
        options.fetch.timeoutMs = timeoutMs;
        auto flow = std::make_unique<PairingFlow>(host, resolver, options);
        QObject::connect(flow.get(), &PairingFlow::attemptFinished, flow.get(),
                         [this](const PairingFlow::Outcome& outcome) { outcomes.push_back(outcome); });
        return flow;
    }

    // Runs one attempt to its end.
    PairingFlow::Outcome pair(const QString& input, int timeoutMs = 6000)
    {
        auto flow = makeFlow(timeoutMs);
        const size_t before = outcomes.size();
        flow->tryPairing(input);
        EXPECT_TRUE(waitFor([&] { return outcomes.size() > before; }, 15000)) << input.toStdString();
        return outcomes.size() > before ? outcomes.back() : PairingFlow::Outcome{};
    }

    quint64 requests(quint16 port)
    {
        const Json stats =
            Json::parse(rx->configCommand(QStringLiteral("stats")).toStdString(), nullptr, false);
        return quint64(
            JsonAccess::integer(stats, std::to_string(port), 0, 1 << 30).orIfMissing(0).value_or(0));
    }
    void command(const QString& text)
    {
        ASSERT_EQ(rx->configCommand(text), QStringLiteral("ok")) << text.toStdString();
    }

    std::unique_ptr<ReceiverEmulator> rx;
    quint16 first = 0;
    quint16 second = 0;
    RecordingPairingHost host;
    std::shared_ptr<FakeResolver> resolver;
    std::vector<PairingFlow::Outcome> outcomes;
};

TEST_F(PairingFlowTest, AnAddressGoesStraightToTheFirstPortAndTheObjectReachesTheAccessoryUnchanged)
{
    const QByteArray body = R"({"ssid_5G":"Lab-5","hostname":"VistrelPro-AB12cd34","ip_addr":"127.0.0.2",)"
                            R"("extra":{"z":[1,2.5,null],"a":"é"}})";
    command(QStringLiteral("body ") + QString::fromUtf8(body));

    const PairingFlow::Outcome outcome = pair(QStringLiteral("127.0.0.2"));
    EXPECT_EQ(outcome.result, Result::Paired);
    EXPECT_EQ(outcome.address, QStringLiteral("127.0.0.2"));
    EXPECT_TRUE(resolver->asked.isEmpty()) << "an address is not resolved";
    EXPECT_EQ(requests(first), 1u);
    EXPECT_EQ(requests(second), 0u);
    ASSERT_EQ(host.written.size(), 1u);
    EXPECT_EQ(QByteArray::fromStdString(host.written[0].dump()), body) << "members in the file's order";
    EXPECT_EQ(host.calls, QStringList({QStringLiteral("write"), QStringLiteral("complete")}));
    EXPECT_TRUE(host.alerts.isEmpty());
}

TEST_F(PairingFlowTest, AnyFailureOnTheFirstPortLeadsToExactlyOneRequestOnTheSecond)
{
    command(QStringLiteral("status %1 404").arg(first));
    EXPECT_EQ(pair(QStringLiteral("127.0.0.2")).result, Result::Paired);
    EXPECT_EQ(requests(first), 1u);
    EXPECT_EQ(requests(second), 1u);
    ASSERT_EQ(host.written.size(), 1u);
    EXPECT_EQ(host.written[0]["hostname"], "VistrelPro-AB12cd34");

    // No answer in time on the first port: the second is still tried, once.
    command(QStringLiteral("status %1 200").arg(first));
    command(QStringLiteral("delay %1 3000").arg(first));
    EXPECT_EQ(pair(QStringLiteral("127.0.0.2"), 400).result, Result::Paired);
    EXPECT_EQ(requests(first), 2u);
    EXPECT_EQ(requests(second), 2u);
}

TEST_F(PairingFlowTest, AnErrorStatusOnBothPortsShowsNothingAndWritesNothing)
{
    command(QStringLiteral("status all 404"));
    const PairingFlow::Outcome outcome = pair(QStringLiteral("127.0.0.2"));
    EXPECT_EQ(outcome.result, Result::NothingToWrite);
    EXPECT_EQ(requests(first), 1u);
    EXPECT_EQ(requests(second), 1u) << "no third attempt";
    EXPECT_TRUE(host.calls.isEmpty()) << host.calls.join(QLatin1Char(' ')).toStdString();
}

TEST_F(PairingFlowTest, AJsonArrayOrScalarWritesNothingAndShowsNothing)
{
    for (const char* body : {"[{\"ip_addr\":\"127.0.0.2\"}]", "\"127.0.0.2\"", "42"}) {
        command(QStringLiteral("body ") + QString::fromLatin1(body));
        EXPECT_EQ(pair(QStringLiteral("127.0.0.2")).result, Result::NothingToWrite) << body;
    }
    EXPECT_TRUE(host.calls.isEmpty()) << host.calls.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(requests(second), 0u) << "a 200 answer on the first port is the answer";
}

TEST_F(PairingFlowTest, InvalidJsonShowsTheParsersMessageAsNoticeAndAlert)
{
    command(QStringLiteral("body {\"ip_addr\": 127.0.0.2}"));
    const PairingFlow::Outcome outcome = pair(QStringLiteral("127.0.0.2"));
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_TRUE(outcome.message.contains(QStringLiteral("parse error"))) << outcome.message.toStdString();
    EXPECT_EQ(host.notifications, QStringList{outcome.message});
    ASSERT_EQ(host.alerts.size(), 1);
    EXPECT_EQ(host.alerts[0].first, QStringLiteral("Error"));
    EXPECT_EQ(host.alerts[0].second, outcome.message);
    EXPECT_TRUE(host.written.empty());
}

TEST_F(PairingFlowTest, EmptyOrUnknownInputFailsWithoutAnyRequest)
{
    host.devices = {device("VistrelPro-11112222", "Meeting Room", "127.0.0.2")};
    EXPECT_EQ(pair(QString()).result, Result::NoAddress);
    EXPECT_TRUE(resolver->asked.isEmpty()) << "an empty input is neither resolved nor searched";
    EXPECT_EQ(pair(QStringLiteral("Board Room")).result, Result::NoAddress);
    EXPECT_EQ(resolver->asked, QStringList{QStringLiteral("Board Room")});
    EXPECT_EQ(host.notifications,
              QStringList({QStringLiteral("Pairing failed"), QStringLiteral("Pairing failed")}));
    ASSERT_EQ(host.alerts.size(), 2);
    EXPECT_EQ(host.alerts[0], qMakePair(QStringLiteral("Error"), QStringLiteral("Pairing failed")));
    EXPECT_EQ(requests(first) + requests(second), 0u);
}

TEST_F(PairingFlowTest, NamesResolveOrMatchDiscoveredReceivers)
{
    resolver->table.insert(QStringLiteral("receiver.lab"), QStringLiteral("127.0.0.2"));
    EXPECT_EQ(pair(QStringLiteral("receiver.lab")).result, Result::Paired);

    // Not resolvable: the display name (any case), or a Wi-Fi name carrying the host tail.
    host.devices = {device("VistrelPro-11112222", "Meeting Room", "127.0.0.3"),
                    device("VistrelPro-AB12cd34", "Lobby", "127.0.0.2")};
    EXPECT_EQ(pair(QStringLiteral("LOBBY")).address, QStringLiteral("127.0.0.2"));
    EXPECT_EQ(pair(QStringLiteral("MyTV_ab12CD34")).address, QStringLiteral("127.0.0.2"));
    EXPECT_EQ(host.written.size(), 3u);

    // A discovered receiver's address that is not an address never becomes a request.
    host.devices = {device("VistrelPro-99998888", "Attic", "127.0.0.2/../x")};
    EXPECT_EQ(pair(QStringLiteral("attic")).result, Result::NoAddress);
}

TEST_F(PairingFlowTest, OversizedBodiesFailCleanlyWithOrWithoutALength)
{
    for (const char* how : {"", " nolength"}) {
        command(QStringLiteral("oversize all %1%2").arg(2 * 1024 * 1024).arg(QLatin1String(how)));
        const PairingFlow::Outcome outcome = pair(QStringLiteral("127.0.0.2"));
        EXPECT_EQ(outcome.result, Result::Failed) << how;
        EXPECT_TRUE(outcome.message.contains(QStringLiteral("larger than"))) << outcome.message.toStdString();
    }
    EXPECT_TRUE(host.written.empty());
    // A body right at the limit is still a configuration.
    command(QStringLiteral("oversize all %1").arg(1024 * 1024));
    EXPECT_EQ(pair(QStringLiteral("127.0.0.2")).result, Result::Paired);
}

TEST_F(PairingFlowTest, SlowTransportFailuresAndRedirectsAreReported)
{
    // Trickling keeps the connection busy, but the whole transfer has a limit.
    command(QStringLiteral("slow all 20"));
    PairingFlow::Outcome outcome = pair(QStringLiteral("127.0.0.2"), 500);
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_EQ(outcome.message, QStringLiteral("The request timed out."));
    command(QStringLiteral("reset"));

    // Nothing listens: the second port's transport error is shown.
    auto flow = makeFlow();
    rx->stop();
    flow->tryPairing(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(
        waitFor([&] { return !outcomes.empty() && outcomes.back().result == Result::Failed; }, 15000));
    EXPECT_FALSE(host.notifications.isEmpty());
}

TEST_F(PairingFlowTest, RedirectsAreFollowedOnlyOnTheSameHost)
{
    command(QStringLiteral("redirect %1 http://127.0.0.2:%2/pikora_config.json").arg(first).arg(second));
    EXPECT_EQ(pair(QStringLiteral("127.0.0.2")).result, Result::Paired);
    EXPECT_EQ(requests(second), 1u);

    // Elsewhere is not followed, on either port: both fail, the last failure is shown.
    command(QStringLiteral("redirect all http://127.0.0.3:%1/pikora_config.json").arg(second));
    const PairingFlow::Outcome outcome = pair(QStringLiteral("127.0.0.2"));
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_TRUE(outcome.message.contains(QStringLiteral("another host"))) << outcome.message.toStdString();
    EXPECT_EQ(host.written.size(), 1u);
}

TEST_F(PairingFlowTest, OverlappingAttemptsEachFinish)
{
    command(QStringLiteral("delay all 300"));
    auto flow = makeFlow();
    flow->tryPairing(QStringLiteral("127.0.0.2"));
    flow->tryPairing(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(waitFor([&] { return outcomes.size() == 2; }, 10000));
    EXPECT_EQ(host.written.size(), 2u);
    EXPECT_EQ(host.completions, 2);
}

} // namespace
