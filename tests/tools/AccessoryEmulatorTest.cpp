#include "tools/accessory-emulator/AccessoryEmulator.h"

#include "QuorbelOSXUtility/SimulatedUsbFormat.h"
#include "tests/tools/EmulatorTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

Json parseFrame(const std::optional<QByteArray>& frame)
{
    if (!frame)
        return Json();
    return Json::parse(frame->constBegin(), frame->constEnd(), nullptr, false);
}

QByteArray request(const std::string& method, const Json& params = nullptr)
{
    return QByteArray::fromStdString(KPJSONRPCRequest(method, params, method).JSONRPCMessage());
}

std::optional<SimulatedUsbDescription> deviceOnBus(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    SimulatedUsbDescription description;
    if (!SimulatedUsbFormat::parse(file.readAll(), description))
        return std::nullopt;
    return description;
}

class AccessoryEmulatorTest : public ::testing::Test
{
protected:
    AccessoryEmulator::Options loopback()
    {
        AccessoryEmulator::Options options;
        options.listenAddress = QHostAddress(QStringLiteral("127.0.0.1"));
        options.port = 0;
        return options;
    }
    QTemporaryDir m_dir;
};

TEST_F(AccessoryEmulatorTest, AnswersTheHandshakeInEveryConfiguredWay)
{
    AccessoryEmulator emulator(loopback());
    ASSERT_TRUE(emulator.start());
    ASSERT_NE(emulator.port(), 0);
    FrameClient client;
    ASSERT_TRUE(client.connectTo(emulator.address(), emulator.port()));

    const QByteArray handshake =
        R"j({"jsonrpc":"2.0","method":"handshake","params":{"product":"pikora","app-version":"1.2(45)","os":"mac"},"id":"handshake"})j";
    client.send(handshake);
    Json answer = parseFrame(client.nextFrame());
    EXPECT_EQ(answer["id"], "handshake");
    EXPECT_EQ(answer["jsonrpc"], "2.0");
    ASSERT_TRUE(answer["result"].is_object());
    EXPECT_EQ(answer["result"], emulator.options().handshakeResult);
    ASSERT_EQ(emulator.messagesWithMethod("handshake").size(), 1u);
    EXPECT_EQ(emulator.messagesWithMethod("handshake")[0].text, handshake);

    emulator.setHandshakeReply(AccessoryEmulator::HandshakeReply::NotDictionary);
    client.send(handshake);
    answer = parseFrame(client.nextFrame());
    EXPECT_TRUE(answer["result"].is_string());

    emulator.setHandshakeReply(AccessoryEmulator::HandshakeReply::Error);
    client.send(handshake);
    answer = parseFrame(client.nextFrame());
    EXPECT_TRUE(answer.contains("error"));
    EXPECT_FALSE(answer.contains("result"));

    emulator.setHandshakeReply(AccessoryEmulator::HandshakeReply::Silent);
    client.send(handshake);
    EXPECT_FALSE(client.nextFrame(600ms).has_value());
    EXPECT_EQ(emulator.summary().handshakes, 4);
}

TEST_F(AccessoryEmulatorTest, PairingIsStoredInItsFileAndAnswersTheIntentQuery)
{
    const QString pairingFile = m_dir.filePath(QStringLiteral("pairing.json"));
    AccessoryEmulator::Options options = loopback();
    options.pairingFile = pairingFile;
    {
        AccessoryEmulator emulator(options);
        ASSERT_TRUE(emulator.start());
        FrameClient client;
        ASSERT_TRUE(client.connectTo(emulator.address(), emulator.port()));

        client.send(request("query-connection-intent"));
        Json answer = parseFrame(client.nextFrame());
        EXPECT_EQ(answer["id"], "query-connection-intent");
        EXPECT_TRUE(answer.contains("error")) << "no pairing yet must be an error member";

        const Json pairing = {{"ip_addr", "127.0.0.2"},
                              {"hostname", "Meeting Room"},
                              {"ssid_5G", "room-5g"},
                              {"passcode", "1234"},
                              {"controlPort", 7000}};
        client.send(request("set-pairing-data", pairing));
        answer = parseFrame(client.nextFrame());
        EXPECT_EQ(answer["id"], "set-pairing-data");
        EXPECT_FALSE(answer.contains("error"));

        client.send(request("query-connection-intent"));
        answer = parseFrame(client.nextFrame());
        // Only the intent members, only those present; other pairing members stay inside.
        EXPECT_EQ(answer["result"],
                  (Json{{"ip_addr", "127.0.0.2"}, {"hostname", "Meeting Room"}, {"ssid_5G", "room-5g"}}));

        // A pairing that is not an object is refused and changes nothing.
        client.send(request("set-pairing-data", Json::array({1, 2})));
        answer = parseFrame(client.nextFrame());
        EXPECT_TRUE(answer.contains("error"));
        EXPECT_EQ(emulator.pairing().value_or(Json()), pairing);
    }
    QFile file(pairingFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    EXPECT_EQ(Json::parse(saved.constBegin(), saved.constEnd(), nullptr, false)["passcode"], "1234");
    file.close();

    // A new run starts from the stored pairing.
    AccessoryEmulator again(options);
    ASSERT_TRUE(again.start());
    ASSERT_TRUE(again.pairing().has_value());
    EXPECT_EQ((*again.pairing())["ip_addr"], "127.0.0.2");
    again.stop();

    // A damaged file means no pairing, and says so.
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{not json");
    file.close();
    AccessoryEmulator damaged(options);
    ASSERT_TRUE(damaged.start());
    EXPECT_FALSE(damaged.pairing().has_value());
    const auto& events = damaged.events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const AccessoryEmulator::Event& e) {
        return e.kind == AccessoryEmulator::Event::Kind::Error;
    }));
}

