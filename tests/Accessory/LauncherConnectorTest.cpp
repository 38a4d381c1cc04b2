#include "Pikora/Accessory/LauncherConnector.h"

#include "QuorbelOSXUtility/SimulatedUsbBus.h"
#include "Support/BundleInfo.h"
#include "Support/FrameCodec.h"
#include "tests/TestSupport/FakeUsbBus.h"
#include "tests/tools/EmulatorTestSupport.h"
#include "tools/accessory-emulator/AccessoryEmulator.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct Recorder : LauncherConnectorDelegate
{
    int pluggedIn = 0;
    std::vector<Json> connects;
    int disconnects = 0;
    std::vector<std::string> messages;

    void connectorECMUSBDidPluggedIn(LauncherConnector*) override { ++pluggedIn; }
    void connectorDidConnectToAccessory(LauncherConnector*, const Json& result) override
    {
        connects.push_back(result);
    }
    void connectorDidDisconnectFromAccessory(LauncherConnector*) override { ++disconnects; }
    void connectorDidReceiveMessage(LauncherConnector*, const std::string& message) override
    {
        messages.push_back(message);
    }
};

// Counts the connector's "no pikora accessory" lines (one per failed probe) while installed.
class ProbeFailureCounter
{
public:
    ProbeFailureCounter() { s_previous = qInstallMessageHandler(&ProbeFailureCounter::handle); }
    ~ProbeFailureCounter() { qInstallMessageHandler(s_previous); }
    int count() const { return s_count.load(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (message.contains(QLatin1String("no pikora accessory, continue probing")))
            ++s_count;
        else if (s_previous)
            s_previous(type, context, message);
    }
    static inline std::atomic<int> s_count{0};
    static inline QtMessageHandler s_previous = nullptr;
};

class LauncherConnectorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        BundleInfo info;
        ASSERT_TRUE(
            BundleInfo::fromJson(R"({"CFBundleShortVersionString": "1.2", "CFBundleVersion": "45"})", info));
        BundleInfo::setMain(info);
    }

    static AccessoryEmulator::Options emulatorOptions()
    {
        AccessoryEmulator::Options options;
        options.listenAddress = QHostAddress(QStringLiteral("127.0.0.1"));
        options.port = 0;
        return options;
    }
    static LauncherConnector::Options connectorOptions(const AccessoryEmulator& emulator)
    {
        LauncherConnector::Options options;
        options.host = QStringLiteral("127.0.0.1");
        options.port = emulator.port();
        return options;
    }
    static FakeUsbBus::Device
    accessory(const QString& id = QStringLiteral("button"),
              const QString& serviceName = QLatin1String(LauncherConnector::kServiceName))
    {
        FakeUsbBus::Device device;
        device.info.id = id;
        device.info.vendorId = LauncherConnector::kVendorId;
        device.info.productId = LauncherConnector::kProductId;
        device.info.serviceName = serviceName;
        return device;
    }

    // Emulator listening, fake bus with the accessory attached, connector linked.
    bool linkUp(AccessoryEmulator& emulator, FakeUsbBus& bus, std::unique_ptr<LauncherConnector>& connector)
    {
        if (!emulator.isListening() && !emulator.start())
            return false;
        connector = std::make_unique<LauncherConnector>(&m_recorder, &bus, connectorOptions(emulator));
        bus.attach(accessory());
        return waitUntil([&] { return !m_recorder.connects.empty(); }, 5s);
    }

    Recorder m_recorder;
};

// --- the whole road -----------------------------------------------------------------------

