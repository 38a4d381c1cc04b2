// The device controller and its transmitter against the receiver emulator over loopback:
// discovery order, the one-callback connect contract, streaming that the receiver really
// decodes, back-pressure, receiver-driven layout, pointer and display events, and the link
// going away mid-stream.
#include "Beamline/GenericDeviceHIDEventListener.h"
#include "Beamline/KPDataTransmitterHostControlDelegate.h"
#include "Beamline/KPDeviceController.h"
#include "Beamline/KPGenericDevice.h"
#include "Beamline/KPGenericDeviceScanner.h"
#include "Beamline/KPReceiverLink.h"
#include "Beamline/KPReceiverLinkCodec.h"
#include "Beamline/KPRemoteCommandGenerator.h"
#include "BeamlineTestSupport.h"
#include "ReceiverEmulator.h"
#include "Support/FrameCodec.h"
#include "Support/NotificationCenter.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <mutex>

namespace {

ReceiverEmulatorConfig receiverAt(const char* address, const char* name)
{
    ReceiverEmulatorConfig cfg;
    cfg.bindAddress = QHostAddress(QString::fromLatin1(address));
    cfg.name = QString::fromLatin1(name);
    cfg.discoveryPort = 0;
    cfg.controlPort = 0;
    cfg.configPort = -1;
    return cfg;
}

std::unique_ptr<ReceiverEmulator> startReceiver(ReceiverEmulatorConfig cfg)
{
    auto rx = std::make_unique<ReceiverEmulator>(std::move(cfg));
    QString error;
    if (!rx->start(&error)) {
        ADD_FAILURE() << "receiver did not start: " << error.toStdString();
        return nullptr;
    }
    return rx;
}

void registerGeneric(KPDeviceController& dc)
{
    dc.registerScanner<KPGenericDeviceScanner, KPGenericDeviceDataTransmitter, KPGenericDevice>(
        KPGenericDeviceScanner::vistrelProPredicate());
}

std::shared_ptr<KPGenericDevice> deviceFor(const ReceiverEmulator& rx, double timeout = 3.0)
{
    return KPGenericDevice::vistrelproDeviceFromIP(rx.address().toString(), QStringLiteral("?"), timeout,
                                                   rx.controlPort());
}

// Records every connection callback.
struct ConnectRecorder
{
    struct Call
    {
        std::shared_ptr<KPPrototypeDevice> device;
        std::optional<KPError> error;
    };
    std::vector<Call> calls;
    KPDeviceController::ConnectionCallback callback()
    {
        return [this](std::shared_ptr<KPPrototypeDevice> d, std::optional<KPError> e) {
            calls.push_back({d, e});
        };
    }
};

// Connects `dc` to `device` and waits for the callback; returns whether it succeeded.
bool connectTo(KPDeviceController& dc, std::shared_ptr<KPGenericDevice> device)
{
    ConnectRecorder rec;
    dc.setConnectionCallback(rec.callback());
    dc.connect(std::move(device));
    if (!waitUntil([&] { return !rec.calls.empty(); }))
        return false;
    return !rec.calls.front().error.has_value();
}

bool connectTo(KPDeviceController& dc, const ReceiverEmulator& rx)
{
    return connectTo(dc, deviceFor(rx));
}

// Connects and starts the display stream.
bool startStream(KPDeviceController& dc, std::shared_ptr<KPGenericDevice> device)
{
    if (!connectTo(dc, std::move(device)))
        return false;
    std::vector<std::optional<KPError>> starts;
    dc.setWifiDisplayStartCallback([&](std::optional<KPError> e) { starts.push_back(e); });
    dc.startWifiDisplay();
    if (!waitUntil([&] { return !starts.empty(); }))
        return false;
    return !starts.front().has_value() && dc.isWIFIDisplayOn();
}

bool startStream(KPDeviceController& dc, const ReceiverEmulator& rx)
{
    return startStream(dc, deviceFor(rx));
}

struct RecordingListener : GenericDeviceHIDEventListener
{
    std::mutex mutex;
    std::vector<std::string> events;
    QPointF lastDelta;
    QPointF lastPoint;
    QSizeF lastBase;
    void record(const char* e)
    {
        std::lock_guard lock(mutex);
        events.emplace_back(e);
    }
    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return events.size();
    }
    void mouseMoveDetected(QPointF d) override
    {
        lastDelta = d;
        record("move");
    }
    void LeftMouseDownDetected() override { record("leftDown"); }
    void touchEventConvertedToSingleMouseEvent_Down(QPointF p, QSizeF base) override
    {
        lastPoint = p;
        lastBase = base;
        record("touchDown");
    }
};

} // namespace

TEST(DeviceControllerDiscovery, ListsReceiversInTheOrderTheyFirstAnsweredAndFollowsRenames)
{
    auto zulu = startReceiver(receiverAt("127.0.0.3", "Zulu"));
    auto alpha = startReceiver(receiverAt("127.0.0.2", "Alpha"));
    auto foreign = startReceiver([] {
        auto c = receiverAt("127.0.0.4", "OtherVendor");
        c.vendor = QStringLiteral("someone-else");
        return c;
    }());
    ASSERT_TRUE(zulu && alpha && foreign);
    alpha->setSilent(true); // answers only once Zulu has been found

    KPDeviceController dc;
    registerGeneric(dc);
    dc.setScanInterval(std::chrono::milliseconds(100));
    dc.setScanTargets({{zulu->address(), zulu->discoveryPort()},
                       {alpha->address(), alpha->discoveryPort()},
                       {foreign->address(), foreign->discoveryPort()}});
    dc.startScan();
    ASSERT_TRUE(waitUntil([&] { return dc.discoveredDevices().size() == 1; }));
    alpha->setSilent(false);
    ASSERT_TRUE(waitUntil([&] { return dc.discoveredDevices().size() == 2; }));
    spin(300); // more replies must not reorder or duplicate

    auto devices = dc.discoveredDevices();
    ASSERT_EQ(devices.size(), 2);
    EXPECT_EQ(devices[0]->hostName(), "Zulu");
    EXPECT_EQ(devices[0]->ipAddress(), "127.0.0.3");
    EXPECT_EQ(devices[1]->hostName(), "Alpha");
    auto* generic = dynamic_cast<KPGenericDevice*>(devices[1].get());
    ASSERT_NE(generic, nullptr);
    EXPECT_TRUE(generic->isVistrelEncodeProEnable());
    EXPECT_EQ(generic->getMaxResolution(), QSize(1920, 1080));
    EXPECT_EQ(generic->controlPort(), alpha->controlPort());

    zulu->setName(QStringLiteral("Zulu-2"));
    ASSERT_TRUE(waitUntil([&] { return dc.discoveredDevices().value(0)->hostName() == "Zulu-2"; }));
    EXPECT_EQ(dc.discoveredDevices().size(), 2);

    // A restart clears the list and finds both again.
    dc.stopScan();
    EXPECT_EQ(dc.discoveredDevices().size(), 2);
    dc.startScan();
    EXPECT_TRUE(dc.discoveredDevices().isEmpty());
    EXPECT_TRUE(waitUntil([&] { return dc.discoveredDevices().size() == 2; }));
    dc.stopScan();
}