TEST_F(AccessoryEmulatorTest, RecordsEveryMessageAndAnswersWhatItDoesNotKnow)
{
    AccessoryEmulator emulator(loopback());
    ASSERT_TRUE(emulator.start());
    FrameClient client;
    ASSERT_TRUE(client.connectTo(emulator.address(), emulator.port()));

    const QByteArray heartbeat = AccessoryEmulator::kHeartbeatText;
    client.send(heartbeat);
    client.send(R"({"jsonrpc":"2.0","method":"notify-projection-started"})");
    client.send(R"({"jsonrpc":"2.0","method":"notify-projection-stopped"})");
    client.send(heartbeat);
    client.send(R"({"jsonrpc":"2.0","method":"reboot","id":3})");
    Json answer = parseFrame(client.nextFrame());
    EXPECT_EQ(answer["id"], 3);
    EXPECT_EQ(answer["error"]["code"], -32601);

    client.send("not json at all");
    answer = parseFrame(client.nextFrame());
    EXPECT_EQ(answer["error"]["code"], -32700);
    EXPECT_TRUE(answer["id"].is_null());

    ASSERT_TRUE(waitUntil([&] { return emulator.summary().messages == 6; }, 2s));
    const auto beats = emulator.heartbeats();
    ASSERT_EQ(beats.size(), 2u);
    EXPECT_EQ(beats[0].text, heartbeat);
    EXPECT_LE(beats[0].arrival, beats[1].arrival);
    const auto summary = emulator.summary();
    EXPECT_EQ(summary.heartbeats, 2);
    EXPECT_EQ(summary.projectionStarted, 1);
    EXPECT_EQ(summary.projectionStopped, 1);
    EXPECT_EQ(summary.invalidMessages, 1);
    EXPECT_FALSE(emulator.messages().back().valid);
    EXPECT_EQ(emulator.messages().back().text, "not json at all");
}

TEST_F(AccessoryEmulatorTest, ClosesAConnectionThatAnnouncesAnOversizedFrame)
{
    AccessoryEmulator emulator(loopback());
    ASSERT_TRUE(emulator.start());
    FrameClient client;
    ASSERT_TRUE(client.connectTo(emulator.address(), emulator.port()));
    client.sendRaw(FrameCodec::encodeHeader(0x7fffffff));
    EXPECT_TRUE(client.waitClosed());
    EXPECT_EQ(emulator.summary().badFrames, 1);
    EXPECT_TRUE(waitUntil([&] { return emulator.summary().activeConnections == 0; }, 2s));

    // The listener is unaffected.
    FrameClient next;
    ASSERT_TRUE(next.connectTo(emulator.address(), emulator.port()));
    next.send(request("handshake", Json::object()));
    EXPECT_TRUE(next.nextFrame().has_value());
}