TEST_F(LauncherConnectorTest, FindsTheAccessoryOnTheSimulatedBusAndKeepsTheLinkAlive)
{
    QTemporaryDir dir;
    const QString busDir = dir.filePath(QStringLiteral("bus"));
    SimulatedUsbBus bus(busDir);
    AccessoryEmulator::Options options = emulatorOptions();
    options.usbSimDirectory = busDir;
    AccessoryEmulator emulator(options);
    // The port is known before the device shows up: bind it, then leave the bus until the
    // connector watches it, so the accessory arrives rather than being there already.
    ASSERT_TRUE(emulator.start());
    emulator.unplug();
    LauncherConnector connector(&m_recorder, &bus, connectorOptions(emulator));
    EXPECT_EQ(m_recorder.pluggedIn, 0);
    EXPECT_EQ(connector.probeSocket(), nullptr) << "no probing before the accessory is on the bus";

    ASSERT_TRUE(emulator.plug());
    ASSERT_TRUE(waitUntil([&] { return m_recorder.pluggedIn == 1; }, 5s));
    ASSERT_TRUE(waitUntil([&] { return m_recorder.connects.size() == 1; }, 5s));
    EXPECT_TRUE(connector.connected());
    EXPECT_EQ(m_recorder.connects[0], emulator.options().handshakeResult);

    // The handshake: a request with id "handshake" and its params in this order.
    const auto handshakes = emulator.messagesWithMethod("handshake");
    ASSERT_EQ(handshakes.size(), 1u);
    const auto handshake = nlohmann::ordered_json::parse(handshakes[0].text.toStdString());
    EXPECT_EQ(handshake["id"], "handshake");
    std::vector<std::string> keys;
    for (const auto& [key, value] : handshake["params"].items())
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"product", "app-version", "os"}));
    EXPECT_EQ(handshake["params"]["product"], "pikora");
    EXPECT_EQ(handshake["params"]["app-version"], "1.2(45)");
    EXPECT_EQ(handshake["params"]["os"], "mac");

    // Heartbeats: the literal text, first about 2 s after the handshake, then every 2 s.
    runEventsFor(5200ms);
    const auto beats = emulator.heartbeats();
    ASSERT_GE(beats.size(), 2u);
    EXPECT_GE(beats[0].arrival - handshakes[0].arrival, 1500ms);
    for (std::size_t i = 0; i < beats.size(); ++i) {
        EXPECT_EQ(beats[i].text, QByteArray(LauncherConnector::kHeartbeatText));
        if (i > 0) {
            EXPECT_GE(beats[i].arrival - beats[i - 1].arrival, 1500ms) << "heartbeat " << i;
        }
    }

    // A dropped link is probed again and a new handshake follows.
    emulator.dropConnections();
    ASSERT_TRUE(waitUntil([&] { return m_recorder.connects.size() == 2; }, 6s));
    EXPECT_EQ(emulator.summary().handshakes, 2);
    EXPECT_EQ(m_recorder.disconnects, 0) << "losing the link is not leaving the bus";

    // Unplugged: the delegate hears of it and everything stops.
    emulator.unplug();
    ASSERT_TRUE(waitUntil([&] { return m_recorder.disconnects == 1; }, 5s));
    EXPECT_FALSE(connector.connected());
    EXPECT_EQ(connector.socket(), nullptr);
    EXPECT_EQ(connector.probeSocket(), nullptr);
}

TEST_F(LauncherConnectorTest, UnpluggingStopsProbingUntilTheAccessoryReturns)
{
    AccessoryEmulator emulator(emulatorOptions());
    FakeUsbBus bus;
    std::unique_ptr<LauncherConnector> connector;
    ASSERT_TRUE(linkUp(emulator, bus, connector));

    bus.detach(QStringLiteral("button"));
    EXPECT_EQ(m_recorder.disconnects, 1);
    EXPECT_EQ(connector->socket(), nullptr);
    const int connections = emulator.summary().connections;
    runEventsFor(2500ms); // longer than a connect timeout plus the probe pacing
    EXPECT_EQ(emulator.summary().connections, connections) << "no probe after unplugging";
    EXPECT_EQ(connector->probeSocket(), nullptr);
    EXPECT_TRUE(emulator.heartbeats().size() <= 1u);

    // Back on the bus: probing starts again and links.
    bus.attach(accessory());
    ASSERT_TRUE(waitUntil([&] { return m_recorder.connects.size() == 2; }, 5s));
    EXPECT_EQ(emulator.summary().connections, connections + 1);

    // Pulled while probing (nobody answers): probing stops too.
    emulator.setRefusing(true);
    emulator.dropConnections();
    ASSERT_TRUE(waitUntil([&] { return connector->probeSocket() != nullptr; }, 2s));
    bus.detach(QStringLiteral("button"));
    EXPECT_EQ(connector->probeSocket(), nullptr);
    EXPECT_EQ(m_recorder.disconnects, 2);
}