TEST(DeviceControllerDiscovery, ScannerIgnoresRepliesFromOtherPortsAndForgetsSilentReceivers)
{
    // A "receiver" that answers from a different port than the one it was asked on.
    QUdpSocket listener, answerer;
    ASSERT_TRUE(listener.bind(QHostAddress("127.0.0.5"), 0));
    ASSERT_TRUE(answerer.bind(QHostAddress("127.0.0.5"), 0));
    QObject::connect(&listener, &QUdpSocket::readyRead, &listener, [&] {
        while (listener.hasPendingDatagrams()) {
            const QNetworkDatagram d = listener.receiveDatagram();
            // It even echoes the query's token: the port alone must keep it out.
            const auto token = KPRemoteCommandGenerator::parseEchoCommand(d.data());
            answerer.writeDatagram(
                QByteArray(R"({"cmd":"echo","hostName":"Sneaky","vendor":"vistrel","token":")") +
                    QByteArray::fromStdString(token.value_or("")) + "\"}",
                d.senderAddress(), quint16(d.senderPort()));
        }
    });
    auto rx = startReceiver(receiverAt("127.0.0.6", "Honest"));
    ASSERT_TRUE(rx);

    KPDeviceController dc;
    registerGeneric(dc);
    dc.setScanInterval(std::chrono::milliseconds(50));
    dc.setScanTargets(
        {{QHostAddress("127.0.0.5"), listener.localPort()}, {rx->address(), rx->discoveryPort()}});
    dc.startScan();
    ASSERT_TRUE(waitUntil([&] { return dc.discoveredDevices().size() == 1; }));
    spin(200);
    ASSERT_EQ(dc.discoveredDevices().size(), 1);
    EXPECT_EQ(dc.discoveredDevices()[0]->hostName(), "Honest");

    // A receiver that stops answering leaves the list after a few intervals.
    rx->setSilent(true);
    EXPECT_TRUE(waitUntil([&] { return dc.discoveredDevices().isEmpty(); }, 3000));
    dc.stopScan();
}

TEST(DeviceControllerConnect, OneCallbackWithNoErrorAndTheReceiversCapabilities)
{
    auto cfg = receiverAt("127.0.0.2", "Room-7");
    cfg.maxResolution = QSize(1280, 720);
    cfg.h264 = false;
    auto rx = startReceiver(cfg);
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    ConnectRecorder rec;
    dc.setConnectionCallback(rec.callback());
    dc.connect(deviceFor(*rx));
    EXPECT_TRUE(rec.calls.empty()) << "the callback must not run inside connect()";
    ASSERT_TRUE(waitUntil([&] { return !rec.calls.empty(); }));
    spin(200);
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_FALSE(rec.calls[0].error.has_value());
    EXPECT_TRUE(dc.isConnected());

    auto device = dc.transmitter()->connectedDevice();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->hostName(), "Room-7"); // learnt from the hello answer
    auto* streaming = dynamic_cast<KPPrototypeImageStreamingProtocol*>(device.get());
    ASSERT_NE(streaming, nullptr);
    EXPECT_EQ(streaming->getMaxResolution(), QSize(1280, 720));
    auto* generic = dynamic_cast<KPGenericDevice*>(device.get());
    ASSERT_NE(generic, nullptr);
    EXPECT_FALSE(generic->isVistrelEncodeProEnable());
    EXPECT_EQ(dc.transmitter()->currentState(), KPGenericDeviceDataTransmitter::kStateDoNotSend);
    EXPECT_TRUE(waitUntil([&] { return rx->statistics().connectedSenders == 1; }));

    dc.disconnect();
    EXPECT_FALSE(dc.isConnected());
    EXPECT_EQ(dc.transmitter(), nullptr);
    EXPECT_TRUE(waitUntil([&] { return rx->statistics().connectedSenders == 0; }));
}

TEST(DeviceControllerConnect, SilentRefusingOrAbsentReceiversEndInExactlyOneErrorCallback)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "Quiet"));
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);

    // Accepts TCP but never answers the hello.
    rx->setSilent(true);
    ConnectRecorder silent;
    dc.setConnectionCallback(silent.callback());
    dc.connect(deviceFor(*rx, 0.4));
    ASSERT_TRUE(waitUntil([&] { return !silent.calls.empty(); }, 3000));
    spin(600);
    ASSERT_EQ(silent.calls.size(), 1u);
    ASSERT_TRUE(silent.calls[0].error.has_value());
    EXPECT_EQ(silent.calls[0].error->code, KPError::ConnectTimeout);
    EXPECT_FALSE(dc.isConnected());

    // Refuses the sender.
    rx->setSilent(false);
    rx->setRefuseConnections(true);
    ConnectRecorder refused;
    dc.setConnectionCallback(refused.callback());
    dc.connect(deviceFor(*rx, 2.0));
    ASSERT_TRUE(waitUntil([&] { return !refused.calls.empty(); }));
    spin(200);
    ASSERT_EQ(refused.calls.size(), 1u);
    ASSERT_TRUE(refused.calls[0].error.has_value());
    EXPECT_EQ(refused.calls[0].error->code, KPError::Refused);

    // Nothing listens there at all.
    const quint16 port = rx->controlPort();
    rx->stop();
    ConnectRecorder absent;
    dc.setConnectionCallback(absent.callback());
    dc.connect(KPGenericDevice::vistrelproDeviceFromIP("127.0.0.2", "x", 2.0, port));
    ASSERT_TRUE(waitUntil([&] { return !absent.calls.empty(); }));
    ASSERT_EQ(absent.calls.size(), 1u);
    ASSERT_TRUE(absent.calls[0].error.has_value());
    EXPECT_EQ(absent.calls[0].error->code, KPError::ConnectionFailed);

    // No device.
    ConnectRecorder none;
    dc.setConnectionCallback(none.callback());
    dc.connect(nullptr);
    ASSERT_TRUE(waitUntil([&] { return !none.calls.empty(); }));
    EXPECT_EQ(none.calls[0].error->code, KPError::InvalidDevice);
}

