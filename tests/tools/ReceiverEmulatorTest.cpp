// The receiver emulator seen from the network: its configuration-file server, its handling of
// malformed links, capture-time latency and picture sizes, its text commands, and the
// command-line front end.
#include "ReceiverEmulator.h"

#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPJSONRPC.h"
#include "Beamline/KPReceiverLinkCodec.h"
#include "Support/FrameCodec.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtEndian>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>

namespace {

bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return done();
}

ReceiverEmulatorConfig config(const char* address)
{
    ReceiverEmulatorConfig cfg;
    cfg.bindAddress = QHostAddress(QString::fromLatin1(address));
    cfg.name = QStringLiteral("Lab");
    cfg.discoveryPort = 0;
    cfg.controlPort = 0;
    cfg.configPort = 0;
    cfg.ssid24 = QStringLiteral("lab-24");
    cfg.ssid5 = QStringLiteral("lab-5");
    return cfg;
}

// Sends raw bytes to the HTTP server and returns everything it answers before closing.
QByteArray httpExchange(const ReceiverEmulator& rx, const QByteArray& request, int timeoutMs = 3000)
{
    QTcpSocket socket;
    socket.connectToHost(rx.address(), rx.configPort());
    if (!socket.waitForConnected(2000))
        return "no connection";
    socket.write(request);
    socket.flush();
    QByteArray answer;
    QElapsedTimer clock;
    clock.start();
    while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < timeoutMs) {
        socket.waitForReadyRead(50);
        answer += socket.readAll();
    }
    answer += socket.readAll();
    return answer;
}

// A raw sender on the control link.
struct RawSender
{
    QTcpSocket socket;
    FrameCodec::Decoder decoder{KPBeamlineProtocol::kMaxControlMessageSize + 1};

    bool open(const ReceiverEmulator& rx)
    {
        socket.connectToHost(rx.address(), rx.controlPort());
        return socket.waitForConnected(2000);
    }
    void sendJson(const std::string& text)
    {
        socket.write(KPReceiverLinkCodec::encodeJson(text)), socket.flush();
    }
    // Next JSON message from the receiver (null on timeout or close).
    Json next(int timeoutMs = 3000)
    {
        QElapsedTimer clock;
        clock.start();
        QByteArray body;
        while (clock.elapsed() < timeoutMs) {
            if (decoder.next(body) == FrameCodec::Decoder::Status::Frame)
                return Json::parse(body.mid(1).toStdString(), nullptr, false);
            if (!socket.waitForReadyRead(50) && socket.state() != QAbstractSocket::ConnectedState)
                return nullptr;
            decoder.append(socket.readAll());
        }
        return nullptr;
    }
    // Writes everything and waits until the socket has handed it to the system.
    bool sendAll(const QByteArray& bytes)
    {
        socket.write(bytes);
        while (socket.bytesToWrite() > 0)
            if (!socket.waitForBytesWritten(3000))
                return false;
        return true;
    }
    // The answer to request `id`, skipping notifications (null on timeout or close).
    Json answerTo(int id)
    {
        for (Json m = next(); !m.is_null(); m = next())
            if (m.contains("id") && m["id"] == id)
                return m;
        return nullptr;
    }
    bool closedByPeer(int timeoutMs = 3000)
    {
        QElapsedTimer clock;
        clock.start();
        while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < timeoutMs) {
            socket.waitForReadyRead(50);
            socket.readAll();
        }
        return socket.state() != QAbstractSocket::ConnectedState;
    }
};

// A one-colour JPEG of the given size.
QByteArray jpegOf(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(40, 160, 90));
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return out;
}

// A capture-time frame for `ago` before now on this process's steady clock.
QByteArray capturedAgo(std::chrono::steady_clock::duration ago)
{
    const auto at = std::chrono::steady_clock::now() - ago;
    return KPReceiverLinkCodec::encodeCaptureTime(
        std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count()));
}

} // namespace