TEST_F(LauncherConnectorTest, ReportsOnlyTheNetworkModeAccessoryAndOnlyOnce)
{
    AccessoryEmulator emulator(emulatorOptions());
    emulator.setRefusing(true); // probes fail; only the bus behaviour matters here
    ASSERT_TRUE(emulator.start());
    FakeUsbBus bus;
    bus.attach(accessory()); // there before the connector starts
    LauncherConnector connector(&m_recorder, &bus, connectorOptions(emulator));
    EXPECT_EQ(m_recorder.pluggedIn, 1);
    EXPECT_NE(connector.probeSocket(), nullptr);

    // The same device reported again as an arrival is not a new accessory.
    bus.attach(accessory());
    EXPECT_EQ(m_recorder.pluggedIn, 1);

    // Right ids, other name (still in its first USB mode): neither probes nor disconnects.
    bus.attach(accessory(QStringLiteral("other"), QStringLiteral("PIKORA Launcher")));
    EXPECT_EQ(m_recorder.pluggedIn, 1);
    bus.detach(QStringLiteral("other"));
    EXPECT_EQ(m_recorder.disconnects, 0);
    EXPECT_NE(connector.probeSocket(), nullptr);

    // A bus that cannot be watched: no events and no probing, ever.
    FakeUsbBus broken;
    broken.startWatchingError = QStringLiteral("no permission");
    broken.attach(accessory());
    Recorder quiet;
    LauncherConnector unwatched(&quiet, &broken, connectorOptions(emulator));
    EXPECT_EQ(unwatched.setupUSB(), -1);
    EXPECT_EQ(quiet.pluggedIn, 0);
    EXPECT_EQ(unwatched.probeSocket(), nullptr);
    LauncherConnector busless(&quiet, nullptr, connectorOptions(emulator));
    EXPECT_EQ(busless.probeSocket(), nullptr);
}

// --- sending and receiving ----------------------------------------------------------------

TEST_F(LauncherConnectorTest, FramesCountUtf8BytesBothWays)
{
    AccessoryEmulator emulator(emulatorOptions());
    FakeUsbBus bus;
    std::unique_ptr<LauncherConnector> connector;
    ASSERT_TRUE(linkUp(emulator, bus, connector));

    const std::string outgoing =
        KPJSONRPCNotification("note", Json{{"room", "Besprechungsraum für 5 — ✓ 会议室"}}).JSONRPCMessage();
    connector->sendMessage(outgoing);
    ASSERT_TRUE(waitUntil([&] { return emulator.messagesWithMethod("note").size() == 1; }, 3s));
    EXPECT_EQ(emulator.messagesWithMethod("note")[0].text.toStdString(), outgoing);

    emulator.sendNotification("notify-text", Json{{"text", "Grüße ✓"}});
    ASSERT_TRUE(waitUntil([&] { return !m_recorder.messages.empty(); }, 3s));
    EXPECT_EQ(Json::parse(m_recorder.messages[0])["params"]["text"], "Grüße ✓");

    // Button presses and the replies to requests reach the delegate as text.
    emulator.pressButton();
    connector->sendMessage(
        KPJSONRPCRequest("query-connection-intent", nullptr, "query-connection-intent").JSONRPCMessage());
    ASSERT_TRUE(waitUntil([&] { return m_recorder.messages.size() == 3; }, 3s));
    EXPECT_EQ(Json::parse(m_recorder.messages[1])["method"], "notify-button-pressed");
    EXPECT_EQ(Json::parse(m_recorder.messages[2])["id"], "query-connection-intent");
}