TEST(DeviceControllerConnect, ANewerConnectOrDisconnectCancelsThePendingOne)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "Busy"));
    ASSERT_TRUE(rx);
    rx->setSilent(true); // keeps the first attempt pending
    KPDeviceController dc;
    registerGeneric(dc);

    ConnectRecorder first, second, third;
    dc.setConnectionCallback(first.callback());
    dc.connect(deviceFor(*rx, 5.0));
    spin(100);
    rx->setSilent(false);
    dc.setConnectionCallback(second.callback());
    dc.connect(deviceFor(*rx, 5.0));
    ASSERT_TRUE(waitUntil([&] { return !first.calls.empty() && !second.calls.empty(); }));
    spin(200);
    ASSERT_EQ(first.calls.size(), 1u);
    ASSERT_TRUE(first.calls[0].error.has_value());
    EXPECT_EQ(first.calls[0].error->code, KPError::Cancelled);
    ASSERT_EQ(second.calls.size(), 1u);
    EXPECT_FALSE(second.calls[0].error.has_value());

    // Asking again for the receiver that is linked keeps the link (and would keep its stream).
    auto linked = dc.transmitter();
    ConnectRecorder again;
    dc.setConnectionCallback(again.callback());
    dc.connect(deviceFor(*rx, 5.0));
    ASSERT_TRUE(waitUntil([&] { return !again.calls.empty(); }));
    spin(100);
    ASSERT_EQ(again.calls.size(), 1u);
    EXPECT_FALSE(again.calls[0].error.has_value());
    EXPECT_EQ(dc.transmitter(), linked);
    EXPECT_EQ(rx->statistics().connectedSenders, 1);

    // Another receiver that never answers: disconnect() cancels the attempt.
    auto other = startReceiver(receiverAt("127.0.0.3", "Other"));
    ASSERT_TRUE(other);
    other->setSilent(true);
    dc.setConnectionCallback(third.callback());
    dc.connect(deviceFor(*other, 5.0));
    dc.disconnect();
    ASSERT_TRUE(waitUntil([&] { return !third.calls.empty(); }));
    spin(100);
    ASSERT_EQ(third.calls.size(), 1u);
    ASSERT_TRUE(third.calls[0].error.has_value());
    EXPECT_EQ(third.calls[0].error->code, KPError::Cancelled);
}

TEST(TransmitterStreaming, H264AccessUnitsAreDecodedByTheReceiver)
{
    QTemporaryDir dir;
    auto cfg = receiverAt("127.0.0.2", "Decoder");
    cfg.rawStreamPath = dir.filePath("stream.h264");
    auto rx = startReceiver(cfg);
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    ASSERT_TRUE(startStream(dc, *rx));
    auto t = dc.transmitter();
    EXPECT_EQ(t->currentState(), KPGenericDeviceDataTransmitter::kStateStreaming);
    ASSERT_TRUE(t->socketStatus().has_value());
    EXPECT_TRUE(t->socketStatus()->readyToSendH264);

    const QImage picture = halfWhitePicture(320, 240);
    const auto units = encodeH264(picture, 10);
    ASSERT_FALSE(units.empty()) << "no H.264 encoder available";
    qint64 total = 0;
    for (const QByteArray& au : units) {
        t->sendH264Data(au, 320, 240);
        total += au.size();
    }
    ASSERT_TRUE(waitUntil([&] { return rx->statistics().h264Frames == units.size(); }));
    const ReceiverStatistics stats = rx->statistics();
    EXPECT_EQ(stats.decodeErrors, 0u);
    EXPECT_EQ(stats.h264KeyFrames, 1u);
    EXPECT_GE(stats.decodedPictures, units.size() - 1);
    EXPECT_EQ(stats.lastFrameSize, QSize(320, 240));
    EXPECT_EQ(stats.lastDecodedSize, QSize(320, 240));
    EXPECT_EQ(stats.mediaBytes, quint64(total));

    // What was decoded is the picture that was sent.
    const QString png = dir.filePath("snapshot.png");
    ASSERT_TRUE(rx->saveSnapshot(png));
    QImage shot(png);
    ASSERT_EQ(shot.size(), QSize(320, 240));
    EXPECT_GT(qGray(shot.pixel(40, 120)), 200);
    EXPECT_LT(qGray(shot.pixel(280, 120)), 50);

    QFile raw(cfg.rawStreamPath);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    EXPECT_EQ(raw.size(), total);
}

TEST(TransmitterStreaming, JpegPicturesAndPcmArriveInCallOrder)
{
    auto cfg = receiverAt("127.0.0.2", "JpegOnly");
    cfg.h264 = false;
    auto rx = startReceiver(cfg);
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    ASSERT_TRUE(startStream(dc, *rx));
    auto t = dc.transmitter();

    const QByteArray jpeg = encodeJpeg(halfWhitePicture(64, 48));
    ASSERT_FALSE(jpeg.isEmpty());
    t->sendPCMData(QByteArray(4096, '\0'));
    t->sendImageWithData(jpeg);
    t->sendPCMData(QByteArray(3, '\0')); // not whole sample frames: refused
    t->sendImageWithData(QByteArray("not a jpeg"));
    ASSERT_TRUE(waitUntil([&] { return rx->statistics().jpegFrames == 2; }));
    const ReceiverStatistics stats = rx->statistics();
    EXPECT_EQ(stats.pcmChunks, 1u);
    EXPECT_EQ(stats.pcmBytes, 4096u);
    EXPECT_EQ(stats.decodedPictures, 1u);
    EXPECT_EQ(stats.decodeErrors, 1u);
    EXPECT_EQ(stats.lastDecodedSize, QSize(64, 48));
    const QImage shot = rx->lastPicture();
    EXPECT_GT(qGray(shot.pixel(5, 24)), 200);
    EXPECT_LT(qGray(shot.pixel(58, 24)), 50);
}

TEST(TransmitterStreaming, MediaOutsideAStreamIsDiscardedAtTheSender)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "Idle"));
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    ASSERT_TRUE(connectTo(dc, *rx));
    auto t = std::dynamic_pointer_cast<KPGenericDeviceDataTransmitter>(dc.transmitter());
    t->sendImageWithData(QByteArray("x"));
    t->sendH264Data(QByteArray("\x00\x00\x00\x01\x65", 5), 16, 16);
    EXPECT_EQ(t->discardedFrames(), 2u);
    spin(200);
    EXPECT_EQ(rx->statistics().ignoredMedia, 0u);
    EXPECT_EQ(rx->statistics().mediaBytes, 0u);
}

TEST(TransmitterStreaming, AStalledReceiverCausesDropsAtTheSenderWithBoundedMemory)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "Stalled"));
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    ASSERT_TRUE(startStream(dc, *rx));
    auto t = dc.genericTransmitter();
    rx->setReadingPaused(true);

    // Key frames (SPS in front) of 256 KiB each, far more than the socket buffers hold.
    QByteArray key("\x00\x00\x00\x01\x67\x42\x00\x1f", 8);
    key.append(QByteArray(256 * 1024, '\x11'));
    const int frameSize = key.size() + 13;
    qint64 maxQueued = 0;
    bool sawNotReady = false;
    for (int i = 0; i < 240 && t->droppedFrames() == 0; ++i) {
        t->sendH264Data(key, 1920, 1080);
        maxQueued = std::max(maxQueued, t->queuedBytes());
        if (t->socketStatus() && !t->socketStatus()->readyToSendH264)
            sawNotReady = true;
        if (i % 8 == 0)
            spin(5); // let the link thread write
    }
    ASSERT_GT(t->droppedFrames(), 0u);
    EXPECT_TRUE(sawNotReady);
    EXPECT_FALSE(t->socketStatus()->readyToSendH264);
    EXPECT_FALSE(t->socketStatus()->readyToSendPCMData);
    EXPECT_LE(maxQueued, KPReceiverLink::kHardCap + KPReceiverLink::kSocketChunk + frameSize);

    // After a dropped access unit, non-key units are dropped until the next key frame.
    const quint64 dropped = t->droppedFrames();
    t->sendH264Data(QByteArray("\x00\x00\x00\x01\x41\x9a\x00", 7), 1920, 1080);
    EXPECT_EQ(t->droppedFrames(), dropped + 1);

    // The receiver reads again: the queue drains and the sender is ready again.
    rx->setReadingPaused(false);
    ASSERT_TRUE(waitUntil([&] { return t->socketStatus() && t->socketStatus()->readyToSendH264; }, 15000));
    EXPECT_TRUE(waitUntil([&] { return t->queuedBytes() == 0; }, 15000));
}