TEST(ReceiverEmulatorHttp, ServesTheConfigurationFileAndRefusesEverythingElse)
{
    ReceiverEmulator rx(config("127.0.0.2"));
    ASSERT_TRUE(rx.start());
    ASSERT_NE(rx.configPort(), 0);

    const QByteArray ok = httpExchange(rx, "GET /pikora_config.json HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(ok.startsWith("HTTP/1.1 200 OK\r\n")) << ok.toStdString();
    const QByteArray body = ok.mid(ok.indexOf("\r\n\r\n") + 4);
    const Json config = Json::parse(body.toStdString(), nullptr, false);
    ASSERT_TRUE(config.is_object());
    EXPECT_EQ(config["ip_addr"], "127.0.0.2");
    EXPECT_EQ(config["hostname"], "Lab");
    EXPECT_EQ(config["ssid_2.4G"], "lab-24");
    EXPECT_EQ(config["ssid_5G"], "lab-5");
    EXPECT_TRUE(ok.contains("Content-Length: " + QByteArray::number(body.size())));
    EXPECT_EQ(rx.statistics().configRequests, 1u);

    EXPECT_TRUE(httpExchange(rx, "GET /other.json HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404"));
    EXPECT_TRUE(httpExchange(rx, "POST /pikora_config.json HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 405"));
    EXPECT_TRUE(httpExchange(rx, "hello there\r\n\r\n").startsWith("HTTP/1.1 400"));
    // A request head that never ends is cut off at the cap instead of being buffered.
    EXPECT_TRUE(httpExchange(rx, "GET /pikora_config.json HTTP/1.1\r\nX: " + QByteArray(20000, 'a'))
                    .startsWith("HTTP/1.1 431"));
    EXPECT_EQ(rx.statistics().configRequests, 1u);

    // The answer follows a rename.
    rx.setName(QStringLiteral("Lab-2"));
    EXPECT_TRUE(
        httpExchange(rx, "GET /pikora_config.json HTTP/1.0\r\n\r\n").contains("\"hostname\":\"Lab-2\""));
}

TEST(ReceiverEmulatorLink, MalformedInputClosesTheLinkAndIsCounted)
{
    ReceiverEmulator rx(config("127.0.0.2"));
    ASSERT_TRUE(rx.start());

    {
        RawSender oversized;
        ASSERT_TRUE(oversized.open(rx));
        oversized.socket.write(FrameCodec::encodeHeader(KPBeamlineProtocol::kMaxFrameBodySize + 1));
        oversized.socket.flush();
        EXPECT_TRUE(oversized.closedByPeer());
    }
    {
        RawSender notJsonRpc;
        ASSERT_TRUE(notJsonRpc.open(rx));
        notJsonRpc.sendJson("[1,2,3]");
        EXPECT_TRUE(notJsonRpc.closedByPeer());
    }
    {
        RawSender badPicture;
        ASSERT_TRUE(badPicture.open(rx));
        QByteArray body("\x02\x00\x00\x00\x00\x00\x00\x00\x00\xaa", 10); // zero width and height
        badPicture.socket.write(FrameCodec::encodeHeader(quint32(body.size())) + body);
        badPicture.socket.flush();
        EXPECT_TRUE(badPicture.closedByPeer());
    }
    {
        RawSender shortCaptureTime;
        ASSERT_TRUE(shortCaptureTime.open(rx));
        QByteArray body("\x05\x01\x02\x03\x04", 5); // a capture time needs 8 bytes
        shortCaptureTime.socket.write(FrameCodec::encodeHeader(quint32(body.size())) + body);
        shortCaptureTime.socket.flush();
        EXPECT_TRUE(shortCaptureTime.closedByPeer());
    }
    EXPECT_TRUE(waitFor([&] { return rx.statistics().protocolErrors == 4; }));

    // Requests before the hello are refused; media before a stream is ignored, not decoded.
    RawSender early;
    ASSERT_TRUE(early.open(rx));
    early.sendJson(R"({"jsonrpc":"2.0","method":"startDisplay","params":{},"id":1})");
    const Json refused = early.next();
    ASSERT_TRUE(refused.is_object());
    EXPECT_EQ(refused["error"]["code"], KPBeamlineProtocol::ErrorCode::Refused);
    early.sendJson(R"({"jsonrpc":"2.0","method":"hello","params":{"hostName":"raw"},"id":2})");
    const Json hello = early.next();
    ASSERT_TRUE(hello.is_object());
    EXPECT_EQ(hello["result"]["hostName"], "Lab");
    EXPECT_EQ(hello["result"]["parameters"]["controlPort"], rx.controlPort());
    early.socket.write(KPReceiverLinkCodec::encodeJpeg(QByteArray("\xff\xd8\xff\xd9", 4)));
    early.socket.flush();
    EXPECT_TRUE(waitFor([&] { return rx.statistics().ignoredMedia == 1; }));
    EXPECT_EQ(rx.statistics().jpegFrames, 0u);
    EXPECT_EQ(rx.statistics().connectedSenders, 1);
}

TEST(ReceiverEmulatorLatency, CaptureTimesGiveTheLatencyOfTheNextDecodedPictureAndSizesAreListed)
{
    using namespace std::chrono_literals;
    ReceiverEmulator rx(config("127.0.0.4"));
    ASSERT_TRUE(rx.start());
    RawSender sender;
    ASSERT_TRUE(sender.open(rx));
    ASSERT_TRUE(sender.sendAll(capturedAgo(1ms))); // outside a stream: ignored, not kept
    sender.sendJson(R"({"jsonrpc":"2.0","method":"hello","params":{},"id":1})");
    ASSERT_TRUE(sender.answerTo(1).contains("result"));
    sender.sendJson(R"({"jsonrpc":"2.0","method":"startDisplay","params":{"format":"jpeg"},"id":2})");
    ASSERT_TRUE(sender.answerTo(2).contains("result"));

    const QByteArray large = KPReceiverLinkCodec::encodeJpeg(jpegOf(64, 48));
    const QByteArray pcm = KPReceiverLinkCodec::encodePcm(QByteArray(16, '\0'));
    QByteArray stream = large;          // no time
    stream += capturedAgo(5ms) + large; // a sample of 5 ms or more
    stream += capturedAgo(20ms) + pcm + KPReceiverLinkCodec::encodeJpeg(jpegOf(32, 16)); // 20 ms or more
    stream += capturedAgo(1ms) + KPReceiverLinkCodec::encodeJpeg("not a jpeg");          // not decoded: none
    stream += large;                    // the time went with the failed one
    stream += capturedAgo(-1h) + large; // another clock: ahead of ours
    stream += KPReceiverLinkCodec::encodeCaptureTime(~std::uint64_t(0)) + large;
    ASSERT_TRUE(sender.sendAll(stream));
    ASSERT_TRUE(waitFor([&] { return rx.statistics().jpegFrames == 7; }));
    ReceiverStatistics stats = rx.statistics();
    EXPECT_EQ(stats.decodedPictures, 6u);
    EXPECT_EQ(stats.ignoredMedia, 0u);
    EXPECT_EQ(stats.arrivalTimesMs.size(), 8); // capture times are no media
    EXPECT_EQ(stats.latencyUnrelatedClock, 2u);
    ASSERT_EQ(stats.tickToDecodedUs.size(), 2);
    EXPECT_GE(stats.tickToDecodedUs[0], 5000);
    EXPECT_GE(stats.tickToDecodedUs[1], 20000);
    Json json = Json::parse(rx.execute("stats").toStdString(), nullptr, false);
    EXPECT_EQ(json["tickToDecodedMs"]["samples"], 2);
    EXPECT_DOUBLE_EQ(json["tickToDecodedMs"]["p50"].get<double>(), stats.tickToDecodedUs[0] / 1000.0);
    EXPECT_DOUBLE_EQ(json["tickToDecodedMs"]["p99"].get<double>(), stats.tickToDecodedUs[1] / 1000.0);
    EXPECT_DOUBLE_EQ(json["tickToDecodedMs"]["max"].get<double>(), stats.tickToDecodedUs[1] / 1000.0);
    EXPECT_EQ(json["latencyUnrelatedClock"], 2);
    EXPECT_EQ(json["pictureSizes"], Json::array({"64x48", "32x16"}));

    // Both lists are bounded, and reset-stats clears them.
    EXPECT_EQ(rx.execute("reset-stats"), "ok");
    stream.clear();
    const qsizetype pictures = ReceiverStatistics::kMaxLatencySamples + 4;
    for (int i = 0; i < pictures; ++i)
        stream += capturedAgo(1ms) + KPReceiverLinkCodec::encodeJpeg(jpegOf(8 + 8 * std::min(i, 20), 8));
    ASSERT_TRUE(sender.sendAll(stream));
    ASSERT_TRUE(waitFor([&] { return rx.statistics().decodedPictures == quint64(pictures); }, 20000));
    stats = rx.statistics();
    EXPECT_EQ(stats.tickToDecodedUs.size(), ReceiverStatistics::kMaxLatencySamples);
    ASSERT_EQ(stats.pictureSizes.size(), ReceiverStatistics::kMaxPictureSizes);
    EXPECT_EQ(stats.pictureSizes.back(), QSize(8 + 8 * 15, 8));
    EXPECT_EQ(rx.execute("reset-stats"), "ok");
    json = Json::parse(rx.execute("stats").toStdString(), nullptr, false);
    EXPECT_EQ(json["tickToDecodedMs"], Json::parse(R"({"samples":0,"p50":null,"p99":null,"max":null})"));
    EXPECT_EQ(json["pictureSizes"], Json::array());
}

TEST(ReceiverEmulatorPcm, KeepsWholeSampleFramesFindsTheToneAndSavesWav)
{
    ReceiverEmulator rx(config("127.0.0.4"));
    ASSERT_TRUE(rx.start());
    RawSender sender;
    ASSERT_TRUE(sender.open(rx));
    sender.sendJson(R"({"jsonrpc":"2.0","method":"hello","params":{},"id":1})");
    ASSERT_TRUE(sender.answerTo(1).contains("result"));
    sender.sendJson(R"({"jsonrpc":"2.0","method":"startDisplay","params":{"format":"jpeg"},"id":2})");
    ASSERT_TRUE(sender.answerTo(2).contains("result"));

    // One second of a 600 Hz tone in 50 ms chunks, with torn chunks in between.
    QByteArray tone(44100 * 4, Qt::Uninitialized);
    for (int i = 0; i < 44100; ++i) {
        const auto v = qint16(std::lround(9000 * std::sin(2 * M_PI * 600 * i / 44100.0)));
        qToLittleEndian<qint16>(v, tone.data() + 4 * i);
        qToLittleEndian<qint16>(v, tone.data() + 4 * i + 2);
    }
    const QByteArray torn =
        FrameCodec::encode(QByteArray(1, char(KPBeamlineProtocol::FrameType::Pcm)) + "abcdef");
    QByteArray stream;
    for (int offset = 0; offset < tone.size(); offset += 8820) {
        stream += KPReceiverLinkCodec::encodePcm(tone.mid(offset, 8820));
        if (offset == 8820 * 3 || offset == 8820 * 7)
            stream += torn;
    }
    ASSERT_TRUE(sender.sendAll(stream));
    ASSERT_TRUE(waitFor([&] { return rx.statistics().pcmChunks == 20; }));
    ASSERT_TRUE(waitFor([&] { return rx.statistics().pcmRejected == 2; }));
    const ReceiverStatistics stats = rx.statistics();
    EXPECT_EQ(stats.pcmBytes, quint64(tone.size()));
    EXPECT_EQ(stats.pcmKeptBytes, quint64(tone.size()));
    EXPECT_EQ(stats.protocolErrors, 0u) << "a torn chunk is dropped, the link stays";
    EXPECT_NEAR(stats.pcmFrequencyHz, 600, 1.0);
    EXPECT_NEAR(stats.pcmLevel, 9000 / std::sqrt(2.0), 100);
    EXPECT_EQ(rx.keptPcm(), tone);
    const Json json = Json::parse(rx.execute("stats").toStdString(), nullptr, false);
    EXPECT_EQ(json["pcmRejected"], 2);
    EXPECT_NEAR(json["pcmFrequencyHz"].get<double>(), 600, 1.0);

    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("sound.wav"));
    EXPECT_EQ(rx.execute(QStringLiteral("save-pcm ") + wav), "ok");
    QFile file(wav);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_EQ(bytes.size(), 44 + tone.size());
    EXPECT_EQ(bytes.left(4), "RIFF");
    EXPECT_EQ(qFromLittleEndian<quint32>(bytes.constData() + 24), 44100u);
    EXPECT_EQ(bytes.mid(44), tone);
    EXPECT_TRUE(rx.execute(QStringLiteral("save-pcm")).startsWith("error"));
}