TEST_F(LauncherConnectorTest, MessagesFromManyThreadsArriveWholeAndInOrderPerThread)
{
    AccessoryEmulator emulator(emulatorOptions());
    FakeUsbBus bus;
    std::unique_ptr<LauncherConnector> connector;
    ASSERT_TRUE(linkUp(emulator, bus, connector));

    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                // Sizes vary so that frames of different lengths would tear if writes mixed.
                const std::string padding(static_cast<std::size_t>((i * 97) % 5000), 'a' + t);
                connector->sendMessage(
                    KPJSONRPCNotification("load", Json{{"thread", t}, {"seq", i}, {"pad", padding}})
                        .JSONRPCMessage());
            }
            ++finished;
        });
    }
    const bool done = waitUntil([&] { return finished == kThreads; }, 20s);
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(done);
    ASSERT_TRUE(
        waitUntil([&] { return emulator.messagesWithMethod("load").size() == kThreads * kPerThread; }, 20s));
    EXPECT_EQ(emulator.summary().invalidMessages, 0);
    EXPECT_EQ(emulator.summary().badFrames, 0);
    std::vector<int> next(kThreads, 0);
    for (const auto& m : emulator.messagesWithMethod("load")) {
        const int t = m.params["thread"];
        EXPECT_EQ(m.params["seq"], next[t]++) << "thread " << t;
    }
    EXPECT_EQ(emulator.summary().connections, 1);
}

TEST_F(LauncherConnectorTest, WithoutALinkMessagesAreDropped)
{
    FakeUsbBus bus;
    LauncherConnector::Options options;
    EXPECT_EQ(options.host, QStringLiteral("192.168.204.1")) << "the product's address stays the default";
    EXPECT_EQ(options.port, 53630);
    options.host = QStringLiteral("127.0.0.1");
    LauncherConnector connector(&m_recorder, &bus, options);
    connector.sendMessage(LauncherConnector::kHeartbeatText);
    std::thread other([&] { connector.sendMessage(LauncherConnector::kHeartbeatText); });
    other.join();
    runEventsFor(50ms);
    EXPECT_FALSE(connector.hasLink());
    connector.setAccessoryAddress(QStringLiteral("127.0.0.3"), 4242);
    EXPECT_EQ(connector.accessoryHost(), QStringLiteral("127.0.0.3"));
    EXPECT_EQ(connector.accessoryPort(), 4242);
}

// --- bad peers ----------------------------------------------------------------------------

TEST_F(LauncherConnectorTest, BrokenFramingEndsTheLinkAndANewHandshakeFollows)
{
    AccessoryEmulator emulator(emulatorOptions());
    FakeUsbBus bus;
    std::unique_ptr<LauncherConnector> connector;
    ASSERT_TRUE(linkUp(emulator, bus, connector));

    // A length prefix far beyond any message: never allocated, the link is dropped.
    emulator.sendGarbage(AccessoryEmulator::Garbage::OversizedLength);
    ASSERT_TRUE(waitUntil([&] { return m_recorder.connects.size() == 2; }, 5s));
    EXPECT_EQ(emulator.summary().connections, 2);

    // A frame cut off by the peer closing.
    emulator.sendGarbage(AccessoryEmulator::Garbage::TruncatedFrame);
    ASSERT_TRUE(waitUntil([&] { return m_recorder.connects.size() == 3; }, 5s));
    EXPECT_EQ(emulator.summary().connections, 3);
    EXPECT_TRUE(m_recorder.messages.empty()) << "no part of a broken frame is delivered";
    EXPECT_EQ(m_recorder.disconnects, 0);
}