// A receiver behind a slow link: the sender is told to wait once the oldest picture on its
// way is too old, long before the byte bound; nothing is dropped meanwhile, and the sender is
// ready again once the link frees.
TEST(TransmitterStreaming, ASlowReceiverMakesTheSenderWaitByAgeNotByBytes)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "Slow"));
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    ASSERT_TRUE(startStream(dc, *rx));
    auto t = dc.genericTransmitter();
    rx->setReadRate(400000); // 50 kB/s

    QByteArray key("\x00\x00\x00\x01\x67\x42\x00\x1f", 8);
    key.append(QByteArray(20000, '\x11'));
    QByteArray delta("\x00\x00\x00\x01\x41\x9a", 6);
    delta.append(QByteArray(20000, '\x22'));
    bool waitedBeforeTheByteBound = false;
    int sent = 0;
    QElapsedTimer pace; // 20 pictures a second, 3.2 Mbit/s
    const bool waited = waitUntil(
        [&] {
            const std::optional<KPSocketStatus> status = t->socketStatus();
            if (status && !status->readyToSendH264) {
                waitedBeforeTheByteBound = t->queuedBytes() < KPReceiverLink::kReadyBound;
                return true;
            }
            if (!pace.isValid() || pace.elapsed() >= 50) {
                pace.start();
                t->sendH264Data(sent++ == 0 ? key : delta, 1920, 1080, std::chrono::steady_clock::now());
            }
            return false;
        },
        15000);
    ASSERT_TRUE(waited);
    EXPECT_TRUE(waitedBeforeTheByteBound);
    EXPECT_EQ(t->droppedFrames(), 0u);
    EXPECT_TRUE(t->socketStatus()->readyToSendPCMData); // sound is bounded by bytes only

    rx->setReadRate(0);
    EXPECT_TRUE(waitUntil([&] { return t->socketStatus() && t->socketStatus()->readyToSendH264; }, 15000));
    EXPECT_TRUE(waitUntil([&] { return rx->statistics().h264Frames == quint64(sent); }, 15000));
}

namespace {

// A receiver reduced to the wire: answers hello and startDisplay, records every media frame in
// arrival order (type, capture time, the "#tag#" in its payload), and can stop reading.
struct WireRecorder : QObject
{
    struct Frame
    {
        KPBeamlineProtocol::FrameType type;
        std::uint64_t captureTimeUs;
        QByteArray tag;
    };
    QTcpServer server;
    QTcpSocket* socket = nullptr;
    FrameCodec::Decoder decoder{KPBeamlineProtocol::kMaxFrameBodySize};
    bool reading = true;
    std::vector<Frame> frames;

    WireRecorder()
    {
        server.listen(QHostAddress("127.0.0.2"), 0);
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            socket = server.nextPendingConnection();
            socket->setReadBufferSize(64 * 1024);
            QObject::connect(socket, &QTcpSocket::readyRead, this, [this] { read(); });
        });
    }
    void setReading(bool on)
    {
        reading = on;
        QMetaObject::invokeMethod(
            this, [this] { read(); }, Qt::QueuedConnection);
    }
    void read()
    {
        if (!reading || !socket)
            return;
        decoder.append(socket->readAll());
        QByteArray body;
        KPReceiverLinkCodec::Message m;
        while (decoder.next(body) == FrameCodec::Decoder::Status::Frame) {
            ASSERT_EQ(KPReceiverLinkCodec::decodeBody(body, m), KPReceiverLinkCodec::DecodeResult::Ok);
            if (m.type != KPBeamlineProtocol::FrameType::Json) {
                const QList<QByteArray> parts = m.payload.left(64).split('#');
                frames.push_back({m.type, m.captureTimeUs, parts.size() > 2 ? parts[1] : QByteArray()});
                continue;
            }
            auto request = KPJSONRPCObject::parse(m.payload.toStdString(), nullptr);
            if (!request || request->kind() != KPJSONRPCObject::Kind::Request)
                continue;
            const auto& r = static_cast<const KPJSONRPCRequest&>(*request);
            const Json result = r.method() == "hello" ? Json{{"hostName", "Wire"}}
                                                      : Json{{"screenNumber", 1}, {"screenPosition", 1}};
            socket->write(KPReceiverLinkCodec::encodeJson(
                KPJSONRPCResponse::success(r.aId(), result).JSONRPCMessage()));
        }
    }
};

// An access unit tagged `tag`; a key frame starts with an SPS.
QByteArray taggedUnit(bool key, int tag, int filler = 16)
{
    QByteArray au =
        key ? QByteArray("\x00\x00\x00\x01\x67\x42\x00\x1f", 8) : QByteArray("\x00\x00\x00\x01\x41\x9a", 6);
    return au + '#' + QByteArray::number(tag) + '#' + QByteArray(filler, '\x11');
}

std::uint64_t microseconds(std::chrono::steady_clock::time_point t)
{
    return std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

} // namespace