TEST_F(AccessoryEmulatorTest, SendsButtonNotificationsAndMalformedOutputOnCommand)
{
    AccessoryEmulator emulator(loopback());
    ASSERT_TRUE(emulator.start());
    EXPECT_EQ(emulator.pressButton(), 0) << "nobody to tell yet";
    FrameClient client;
    ASSERT_TRUE(client.connectTo(emulator.address(), emulator.port()));
    ASSERT_TRUE(waitUntil([&] { return emulator.summary().activeConnections == 1; }, 2s));

    EXPECT_EQ(emulator.pressButton(), 1);
    EXPECT_EQ(emulator.longPressButton(), 1);
    Json first = parseFrame(client.nextFrame());
    Json second = parseFrame(client.nextFrame());
    EXPECT_EQ(first["method"], "notify-button-pressed");
    EXPECT_FALSE(first.contains("id"));
    EXPECT_EQ(second["method"], "notify-button-long-pressed");

    emulator.sendGarbage(AccessoryEmulator::Garbage::NotJson);
    EXPECT_EQ(client.nextFrame().value_or(QByteArray()), QByteArray("this is not JSON"));
    emulator.sendGarbage(AccessoryEmulator::Garbage::InvalidUtf8);
    const QByteArray invalid = client.nextFrame().value_or(QByteArray());
    EXPECT_FALSE(invalid.isEmpty());
    EXPECT_FALSE(QString::fromUtf8(invalid).toUtf8() == invalid) << "the body must not be valid UTF-8";

    // A truncated frame: the announced length is never reached and the connection closes.
    emulator.sendGarbage(AccessoryEmulator::Garbage::TruncatedFrame);
    EXPECT_TRUE(client.waitClosed());
    const QByteArray rest = client.socket().readAll();
    ASSERT_GE(rest.size(), 4);
    EXPECT_EQ(FrameCodec::decodeLength(rest.constData()), 100u);
    EXPECT_LT(rest.size() - 4, 100);

    FrameClient other;
    ASSERT_TRUE(other.connectTo(emulator.address(), emulator.port()));
    ASSERT_TRUE(waitUntil([&] { return emulator.summary().activeConnections == 1; }, 2s));
    emulator.sendGarbage(AccessoryEmulator::Garbage::OversizedLength);
    const QByteArray header = other.readAllRaw(300ms);
    ASSERT_EQ(header.size(), 4);
    EXPECT_GT(FrameCodec::decodeLength(header.constData()), 1u << 30);
}

TEST_F(AccessoryEmulatorTest, DropsRefusesAndAcceptsAgainOnTheSamePort)
{
    AccessoryEmulator emulator(loopback());
    ASSERT_TRUE(emulator.start());
    const quint16 port = emulator.port();
    FrameClient client;
    ASSERT_TRUE(client.connectTo(emulator.address(), port));
    ASSERT_TRUE(waitUntil([&] { return emulator.summary().activeConnections == 1; }, 2s));
    EXPECT_EQ(emulator.dropConnections(), 1);
    EXPECT_TRUE(client.waitClosed());

    ASSERT_TRUE(emulator.setRefusing(true));
    QTcpSocket refused;
    refused.connectToHost(emulator.address(), port);
    EXPECT_TRUE(waitUntil([&] { return refused.error() == QAbstractSocket::ConnectionRefusedError; }, 5s));

    ASSERT_TRUE(emulator.setRefusing(false));
    EXPECT_EQ(emulator.port(), port);
    FrameClient again;
    ASSERT_TRUE(again.connectTo(emulator.address(), port));
    again.send(request("handshake", Json::object()));
    EXPECT_TRUE(again.nextFrame().has_value());
    EXPECT_EQ(emulator.summary().connections, 2);
}

TEST_F(AccessoryEmulatorTest, StalledConnectionsAreNotReadUntilResumed)
{
    AccessoryEmulator::Options options = loopback();
    options.maxFrameSize = 16u << 20;
    AccessoryEmulator emulator(options);
    ASSERT_TRUE(emulator.start());
    FrameClient client;
    ASSERT_TRUE(client.connectTo(emulator.address(), emulator.port()));
    ASSERT_TRUE(waitUntil([&] { return emulator.summary().activeConnections == 1; }, 2s));

    emulator.setStalled(true);
    client.send(request("handshake", Json::object()));
    EXPECT_FALSE(client.nextFrame(500ms).has_value());
    EXPECT_EQ(emulator.summary().handshakes, 0);

    // Bytes pile up in the kernel until the writer can no longer get rid of them.
    const std::string bulk(8 << 20, 'x');
    client.send(
        QByteArray::fromStdString(KPJSONRPCNotification("bulk", Json{{"data", bulk}}).JSONRPCMessage()));
    runEventsFor(500ms);
    EXPECT_GT(client.socket().bytesToWrite(), 0);

    emulator.setStalled(false);
    EXPECT_TRUE(client.nextFrame().has_value());
    EXPECT_EQ(emulator.summary().handshakes, 1);
    EXPECT_TRUE(waitUntil([&] { return emulator.messagesWithMethod("bulk").size() == 1; }, 5s));
}