TEST(ReceiverEmulatorCommands, TextCommandsAreValidatedAndApplied)
{
    ReceiverEmulator rx(config("127.0.0.3"));
    ASSERT_TRUE(rx.start());

    EXPECT_TRUE(rx.execute("bogus").startsWith("error: unknown command"));
    EXPECT_TRUE(rx.execute("silent maybe").startsWith("error: usage"));
    EXPECT_TRUE(rx.execute("split 0").startsWith("error: usage"));
    EXPECT_TRUE(rx.execute("split two").startsWith("error: usage"));
    // Places count from 1 and lie within the layout.
    EXPECT_TRUE(rx.execute("split 2 0").startsWith("error: usage"));
    EXPECT_TRUE(rx.execute("split 2 3").startsWith("error: usage"));
    EXPECT_TRUE(rx.execute("role 7").startsWith("error: usage"));
    EXPECT_TRUE(rx.execute("pointer {not json").startsWith("error: usage"));
    EXPECT_EQ(rx.execute("ask 127.0.0.9 Guest"), "error: no host");
    EXPECT_EQ(rx.execute("snapshot /tmp/never.png"), "error: no picture or no path");

    // "name" and "silent" change what discovery answers.
    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress("127.0.0.1"), 0));
    auto ask = [&]() -> Json {
        probe.writeDatagram(R"({"cmd":"getEcho","protocolVersion":1,"token":"c0ffee"})", rx.address(),
                            rx.discoveryPort());
        if (!probe.waitForReadyRead(1000))
            return nullptr;
        return Json::parse(probe.receiveDatagram().data().toStdString(), nullptr, false);
    };
    EXPECT_EQ(ask()["hostName"], "Lab");
    EXPECT_EQ(ask()["token"], "c0ffee") << "the reply echoes the query's token";
    EXPECT_EQ(rx.execute("name  Meeting Room  "), "ok");
    EXPECT_EQ(ask()["hostName"], "Meeting Room");
    EXPECT_EQ(rx.execute("silent on"), "ok");
    EXPECT_TRUE(ask().is_null());
    EXPECT_EQ(rx.execute("silent off"), "ok");
    EXPECT_FALSE(ask().is_null());

    const Json stats = Json::parse(rx.execute("stats").toStdString(), nullptr, false);
    ASSERT_TRUE(stats.is_object());
    EXPECT_EQ(stats["discoveryQueries"], 5);
    EXPECT_EQ(stats["discoveryReplies"], 4);
    EXPECT_EQ(rx.execute("reset-stats"), "ok");
    EXPECT_EQ(rx.statistics().discoveryQueries, 0u);

    // Pointer events go to connected senders as they are.
    RawSender sender;
    ASSERT_TRUE(sender.open(rx));
    sender.sendJson(R"({"jsonrpc":"2.0","method":"hello","params":{},"id":1})");
    const Json hello = sender.next();
    ASSERT_TRUE(hello.is_object());
    // Not streaming: the receiver does not show this sender.
    EXPECT_EQ(hello["result"]["screenNumber"], 1);
    EXPECT_EQ(hello["result"]["screenPosition"], 0);
    EXPECT_EQ(rx.execute(R"(pointer {"event":"move","dx":1,"dy":2})"), "ok 1");
    const Json pointer = sender.next();
    EXPECT_EQ(pointer["method"], "pointer");
    EXPECT_EQ(pointer["params"]["dy"], 2);
    EXPECT_EQ(rx.execute("split 2 1"), "ok");
    const Json split = sender.next();
    EXPECT_EQ(split["method"], "splitScreen");
    EXPECT_EQ(split["params"]["screenNumber"], 2);
    EXPECT_EQ(split["params"]["screenPosition"], 1);
    EXPECT_EQ(rx.execute("drop"), "ok");
    EXPECT_TRUE(sender.closedByPeer());
}