TEST(TransmitterStreaming, ACaptureTimeTravelsRightInFrontOfItsPictureAndIsDroppedWithIt)
{
    using T = KPBeamlineProtocol::FrameType;
    WireRecorder wire;
    KPDeviceController dc;
    registerGeneric(dc);
    ASSERT_TRUE(startStream(
        dc, KPGenericDevice::vistrelproDeviceFromIP("127.0.0.2", "?", 3.0, wire.server.serverPort())));
    auto t = dc.genericTransmitter();
    // Picture i is tagged i and captured at base + i microseconds.
    const auto base = std::chrono::steady_clock::now();
    auto timeOf = [&](int i) { return base + std::chrono::microseconds(i); };

    // Untimed pictures go alone; PCM never comes between a capture time and its picture.
    t->sendH264Data(taggedUnit(true, 0), 64, 64, timeOf(0));
    t->sendPCMData(QByteArray(16, '\0'));
    t->sendH264Data(taggedUnit(false, 1), 64, 64);
    t->sendImageWithData(QByteArray("\xff\xd8#2#\xff\xd9", 7), timeOf(2));
    ASSERT_TRUE(waitUntil([&] { return wire.frames.size() >= 6; }));
    const std::vector<T> expected{T::CaptureTime, T::H264, T::Pcm, T::H264, T::CaptureTime, T::Jpeg};
    ASSERT_EQ(wire.frames.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(wire.frames[i].type, expected[i]) << "frame " << i;
    EXPECT_EQ(wire.frames[0].captureTimeUs, microseconds(timeOf(0)));
    EXPECT_EQ(wire.frames[4].captureTimeUs, microseconds(timeOf(2)));
    EXPECT_EQ(wire.frames[5].tag, "2");
    wire.frames.clear();

    // Back-pressure: big key frames until the sender drops one, then a non-key unit (dropped
    // while waiting for a key frame), then a key frame once the queue has drained.
    wire.setReading(false);
    int sent = 10;
    for (; sent < 250 && t->droppedFrames() == 0; ++sent) {
        t->sendH264Data(taggedUnit(true, sent, 256 * 1024), 1920, 1080, timeOf(sent));
        if (sent % 8 == 0)
            spin(5); // let the link thread write
    }
    ASSERT_GT(t->droppedFrames(), 0u);
    t->sendH264Data(taggedUnit(false, sent), 1920, 1080, timeOf(sent));
    EXPECT_EQ(t->droppedFrames(), 2u);
    wire.setReading(true);
    ASSERT_TRUE(waitUntil([&] { return t->queuedBytes() == 0; }, 15000));
    const int last = ++sent;
    t->sendH264Data(taggedUnit(true, last), 1920, 1080, timeOf(last));
    ASSERT_TRUE(
        waitUntil([&] { return !wire.frames.empty() && wire.frames.back().tag.toInt() == last; }, 15000));

    // Only pairs arrived: each picture right behind the capture time it was sent with.
    ASSERT_EQ(wire.frames.size() % 2, 0u);
    for (std::size_t i = 0; i < wire.frames.size(); i += 2) {
        ASSERT_EQ(wire.frames[i].type, T::CaptureTime) << "frame " << i;
        ASSERT_EQ(wire.frames[i + 1].type, T::H264) << "frame " << i + 1;
        EXPECT_EQ(wire.frames[i].captureTimeUs, microseconds(timeOf(wire.frames[i + 1].tag.toInt()))) << i;
    }
    EXPECT_EQ(wire.frames.size() / 2 + t->droppedFrames(), std::size_t(last - 10 + 1));
}

TEST(TransmitterReceiverEvents, SplitScreenChangesAreObservable)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "Split"));
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    ASSERT_TRUE(startStream(dc, *rx));
    auto t = dc.transmitter();
    // The only stream has the whole screen: screen 1 of 1, counted from 1.
    EXPECT_EQ(t->splitScreenController()->screenNumber(), 1);
    EXPECT_EQ(t->splitScreenController()->screenPosition(), 1);
    std::vector<std::pair<int, int>> seen;
    QObject::connect(t.get(), &KPDataTransmitter::screenPositionChanged, &dc,
                     [&](int n, int p) { seen.emplace_back(n, p); });
    rx->setSplitScreen(2, 2);
    ASSERT_TRUE(waitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen.back(), std::make_pair(2, 2));
    EXPECT_EQ(t->splitScreenController()->screenNumber(), 2);
    EXPECT_EQ(t->splitScreenController()->screenPosition(), 2);

    rx->setSplitScreen(1, 1);
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(t->splitScreenController()->screenNumber(), 1);
    EXPECT_EQ(t->splitScreenController()->screenPosition(), 1);
    // Repeating the same layout is no change.
    rx->setSplitScreen(1, 1);
    spin(200);
    EXPECT_EQ(seen.size(), 2u);

    // Once the stream ends the receiver no longer shows this sender: the next stream does not
    // start out looking as if it had the whole screen.
    dc.stopWifiDisplay();
    EXPECT_EQ(t->splitScreenController()->screenPosition(), 0);
    EXPECT_EQ(seen.size(), 2u);
}

TEST(TransmitterReceiverEvents, LayoutsAreReadWithTheirRangesChecked)
{
    using KPReceiverLinkCodec::Layout;
    using KPReceiverLinkCodec::LayoutResult;
    Layout layout{3, 3};
    EXPECT_EQ(KPReceiverLinkCodec::readLayout(Json::object(), layout), LayoutResult::Absent);
    for (const char* text :
         {R"({"screenNumber":2})", R"({"screenNumber":0,"screenPosition":0})",
          R"({"screenNumber":17,"screenPosition":1})", R"({"screenNumber":2,"screenPosition":-1})",
          R"({"screenNumber":"2","screenPosition":1})", R"({"screenNumber":2.5,"screenPosition":1})",
          R"({"screenNumber":4294967297,"screenPosition":1})"})
        EXPECT_EQ(KPReceiverLinkCodec::readLayout(Json::parse(text), layout), LayoutResult::Malformed)
            << text;
    EXPECT_EQ(layout, (Layout{3, 3})) << "a malformed layout leaves the old one";
    EXPECT_EQ(
        KPReceiverLinkCodec::readLayout(Json::parse(R"({"screenNumber":2,"screenPosition":3})"), layout),
        LayoutResult::Impossible);
    EXPECT_EQ(
        KPReceiverLinkCodec::readLayout(Json::parse(R"({"screenNumber":2,"screenPosition":0})"), layout),
        LayoutResult::Ok);
    EXPECT_EQ(layout, (Layout{2, 0}));
    EXPECT_FALSE(layout.isWholeScreen());
    EXPECT_EQ(KPReceiverLinkCodec::readLayout(KPReceiverLinkCodec::layoutJson({1, 1}), layout),
              LayoutResult::Ok);
    EXPECT_TRUE(layout.isWholeScreen());
}

TEST(TransmitterReceiverEvents, PointerEventsReachListenersAndMalformedOnesAreRejected)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "Pointer"));
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    ASSERT_TRUE(startStream(dc, *rx));
    auto t = dc.transmitter();
    RecordingListener listener;
    t->HIDEventController()->addHIDEventListener(&listener);

    // Disabled: nothing is delivered.
    rx->sendPointerEvent(Json{{"event", "leftDown"}});
    spin(200);
    EXPECT_EQ(listener.count(), 0u);

    t->HIDEventController()->setEnableHIDControl(true);
    rx->sendPointerEvent(Json{{"event", "move"}, {"dx", 5}, {"dy", -3.5}});
    rx->sendPointerEvent(
        Json{{"event", "touchDown"}, {"x", 1920}, {"y", 1080}, {"baseWidth", 1920}, {"baseHeight", 1080}});
    rx->sendPointerEvent(Json{{"event", "leftDown"}});
    ASSERT_TRUE(waitUntil([&] { return listener.count() == 3; }));
    EXPECT_EQ(listener.events, (std::vector<std::string>{"move", "touchDown", "leftDown"}));
    EXPECT_EQ(listener.lastDelta, QPointF(5, -3.5));
    EXPECT_EQ(listener.lastPoint, QPointF(1920, 1080));
    EXPECT_EQ(listener.lastBase, QSizeF(1920, 1080));

    const quint64 rejectedBefore = t->HIDEventController()->rejectedEvents();
    rx->sendPointerEvent(Json{{"event", "move"}, {"dx", 1e12}, {"dy", 0}});
    rx->sendPointerEvent(Json{{"event", "move"}, {"dx", "5"}, {"dy", 0}});
    rx->sendPointerEvent(Json{{"event", "move"}});
    rx->sendPointerEvent(
        Json{{"event", "touchDown"}, {"x", 1}, {"y", 1}, {"baseWidth", 0}, {"baseHeight", 1080}});
    rx->sendPointerEvent(
        Json{{"event", "touchDown"}, {"x", 1e6}, {"y", 1}, {"baseWidth", 100}, {"baseHeight", 100}});
    rx->sendPointerEvent(Json{{"event", "explode"}});
    rx->sendPointerEvent(Json{{"dx", 1}});
    ASSERT_TRUE(waitUntil([&] { return t->HIDEventController()->rejectedEvents() == rejectedBefore + 7; }));
    EXPECT_EQ(listener.count(), 3u);
    EXPECT_TRUE(dc.isConnected()) << "a malformed event must not cost the link";

    t->HIDEventController()->removeHIDEventListener(&listener);
    rx->sendPointerEvent(Json{{"event", "leftDown"}});
    spin(200);
    EXPECT_EQ(listener.count(), 3u);
}