TEST_F(AccessoryEmulatorTest, NetworkModeDeviceIsOnTheBusWhileRunningAndPlugged)
{
    AccessoryEmulator::Options options = loopback();
    options.usbSimDirectory = m_dir.filePath(QStringLiteral("bus"));
    options.usbDeviceName = QStringLiteral("button");
    const QString devicePath = QDir(options.usbSimDirectory).filePath(QStringLiteral("button.json"));
    AccessoryEmulator emulator(options);
    ASSERT_TRUE(emulator.start());
    auto device = deviceOnBus(devicePath);
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->vendorId, 1317);
    EXPECT_EQ(device->productId, 42146);
    EXPECT_EQ(device->product, QStringLiteral("PIKORA ECM/RNDIS"));
    EXPECT_TRUE(emulator.isListening());

    FrameClient client;
    ASSERT_TRUE(client.connectTo(emulator.address(), emulator.port()));
    ASSERT_TRUE(waitUntil([&] { return emulator.summary().activeConnections == 1; }, 2s));
    emulator.unplug();
    EXPECT_FALSE(QFile::exists(devicePath));
    EXPECT_FALSE(emulator.isListening());
    EXPECT_TRUE(client.waitClosed()) << "the network goes away with the device";

    ASSERT_TRUE(emulator.plug());
    EXPECT_TRUE(QFile::exists(devicePath));
    EXPECT_TRUE(emulator.isListening());
    emulator.stop();
    EXPECT_FALSE(QFile::exists(devicePath));
}

TEST_F(AccessoryEmulatorTest, RawModeSwitchesOnlyOnTheExactCommand)
{
    AccessoryEmulator::Options options = loopback();
    options.usbSimDirectory = m_dir.filePath(QStringLiteral("bus"));
    options.usbDeviceName = QStringLiteral("button");
    options.startInRawMode = true;
    options.reenumerationDelay = 100ms;
    const QDir bus(options.usbSimDirectory);
    AccessoryEmulator emulator(options);
    ASSERT_TRUE(emulator.start());

    auto device = deviceOnBus(bus.filePath(QStringLiteral("button.json")));
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->vendorId, 0x1DE1);
    EXPECT_EQ(device->productId, 0xA101);
    ASSERT_EQ(device->interfaces.size(), 1u);
    EXPECT_EQ(device->interfaces[0].interfaceClass, 10);
    EXPECT_FALSE(emulator.isListening()) << "no network service in raw mode";
    EXPECT_EQ(emulator.usbState(), AccessoryEmulator::UsbState::Raw);

    auto appendToEndpoint = [&](const QByteArray& bytes) {
        QFile out(bus.filePath(QStringLiteral("button.ep2.out")));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Append));
        out.write(bytes);
    };
    // Wrong bytes, and a command one byte short, do not switch.
    appendToEndpoint(QByteArray(16, '\x00'));
    runEventsFor(400ms);
    EXPECT_EQ(emulator.usbState(), AccessoryEmulator::UsbState::Raw);
    appendToEndpoint(QByteArray(15, '\xCC'));
    runEventsFor(400ms);
    EXPECT_EQ(emulator.usbState(), AccessoryEmulator::UsbState::Raw);
    // The last byte completes the command.
    appendToEndpoint(QByteArray(1, '\xCC'));
    ASSERT_TRUE(waitUntil([&] { return emulator.usbState() == AccessoryEmulator::UsbState::Network; }, 3s));
    device = deviceOnBus(bus.filePath(QStringLiteral("button.json")));
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->vendorId, 1317);
    EXPECT_EQ(device->product, QStringLiteral("PIKORA ECM/RNDIS"));
    EXPECT_TRUE(emulator.isListening());
    EXPECT_EQ(emulator.summary().switchCommands, 1);

    // Unplugging and plugging starts over in raw mode.
    emulator.unplug();
    ASSERT_TRUE(emulator.plug());
    EXPECT_EQ(emulator.usbState(), AccessoryEmulator::UsbState::Raw);
    EXPECT_FALSE(emulator.isListening());
}

} // namespace