TEST(ReceiverEmulatorCli, AnswersDiscoveryAndRunsCommandsFromStandardInput)
{
    const QString program = QStringLiteral(RECEIVER_EMULATOR_PATH);
    QProcess cli;
    cli.start(program, {"--bind", "127.0.0.5", "--name", "Cli-Receiver", "--discovery-port", "0",
                        "--control-port", "0", "--config-port", "-1", "--passcode", "99"});
    ASSERT_TRUE(cli.waitForStarted(5000));
    ASSERT_TRUE(waitFor([&] { return cli.canReadLine(); }, 10000))
        << cli.readAllStandardError().toStdString();
    const QString banner = QString::fromUtf8(cli.readLine()).trimmed();
    const QStringList words = banner.split(' ');
    ASSERT_GE(words.size(), 6) << banner.toStdString();
    const quint16 discoveryPort = quint16(words[4].toUInt());

    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress("127.0.0.1"), 0));
    probe.writeDatagram(R"({"cmd":"getEcho"})", QHostAddress("127.0.0.5"), discoveryPort);
    ASSERT_TRUE(probe.waitForReadyRead(3000));
    const Json reply = Json::parse(probe.receiveDatagram().data().toStdString(), nullptr, false);
    EXPECT_EQ(reply["hostName"], "Cli-Receiver");
    EXPECT_EQ(reply["parameters"]["passcode"], "99");

    cli.write("stats\n");
    ASSERT_TRUE(waitFor([&] { return cli.canReadLine(); }));
    const Json stats = Json::parse(cli.readLine().toStdString(), nullptr, false);
    EXPECT_EQ(stats["discoveryReplies"], 1);
    cli.write("quit\n");
    ASSERT_TRUE(cli.waitForFinished(5000));
    EXPECT_EQ(cli.exitCode(), 0);

    QProcess bad;
    bad.start(program, {"--bind", "not-an-address"});
    ASSERT_TRUE(bad.waitForFinished(5000));
    EXPECT_NE(bad.exitCode(), 0);
}