TEST(TransmitterReceiverEvents, DisplayStopPauseResumeArePostedAndEndTheStream)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "Display"));
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    int disconnects = 0;
    dc.setWifiDisplayDisconnectCallback([&] { ++disconnects; });
    ASSERT_TRUE(startStream(dc, *rx));
    auto t = dc.transmitter();

    std::mutex mutex;
    std::vector<std::string> posted;
    auto& center = NotificationCenter::defaultCenter();
    std::vector<NotificationObserver> observers;
    for (const char* name : {"stopDisplay", "pauseDisplay", "resumeDisplay"})
        observers.emplace_back(center, center.addObserver(name, t.get(), [&](const Notification& n) {
            std::lock_guard lock(mutex);
            posted.push_back(n.name);
        }));
    auto postedCount = [&] {
        std::lock_guard lock(mutex);
        return posted.size();
    };

    rx->pauseDisplay();
    ASSERT_TRUE(waitUntil([&] { return postedCount() == 1; }));
    EXPECT_EQ(t->currentState(), KPGenericDeviceDataTransmitter::kStateDoNotSend);
    rx->resumeDisplay();
    ASSERT_TRUE(waitUntil([&] { return postedCount() == 2; }));
    EXPECT_EQ(t->currentState(), KPGenericDeviceDataTransmitter::kStateStreaming);
    rx->stopDisplay();
    ASSERT_TRUE(waitUntil([&] { return postedCount() == 3 && disconnects == 1; }));
    EXPECT_EQ(posted, (std::vector<std::string>{"pauseDisplay", "resumeDisplay", "stopDisplay"}));
    EXPECT_FALSE(dc.isWIFIDisplayOn());
    EXPECT_TRUE(dc.isConnected());

    // Our own stop raises the disconnect callback once and posts nothing.
    ASSERT_TRUE(waitUntil([&] { return rx->statistics().streamingSenders == 0; }));
    std::vector<std::optional<KPError>> starts;
    dc.setWifiDisplayStartCallback([&](std::optional<KPError> e) { starts.push_back(e); });
    dc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return starts.size() == 1; }));
    dc.stopWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return disconnects == 2; }));
    spin(100);
    EXPECT_EQ(disconnects, 2);
    EXPECT_EQ(postedCount(), 3u);
    EXPECT_TRUE(waitUntil([&] { return rx->statistics().streamingSenders == 0; }));
}

TEST(TransmitterReceiverEvents, RefusedStreamReportsTheErrorAndStartsNothing)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "NoStream"));
    ASSERT_TRUE(rx);
    rx->setRefuseStream(true);
    KPDeviceController dc;
    registerGeneric(dc);
    ASSERT_TRUE(connectTo(dc, *rx));
    std::vector<std::optional<KPError>> starts;
    int disconnects = 0;
    dc.setWifiDisplayStartCallback([&](std::optional<KPError> e) { starts.push_back(e); });
    dc.setWifiDisplayDisconnectCallback([&] { ++disconnects; });
    dc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return !starts.empty(); }));
    ASSERT_TRUE(starts[0].has_value());
    EXPECT_EQ(starts[0]->code, KPError::Refused);
    EXPECT_FALSE(dc.isWIFIDisplayOn());
    EXPECT_EQ(disconnects, 0);

    // Without a connection the start fails too, once.
    dc.disconnect();
    starts.clear();
    dc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return !starts.empty(); }));
    EXPECT_EQ(starts[0]->code, KPError::NotConnected);
}

TEST(TransmitterReceiverEvents, ReceiverVanishingMidStreamEndsTheStreamOnce)
{
    struct LossDelegate : KPDeviceControllerDelegate
    {
        int losses = 0;
        std::optional<KPError> error;
        void deviceControllerDidLoseConnection(KPDeviceController*, const std::shared_ptr<KPPrototypeDevice>&,
                                               const KPError& e) override
        {
            ++losses;
            error = e;
        }
    } delegate;

    auto rx = startReceiver(receiverAt("127.0.0.2", "Vanishing"));
    ASSERT_TRUE(rx);
    KPDeviceController dc;
    registerGeneric(dc);
    dc.setDelegate(&delegate);
    int disconnects = 0;
    dc.setWifiDisplayDisconnectCallback([&] { ++disconnects; });
    ASSERT_TRUE(startStream(dc, *rx));
    auto t = dc.transmitter();
    std::atomic<int> stopPosts{0};
    auto& center = NotificationCenter::defaultCenter();
    NotificationObserver observer(
        center, center.addObserver("stopDisplay", t.get(), [&](const Notification&) { ++stopPosts; }));

    const auto units = encodeH264(halfWhitePicture(64, 64), 3);
    for (const auto& au : units)
        t->sendH264Data(au, 64, 64);
    rx->dropLinks();
    ASSERT_TRUE(waitUntil([&] { return disconnects == 1 && delegate.losses == 1; }));
    spin(200);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(stopPosts, 1);
    EXPECT_EQ(delegate.error->code, KPError::ConnectionClosed);
    EXPECT_FALSE(dc.isWIFIDisplayOn());
    EXPECT_FALSE(dc.isConnected());
    EXPECT_EQ(t->currentState(), KPGenericDeviceDataTransmitter::kStateDoNotSend);
    EXPECT_FALSE(t->socketStatus().has_value());
    // Sending into the dead link is harmless.
    for (const auto& au : units)
        t->sendH264Data(au, 64, 64);
    dc.setDelegate(nullptr);
}

namespace {

// A host-control delegate that records the calls and answers as told.
struct HostDelegate : KPDataTransmitterHostControlDelegate
{
    std::mutex mutex;
    std::vector<std::string> calls;
    enum class Answer
    {
        Allow,
        Deny,
        Drop,
        Keep
    };
    std::atomic<Answer> answer{Answer::Allow}; // set by the test, read on the link thread
    std::atomic<Answer> fullscreenAnswer{Answer::Allow};
    std::atomic<int> allowMode{1}; // the mode of an "allow" to a stream request
    KPHostControlReply kept;       // guarded by mutex
    QString lastGuestName;         // guarded by mutex