TEST_F(LauncherConnectorTest, UndecodableBodiesDoNotEndTheLink)
{
    AccessoryEmulator emulator(emulatorOptions());
    FakeUsbBus bus;
    std::unique_ptr<LauncherConnector> connector;
    ASSERT_TRUE(linkUp(emulator, bus, connector));

    emulator.sendGarbage(AccessoryEmulator::Garbage::InvalidUtf8);
    emulator.sendGarbage(AccessoryEmulator::Garbage::NotJson);
    emulator.pressButton();
    ASSERT_TRUE(waitUntil([&] { return m_recorder.messages.size() == 2; }, 3s));
    // Not UTF-8: dropped. Not JSON: passed on as it is, for the receiver to judge.
    EXPECT_EQ(m_recorder.messages[0], "this is not JSON");
    EXPECT_EQ(Json::parse(m_recorder.messages[1])["method"], "notify-button-pressed");
    runEventsFor(200ms);
    EXPECT_EQ(m_recorder.messages.size(), 2u);
    EXPECT_EQ(emulator.summary().connections, 1);
    EXPECT_TRUE(connector->connected());
}

TEST_F(LauncherConnectorTest, HandshakeAnswersThatAreNotDictionariesAreStillReported)
{
    AccessoryEmulator::Options options = emulatorOptions();
    options.handshakeReply = AccessoryEmulator::HandshakeReply::NotDictionary;
    AccessoryEmulator emulator(options);
    FakeUsbBus bus;
    std::unique_ptr<LauncherConnector> connector;
    ASSERT_TRUE(linkUp(emulator, bus, connector));
    EXPECT_TRUE(m_recorder.connects[0].is_string());
    EXPECT_TRUE(connector->connected());
    ASSERT_TRUE(waitUntil([&] { return !emulator.heartbeats().empty(); }, 3s)) << "the link is kept alive";

    // An error answer: reported with a null result.
    emulator.setHandshakeReply(AccessoryEmulator::HandshakeReply::Error);
    emulator.dropConnections();
    ASSERT_TRUE(waitUntil([&] { return m_recorder.connects.size() == 2; }, 5s));
    EXPECT_TRUE(m_recorder.connects[1].is_null());
}

TEST_F(LauncherConnectorTest, AHugeHandshakeAnswerIsLoggedOnlyInPart)
{
    // A peer that answers the handshake with a 200 KB result that is not a dictionary.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    const std::string huge(200 * 1024, 'x');
    const QByteArray answer =
        QByteArray::fromStdString(Json{{"jsonrpc", "2.0"}, {"id", "handshake"}, {"result", huge}}.dump());
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        QTcpSocket* peer = server.nextPendingConnection();
        peer->write(FrameCodec::encode(answer));
    });
    static std::mutex linesMutex;
    static QStringList lines;
    lines.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
            std::lock_guard lock(linesMutex);
            lines << m;
        });
    FakeUsbBus bus;
    LauncherConnector::Options options;
    options.host = QStringLiteral("127.0.0.1");
    options.port = server.serverPort();
    LauncherConnector connector(&m_recorder, &bus, options);
    bus.attach(accessory());
    const bool linked = waitUntil([&] { return !m_recorder.connects.empty(); }, 5s);
    qInstallMessageHandler(previous);
    ASSERT_TRUE(linked);
    std::lock_guard lock(linesMutex);
    const QStringList about = lines.filter(QStringLiteral("not a dictionary"));
    ASSERT_EQ(about.size(), 1);
    EXPECT_LT(about[0].size(), 1000) << "the whole answer was logged";
    EXPECT_TRUE(about[0].contains(QStringLiteral("bytes in all")));
    for (const QString& line : lines)
        EXPECT_LT(line.size(), 2000);
}