namespace {

// The command-line front end, run as a process: events on standard output, commands on
// standard input, a summary when it ends.
class EmulatorProcess
{
public:
    bool start(const QStringList& arguments)
    {
        m_process.start(QStringLiteral(ACCESSORY_EMULATOR_PATH), arguments);
        return m_process.waitForStarted(5000);
    }
    // The first output line containing `text`; it and the lines before it are consumed.
    std::optional<QString> waitForLine(const QString& text, std::chrono::milliseconds timeout = 5s)
    {
        std::optional<QString> found;
        waitUntil(
            [&] {
                m_output += QString::fromUtf8(m_process.readAllStandardOutput());
                qsizetype end;
                // Lines after the one found stay for the next wait.
                while (!found && (end = m_output.indexOf(QLatin1Char('\n'))) >= 0) {
                    const QString line = m_output.left(end);
                    m_output.remove(0, end + 1);
                    if (line.contains(text))
                        found = line;
                }
                return found.has_value();
            },
            timeout);
        return found;
    }
    void command(const QByteArray& line) { m_process.write(line + '\n'); }
    // (QProcess::waitForFinished() reports false for a process that has already ended.)
    bool waitFinished()
    {
        return waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, 5s);
    }
    QProcess& process() { return m_process; }
    ~EmulatorProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

private:
    QProcess m_process;
    QString m_output;
};

TEST(AccessoryEmulatorCommandLine, RunsCommandsFromStandardInputAndSumsUpOnQuit)
{
    QTemporaryDir dir;
    const QString bus = dir.filePath(QStringLiteral("bus"));
    EmulatorProcess emulator;
    ASSERT_TRUE(
        emulator.start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--usb-sim"), bus,
                        QStringLiteral("--pairing"), QStringLiteral(R"({"ip_addr":"127.0.0.2"})")}));
    const auto listening = emulator.waitForLine(QStringLiteral(" listening 127.0.0.1:"));
    ASSERT_TRUE(listening.has_value());
    const quint16 port = listening->section(QLatin1Char(':'), -1).toUShort();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(emulator.waitForLine(QStringLiteral(" usb-appeared network mode")).has_value());
    EXPECT_TRUE(QFile::exists(QDir(bus).filePath(QStringLiteral("pikora-accessory.json"))));

    FrameClient client;
    ASSERT_TRUE(client.connectTo(QHostAddress(QStringLiteral("127.0.0.1")), port));
    client.send(request("query-connection-intent"));
    EXPECT_EQ(parseFrame(client.nextFrame())["result"]["ip_addr"], "127.0.0.2");
    client.send(AccessoryEmulator::kHeartbeatText);
    const auto heartbeat = emulator.waitForLine(QStringLiteral(R"("method": "heartbeat")"));
    ASSERT_TRUE(heartbeat.has_value());
    EXPECT_TRUE(heartbeat->contains(QLatin1String(" received #1 ")));

    emulator.command("press");
    EXPECT_EQ(parseFrame(client.nextFrame())["method"], "notify-button-pressed");
    emulator.command("frobnicate");
    EXPECT_TRUE(emulator.waitForLine(QStringLiteral("> unknown command 'frobnicate'")).has_value());
    emulator.command("status");
    const auto status = emulator.waitForLine(QStringLiteral("> listening=yes"));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->contains(QLatin1String("usb=network")));

    emulator.command("quit");
    const auto summary = emulator.waitForLine(QStringLiteral("summary "));
    ASSERT_TRUE(summary.has_value());
    EXPECT_TRUE(summary->contains(QLatin1String("connections=1 ")));
    EXPECT_TRUE(summary->contains(QLatin1String("heartbeats=1 ")));
    EXPECT_TRUE(summary->contains(QLatin1String("presses=1 ")));
    ASSERT_TRUE(emulator.waitFinished());
    EXPECT_EQ(emulator.process().exitCode(), 0);
    EXPECT_FALSE(QFile::exists(QDir(bus).filePath(QStringLiteral("pikora-accessory.json"))));
}

TEST(AccessoryEmulatorCommandLine, EndsOnATerminationSignalAndRejectsBadOptions)
{
    EmulatorProcess emulator;
    ASSERT_TRUE(emulator.start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1")}));
    ASSERT_TRUE(emulator.waitForLine(QStringLiteral(" listening 127.0.0.1:")).has_value());
    emulator.process().terminate();
    EXPECT_TRUE(emulator.waitForLine(QStringLiteral("summary connections=0")).has_value());
    ASSERT_TRUE(emulator.waitFinished());
    EXPECT_EQ(emulator.process().exitCode(), 0);

    for (const QStringList& bad :
         {QStringList{QStringLiteral("--port"), QStringLiteral("70000")},
          QStringList{QStringLiteral("--listen"), QStringLiteral("nowhere")},
          QStringList{QStringLiteral("--pairing"), QStringLiteral("[1]")},
          QStringList{QStringLiteral("--handshake-reply"), QStringLiteral("maybe")}}) {
        EmulatorProcess rejected;
        ASSERT_TRUE(rejected.start(bad));
        ASSERT_TRUE(rejected.waitFinished());
        EXPECT_EQ(rejected.process().exitCode(), 2) << bad.join(' ').toStdString();
    }
}

} // namespace