TEST(ReceiverEmulatorHttp, EachConfigurationPortAnswersAsItIsTold)
{
    ReceiverEmulatorConfig cfg = config("127.0.0.2");
    cfg.firstConfigPort = 0;
    ReceiverEmulator rx(cfg);
    ASSERT_TRUE(rx.start());
    const quint16 first = rx.firstConfigPort();
    const quint16 second = rx.configPort();
    ASSERT_NE(first, 0);
    ASSERT_NE(first, second);
    auto get = [&](quint16 port) {
        QTcpSocket socket;
        socket.connectToHost(rx.address(), port);
        if (!socket.waitForConnected(2000))
            return QByteArray("no connection");
        socket.write("GET /pikora_config.json HTTP/1.1\r\n\r\n");
        QByteArray answer;
        QElapsedTimer clock;
        clock.start();
        while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < 3000) {
            socket.waitForReadyRead(50);
            answer += socket.readAll();
        }
        return answer + socket.readAll();
    };
    auto run = [&](const char* line) { return rx.execute(QString::fromLatin1(line)); };

    // One port's rule wins over the rule for all; reset forgets both.
    EXPECT_EQ(run("config status all 500"), QStringLiteral("ok"));
    EXPECT_EQ(rx.configCommand(QStringLiteral("status %1 404").arg(first)), QStringLiteral("ok"));
    EXPECT_TRUE(get(first).startsWith("HTTP/1.1 404"));
    EXPECT_TRUE(get(second).startsWith("HTTP/1.1 500"));
    EXPECT_EQ(run("config body [not json"), QStringLiteral("ok"));
    EXPECT_EQ(run("config status all 200"), QStringLiteral("ok"));
    EXPECT_TRUE(get(second).endsWith("\r\n\r\n[not json")) << "any bytes can be served";
    EXPECT_EQ(run("config oversize all 4096 nolength"), QStringLiteral("ok"));
    const QByteArray big = get(second);
    EXPECT_FALSE(big.contains("Content-Length"));
    EXPECT_EQ(big.size() - big.indexOf("\r\n\r\n") - 4, 4096);
    EXPECT_EQ(rx.configCommand(QStringLiteral("redirect %1 http://127.0.0.2:1/x").arg(second)),
              QStringLiteral("ok"));
    EXPECT_TRUE(get(second).contains("\r\nLocation: http://127.0.0.2:1/x\r\n"));
    EXPECT_EQ(run("config reset"), QStringLiteral("ok"));
    EXPECT_TRUE(get(first).contains("\"hostname\":\"Lab\""));

    const QString stats = run("config stats");
    EXPECT_TRUE(stats.contains(QStringLiteral("\"%1\":2").arg(first))) << stats.toStdString();
    EXPECT_TRUE(stats.contains(QStringLiteral("\"%1\":4").arg(second))) << stats.toStdString();

    for (const char* bad :
         {"config status all 99", "config status 0 404", "config status 70000 404", "config delay all -1",
          "config oversize all 10 chunked", "config fly all 1", "config status all"})
        EXPECT_TRUE(run(bad).startsWith(QStringLiteral("error:"))) << bad;
}