TEST_F(LauncherConnectorTest, APeerThatNeverAnswersTheHandshakeIsLeftAndProbedAgain)
{
    AccessoryEmulator::Options options = emulatorOptions();
    options.handshakeReply = AccessoryEmulator::HandshakeReply::Silent;
    AccessoryEmulator emulator(options);
    ASSERT_TRUE(emulator.start());
    FakeUsbBus bus;
    LauncherConnector::Options connectorOpts = connectorOptions(emulator);
    connectorOpts.handshakeTimeout = 800ms;
    LauncherConnector connector(&m_recorder, &bus, connectorOpts);
    bus.attach(accessory());

    ASSERT_TRUE(waitUntil([&] { return emulator.summary().handshakes >= 2; }, 5s));
    EXPECT_TRUE(m_recorder.connects.empty());
    EXPECT_FALSE(connector.connected());
    EXPECT_TRUE(emulator.heartbeats().empty()) << "no heartbeat before a handshake answer";

    emulator.setHandshakeReply(AccessoryEmulator::HandshakeReply::Dictionary);
    ASSERT_TRUE(waitUntil([&] { return m_recorder.connects.size() == 1; }, 5s));
    EXPECT_TRUE(connector.connected());
}

TEST_F(LauncherConnectorTest, AStalledPeerMakesWritesTimeOutAndTheLinkIsProbedAgain)
{
    AccessoryEmulator emulator(emulatorOptions());
    FakeUsbBus bus;
    std::unique_ptr<LauncherConnector> connector;
    ASSERT_TRUE(linkUp(emulator, bus, connector));

    emulator.setStalled(true);
    // More than the socket buffers on both ends can take.
    const std::string big =
        KPJSONRPCNotification("bulk", Json{{"data", std::string(12 << 20, 'x')}}).JSONRPCMessage();
    connector->sendMessage(big);
    // The write times out after 2 s; the connector drops the link and probes again.
    ASSERT_TRUE(waitUntil([&] { return emulator.summary().connections == 2; }, 8s));
    emulator.setStalled(false);
    ASSERT_TRUE(waitUntil([&] { return m_recorder.connects.size() == 2; }, 5s));
    EXPECT_EQ(m_recorder.disconnects, 0);
}

TEST_F(LauncherConnectorTest, RefusedProbesAreRetriedWithoutSpinning)
{
    AccessoryEmulator emulator(emulatorOptions());
    ASSERT_TRUE(emulator.start());
    ASSERT_TRUE(emulator.setRefusing(true));
    FakeUsbBus bus;
    ProbeFailureCounter counter;
    const int before = counter.count();
    LauncherConnector connector(&m_recorder, &bus, connectorOptions(emulator));
    bus.attach(accessory());
    runEventsFor(1200ms);
    const int failures = counter.count() - before;
    EXPECT_GE(failures, 2) << "a refused probe is retried";
    EXPECT_LE(failures, 5) << "refusals come back at once; retries must still be paced";

    ASSERT_TRUE(emulator.setRefusing(false));
    ASSERT_TRUE(waitUntil([&] { return m_recorder.connects.size() == 1; }, 3s));
}

TEST_F(LauncherConnectorTest, GoingAwayWhileLinkedStopsTheHeartbeatCleanly)
{
    AccessoryEmulator emulator(emulatorOptions());
    FakeUsbBus bus;
    std::unique_ptr<LauncherConnector> connector;
    ASSERT_TRUE(linkUp(emulator, bus, connector));
    ASSERT_TRUE(waitUntil([&] { return !emulator.heartbeats().empty(); }, 3s));

    connector.reset();
    ASSERT_TRUE(waitUntil([&] { return emulator.summary().activeConnections == 0; }, 3s));
    const auto beats = emulator.heartbeats().size();
    runEventsFor(2500ms);
    EXPECT_EQ(emulator.heartbeats().size(), beats);
}

} // namespace