    bool hasKept()
    {
        std::lock_guard lock(mutex);
        return bool(kept);
    }

    void record(const char* c)
    {
        std::lock_guard lock(mutex);
        calls.emplace_back(c);
    }
    bool has(const char* c) { return count(c) > 0; }
    long count(const char* c)
    {
        std::lock_guard lock(mutex);
        return std::count(calls.begin(), calls.end(), c);
    }
    bool transmitterHostControlDidReceiveAskRequestStream(KPDataTransmitter*, const QString&,
                                                          const QString& name,
                                                          KPHostControlReply completion) override
    {
        record("ask");
        {
            std::lock_guard lock(mutex);
            lastGuestName = name;
        }
        switch (answer.load()) {
        case Answer::Allow:
            completion(true, allowMode);
            completion(false, 1); // a second call must be ignored
            return false;
        case Answer::Deny:
            completion(false, 1);
            return false;
        case Answer::Drop:
            return true; // the reply block is dropped without a call
        case Answer::Keep: {
            std::lock_guard lock(mutex);
            kept = completion;
            return true;
        }
        }
        return false;
    }
    void hostControlDidReceiveAskFullscreen(KPDataTransmitter*, const QString&, const QString&,
                                            KPHostControlReply completion) override
    {
        record("askFullscreen");
        switch (fullscreenAnswer.load()) {
        case Answer::Allow:
            completion(true, 2);
            break;
        case Answer::Deny:
            completion(false, 2);
            break;
        case Answer::Drop:
            break;
        case Answer::Keep: {
            std::lock_guard lock(mutex);
            kept = completion;
            break;
        }
        }
    }
    void transmitterHostControlRoleDidChange(KPDataTransmitter*) override { record("role"); }
    void transmitterHostControlWaitForResponse(KPDataTransmitter*) override { record("wait"); }
    void transmitterHostControlHostDidAcceptRequest(KPDataTransmitter*) override { record("accept"); }
    void transmitterHostControlDenyFromHost(KPDataTransmitter*) override { record("deny"); }
    void transmitterHostControlDidReceiveCancelRequestStream(KPDataTransmitter*, const QString&) override
    {
        record("cancel");
    }
};

} // namespace

TEST(TransmitterConference, HostAnswersGuestsAndAnUnansweredRequestIsDenied)
{
    auto rx = startReceiver(receiverAt("127.0.0.2", "Conference"));
    ASSERT_TRUE(rx);
    KPDeviceController hostDc, guestDc;
    registerGeneric(hostDc);
    registerGeneric(guestDc);
    auto hostDelegate = std::make_shared<HostDelegate>();
    auto guestDelegate = std::make_shared<HostDelegate>();

    ASSERT_TRUE(startStream(hostDc, *rx));
    auto hostT = hostDc.transmitter();
    hostT->conferenceController()->setHostControlDelegate(hostDelegate);
    ASSERT_TRUE(waitUntil([&] { return hostT->conferenceController()->isHost(); }));
    EXPECT_EQ(hostT->conferenceController()->version(), 2);

    ASSERT_TRUE(connectTo(guestDc, *rx));
    auto guestT = guestDc.transmitter();
    guestT->conferenceController()->setHostControlDelegate(guestDelegate);
    std::vector<std::optional<KPError>> guestStarts;
    guestDc.setWifiDisplayStartCallback([&](std::optional<KPError> e) { guestStarts.push_back(e); });

    // Allowed: the guest waits, is accepted and streams; both see a split screen.
    guestDc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return guestStarts.size() == 1; }));
    EXPECT_FALSE(guestStarts[0].has_value());
    EXPECT_TRUE(hostDelegate->has("ask"));
    EXPECT_TRUE(guestDelegate->has("wait"));
    EXPECT_TRUE(guestDelegate->has("accept"));
    EXPECT_TRUE(guestT->conferenceController()->isGuest());
    EXPECT_EQ(rx->statistics().lastHostAnswer, std::optional<bool>(true));
    EXPECT_TRUE(waitUntil([&] { return hostT->splitScreenController()->screenNumber() == 2; }));

    // Shared: the host keeps the first place, the guest takes the second.
    EXPECT_EQ(hostT->splitScreenController()->screenPosition(), 1);
    EXPECT_TRUE(waitUntil([&] { return guestT->splitScreenController()->screenPosition() == 2; }));
    EXPECT_TRUE(hostDc.isWIFIDisplayOn());

    // Denied.
    guestDc.stopWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return rx->statistics().streamingSenders == 1; }));
    hostDelegate->answer = HostDelegate::Answer::Deny;
    guestDc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return guestStarts.size() == 2; }));
    ASSERT_TRUE(guestStarts[1].has_value());
    EXPECT_EQ(guestStarts[1]->code, KPError::DeniedByHost);
    EXPECT_TRUE(guestDelegate->has("deny"));

    // The host's policy drops the question without answering: the guest is denied, not stuck.
    hostDelegate->answer = HostDelegate::Answer::Drop;
    guestDc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return guestStarts.size() == 3; }));
    ASSERT_TRUE(guestStarts[2].has_value());
    EXPECT_EQ(guestStarts[2]->code, KPError::DeniedByHost);

    // The guest withdraws its request: the host hears of it, the guest's start is cancelled.
    hostDelegate->answer = HostDelegate::Answer::Keep;
    guestDc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return hostDelegate->hasKept(); }));
    guestT->cancelRequest();
    ASSERT_TRUE(waitUntil([&] { return guestStarts.size() == 4; }));
    EXPECT_EQ(guestStarts[3]->code, KPError::Cancelled);
    EXPECT_TRUE(waitUntil([&] { return hostDelegate->has("cancel"); }));
    {
        std::lock_guard lock(hostDelegate->mutex);
        hostDelegate->kept = nullptr;
    }
}

namespace {

// A host streaming to a conference receiver and a connected guest, each with its delegate.
struct Conference
{
    explicit Conference(int version)
    {
        auto cfg = receiverAt("127.0.0.2", "Conference");
        cfg.conferenceVersion = version;
        rx = startReceiver(cfg);
        registerGeneric(hostDc);
        registerGeneric(guestDc);
    }
    bool open()
    {
        if (!rx || !startStream(hostDc, *rx))
            return false;
        hostDc.transmitter()->conferenceController()->setHostControlDelegate(hostDelegate);
        hostDc.setWifiDisplayDisconnectCallback([this] { ++hostEnded; });
        if (!waitUntil([&] { return hostDc.transmitter()->conferenceController()->isHost(); }))
            return false;
        if (!connectTo(guestDc, *rx))
            return false;
        guestDc.transmitter()->conferenceController()->setHostControlDelegate(guestDelegate);
        guestDc.setWifiDisplayStartCallback([this](std::optional<KPError> e) { guestStarts.push_back(e); });
        return true;
    }
    KPSplitScreenController& hostSplit() { return *hostDc.transmitter()->splitScreenController(); }
    KPSplitScreenController& guestSplit() { return *guestDc.transmitter()->splitScreenController(); }

    std::unique_ptr<ReceiverEmulator> rx;
    KPDeviceController hostDc, guestDc;
    std::shared_ptr<HostDelegate> hostDelegate = std::make_shared<HostDelegate>();
    std::shared_ptr<HostDelegate> guestDelegate = std::make_shared<HostDelegate>();
    std::vector<std::optional<KPError>> guestStarts;
    int hostEnded = 0;
};

} // namespace

TEST(TransmitterConference, ReplaceGivesTheGuestTheWholeScreenAndStopsTheHost)
{
    Conference c(2);
    ASSERT_TRUE(c.open());
    c.hostDelegate->allowMode = 2;
    c.guestDc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return c.guestStarts.size() == 1; }));
    EXPECT_FALSE(c.guestStarts[0].has_value());
    ASSERT_TRUE(waitUntil([&] { return c.hostEnded == 1; }));
    EXPECT_FALSE(c.hostDc.isWIFIDisplayOn());
    EXPECT_EQ(c.rx->statistics().streamingSenders, 1);
    EXPECT_EQ(c.rx->statistics().lastHostAnswerMode, 2);
    EXPECT_TRUE(c.guestSplit().screenNumber() == 1 && c.guestSplit().screenPosition() == 1);
    // The screen's only sender hosts the conference now.
    EXPECT_TRUE(waitUntil([&] { return c.guestDc.transmitter()->conferenceController()->isHost(); }));
    EXPECT_FALSE(c.hostDc.transmitter()->conferenceController()->isHost());
}

TEST(TransmitterConference, VersionOneReceiversHaveNoSplitScreenSoAnAllowReplaces)
{
    Conference c(1);
    ASSERT_TRUE(c.open());
    EXPECT_EQ(c.hostDc.transmitter()->conferenceController()->version(), 1);
    c.hostDelegate->allowMode = 1;
    c.guestDc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return c.guestStarts.size() == 1; }));
    EXPECT_FALSE(c.guestStarts[0].has_value());
    ASSERT_TRUE(waitUntil([&] { return c.hostEnded == 1; }));
    EXPECT_EQ(c.rx->statistics().streamingSenders, 1);
    EXPECT_TRUE(c.guestSplit().screenNumber() == 1 && c.guestSplit().screenPosition() == 1);
}

TEST(TransmitterConference, AGuestsFullScreenRequestWaitsForTheHostWhoMayDenyOrBeCancelled)
{
    Conference c(2);
    ASSERT_TRUE(c.open());
    auto* guestConference = c.guestDc.transmitter()->conferenceController();
    std::vector<bool> granted;
    auto request = [&] { guestConference->requestFullscreen(true, [&](bool g) { granted.push_back(g); }); };

    // Denied: the guest is told, the host streams on.
    c.hostDelegate->fullscreenAnswer = HostDelegate::Answer::Deny;
    request();
    ASSERT_TRUE(waitUntil([&] { return granted.size() == 1; }));
    EXPECT_FALSE(granted[0]);
    EXPECT_TRUE(c.guestDelegate->has("wait"));
    EXPECT_TRUE(c.guestDelegate->has("deny"));
    EXPECT_TRUE(c.hostDc.isWIFIDisplayOn());

    // Withdrawn while the host decides: the host's question is withdrawn, the guest gets no.
    c.hostDelegate->fullscreenAnswer = HostDelegate::Answer::Keep;
    request();
    ASSERT_TRUE(waitUntil([&] { return c.hostDelegate->hasKept(); }));
    c.guestDc.transmitter()->cancelRequest();
    ASSERT_TRUE(waitUntil([&] { return granted.size() == 2; }));
    EXPECT_FALSE(granted[1]);
    EXPECT_TRUE(waitUntil([&] { return c.hostDelegate->has("cancel"); }));
    {
        // The host's late answer finds nothing waiting.
        std::lock_guard lock(c.hostDelegate->mutex);
        c.hostDelegate->kept(true, 2);
        c.hostDelegate->kept = nullptr;
    }
    spin(200);
    EXPECT_EQ(granted.size(), 2u);
    EXPECT_TRUE(c.hostDc.isWIFIDisplayOn());

    // Allowed from idle: the grant holds for the guest's next stream, which takes the whole
    // screen without asking the host again.
    c.hostDelegate->fullscreenAnswer = HostDelegate::Answer::Allow;
    request();
    ASSERT_TRUE(waitUntil([&] { return granted.size() == 3; }));
    EXPECT_TRUE(granted[2]);
    EXPECT_TRUE(c.guestDelegate->has("accept"));
    const long asked = c.hostDelegate->count("ask");
    c.guestDc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return c.guestStarts.size() == 1; }));
    EXPECT_FALSE(c.guestStarts[0].has_value());
    EXPECT_EQ(c.hostDelegate->count("ask"), asked);
    ASSERT_TRUE(waitUntil([&] { return c.hostEnded == 1; }));
    EXPECT_TRUE(c.guestSplit().screenNumber() == 1 && c.guestSplit().screenPosition() == 1);
}

TEST(TransmitterConference, FullScreenFromIdleIsGrantedAndAStreamingSenderTakesTheWholeScreen)
{
    // Without a conference every sender may ask.
    Conference c(0);
    ASSERT_TRUE(c.rx && startStream(c.hostDc, *c.rx));
    c.hostDc.setWifiDisplayDisconnectCallback([&] { ++c.hostEnded; });
    ASSERT_TRUE(connectTo(c.guestDc, *c.rx));
    std::vector<std::optional<KPError>> starts;
    c.guestDc.setWifiDisplayStartCallback([&](std::optional<KPError> e) { starts.push_back(e); });
    c.guestDc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return starts.size() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return c.hostSplit().screenNumber() == 2; }));
    EXPECT_EQ(c.guestSplit().screenPosition(), 2);

    // The first sender asks for the whole screen while sharing it: the other is stopped.
    std::vector<bool> granted;
    c.hostDc.transmitter()->conferenceController()->requestFullscreen(true,
                                                                      [&](bool g) { granted.push_back(g); });
    ASSERT_TRUE(waitUntil([&] { return granted.size() == 1; }));
    EXPECT_TRUE(granted[0]);
    ASSERT_TRUE(waitUntil([&] { return !c.guestDc.isWIFIDisplayOn(); }));
    EXPECT_TRUE(
        waitUntil([&] { return c.hostSplit().screenNumber() == 1 && c.hostSplit().screenPosition() == 1; }));
    EXPECT_EQ(c.guestSplit().screenPosition(), 0);

    // From idle: granted, and the next stream is alone on the screen.
    c.guestDc.transmitter()->conferenceController()->requestFullscreen(true,
                                                                       [&](bool g) { granted.push_back(g); });
    ASSERT_TRUE(waitUntil([&] { return granted.size() == 2; }));
    EXPECT_TRUE(granted[1]);
    c.guestDc.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return starts.size() == 2; }));
    EXPECT_FALSE(starts[1].has_value());
    ASSERT_TRUE(waitUntil([&] { return c.hostEnded == 1; }));
    EXPECT_TRUE(c.guestSplit().screenNumber() == 1 && c.guestSplit().screenPosition() == 1);
}
