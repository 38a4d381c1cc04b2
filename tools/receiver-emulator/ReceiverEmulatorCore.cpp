#include "ReceiverEmulatorCore.h"

#include "Beamline/JsonAccess.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPReceiverLinkCodec.h"
#include "Beamline/KPRemoteCommandGenerator.h"
#include "Beamline/KPRemoteHost.h"
#include "ConfigHttpServer.h"
#include "H264Decoder.h"
#include "JpegDecoder.h"
#include "PcmAnalysis.h"

#include <QLoggingCategory>
#include <QNetworkDatagram>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <chrono>
#include <limits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <utility>

Q_LOGGING_CATEGORY(lcReceiverEmulator, "pikora.receiver-emulator")

namespace M = KPBeamlineProtocol::Method;
namespace EC = KPBeamlineProtocol::ErrorCode;

namespace {

// Capture-to-decoded times above this are taken for a sender on another clock.
constexpr std::int64_t kMaxPlausibleLatencyUs = 60'000'000;

// Records the latency of a picture captured at `captureUs` (sender's steady clock) and decoded
// at `decodedAt`; implausible ones (another host's clock) are only counted.
void recordLatency(ReceiverStatistics& stats, std::uint64_t captureUs,
                   std::chrono::steady_clock::time_point decodedAt)
{
    const std::int64_t decodedUs =
        std::chrono::duration_cast<std::chrono::microseconds>(decodedAt.time_since_epoch()).count();
    if (captureUs > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
        ++stats.latencyUnrelatedClock;
        return;
    }
    const std::int64_t latency = decodedUs - std::int64_t(captureUs);
    if (latency < 0 || latency >= kMaxPlausibleLatencyUs) {
        ++stats.latencyUnrelatedClock;
        return;
    }
    stats.tickToDecodedUs.append(latency);
    if (stats.tickToDecodedUs.size() > ReceiverStatistics::kMaxLatencySamples)
        stats.tickToDecodedUs.removeFirst();
}

// The host's answer to "hostControl.ask": allow (false when malformed) and mode (0 when
// malformed or an error).
std::pair<bool, int> hostAnswer(const KPJSONRPCResponse& answer)
{
    if (answer.isError())
        return {false, 0};
    const bool allow = JsonAccess::boolean(answer.result(), "allow").value.value_or(false);
    const int mode = int(JsonAccess::integer(answer.result(), "mode", 1, 2).value.value_or(0));
    return {allow, mode};
}

void recordPictureSize(ReceiverStatistics& stats, const QSize& size)
{
    if (stats.pictureSizes.size() < ReceiverStatistics::kMaxPictureSizes &&
        !stats.pictureSizes.contains(size))
        stats.pictureSizes.append(size);
}

} // namespace

struct ReceiverEmulatorCore::Sender
{
    QTcpSocket* socket = nullptr;
    FrameCodec::Decoder decoder{KPBeamlineProtocol::kMaxFrameBodySize};
    QString peer;
    QString name;
    bool helloDone = false;
    bool streaming = false;
    bool closing = false;
    int role = KPBeamlineProtocol::RoleNone;
    Json pendingStart;      // id of a startDisplay waiting for the host's answer
    Json pendingFullscreen; // id of a requestFullscreen waiting for the host's answer
    // Full screen was granted while this sender did not stream: its next stream takes the
    // whole screen without asking the host again.
    bool fullscreenGranted = false;
    // The layout this sender was last told of (hello, stream answer, "splitScreen").
    KPReceiverLinkCodec::Layout announced;
    std::shared_ptr<H264Decoder> h264;
    // The capture time (sender's steady clock, microseconds) announced for the next picture.
    std::optional<std::uint64_t> pendingCaptureUs;
    // Read-rate limit: bytes that may be read now, refilled with time.
    double readAllowance = 0;
    std::chrono::steady_clock::time_point lastRefill = std::chrono::steady_clock::now();
    bool readScheduled = false;
    std::map<long long, ResponseHandler> pending;
    long long nextId = 1;
};

ReceiverEmulatorCore::ReceiverEmulatorCore(ReceiverEmulatorConfig config)
    : m_config(std::move(config)), m_readRate(std::max<qint64>(0, m_config.readRateBitsPerSecond)),
      m_jpeg(std::make_unique<JpegDecoder>())
{
}

namespace {
// A rate-limited reader keeps small buffers (about kReadBufferSeconds of the rate, in the
// socket and in the kernel each), so the bytes the slow link has not carried yet wait at the
// sender; it may catch up on at most kReadBurstSeconds when its thread was kept from running.
constexpr double kReadBufferSeconds = 0.02;
constexpr double kReadBurstSeconds = 0.1;
constexpr qint64 kMinReadBuffer = 4096;
constexpr int kSegmentSize = 1448;

qint64 readBufferFor(qint64 bitsPerSecond)
{
    return std::max<qint64>(kMinReadBuffer, qint64(double(bitsPerSecond) / 8 * kReadBufferSeconds));
}
} // namespace

void ReceiverEmulatorCore::applyReadRate(QTcpSocket* socket) const
{
    if (m_readRate <= 0) {
        socket->setReadBufferSize(m_readingPaused ? 64 * 1024 : 256 * 1024);
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 256 * 1024);
        return;
    }
    const qint64 buffer = readBufferFor(m_readRate);
    socket->setReadBufferSize(2 * buffer);
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, int(buffer));
}

void ReceiverEmulatorCore::setReadRate(qint64 bitsPerSecond)
{
    m_readRate = std::max<qint64>(0, bitsPerSecond);
    for (auto& s : m_senders) {
        applyReadRate(s->socket);
        s->readAllowance = 0;
        s->lastRefill = std::chrono::steady_clock::now();
        readSenderLater(s.get(), 0);
    }
}

void ReceiverEmulatorCore::readSenderLater(Sender* s, int ms)
{
    if (s->readScheduled)
        return;
    s->readScheduled = true;
    QTimer::singleShot(ms, this, [this, s] {
        for (auto& live : m_senders)
            if (live.get() == s) {
                s->readScheduled = false;
                readSender(s);
            }
    });
}

ReceiverEmulatorCore::~ReceiverEmulatorCore()
{
    stop();
}

bool ReceiverEmulatorCore::start(QString* error)
{
    stop();
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        stop();
        return false;
    };
    m_clock.start();
    m_discovery = new QUdpSocket(this);
    if (!m_discovery->bind(m_config.bindAddress, quint16(m_config.discoveryPort)))
        return fail(QStringLiteral("discovery port: %1").arg(m_discovery->errorString()));
    connect(m_discovery, &QUdpSocket::readyRead, this, &ReceiverEmulatorCore::readDiscovery);

    m_control = new QTcpServer(this);
    if (!m_control->listen(m_config.bindAddress, quint16(m_config.controlPort)))
        return fail(QStringLiteral("control port: %1").arg(m_control->errorString()));
    // Ethernet-sized segments, as on the receiver's real network, rather than loopback's 64 KiB:
    // with the small receive buffers of a read-rate limit, a window never reaches a loopback
    // segment, so the link would stall in zero-window probes instead of running at the rate.
    if (const qintptr fd = m_control->socketDescriptor(); fd >= 0) {
        const int segment = kSegmentSize;
        ::setsockopt(int(fd), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    connect(m_control, &QTcpServer::newConnection, this, &ReceiverEmulatorCore::acceptSenders);

    if (m_config.configPort >= 0 || m_config.firstConfigPort >= 0) {
        m_http = new ConfigHttpServer([this] { return configFile(); }, this);
        QString why;
        if (m_config.configPort >= 0 &&
            !m_http->listen(m_config.bindAddress, quint16(m_config.configPort), &why))
            return fail(QStringLiteral("configuration port: %1").arg(why));
        if (m_config.firstConfigPort >= 0 &&
            !m_http->listen(m_config.bindAddress, quint16(m_config.firstConfigPort), &why))
            return fail(QStringLiteral("first configuration port: %1").arg(why));
    }
    if (!m_config.rawStreamPath.isEmpty()) {
        m_raw.setFileName(m_config.rawStreamPath);
        if (!m_raw.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail(QStringLiteral("raw stream file: %1").arg(m_raw.errorString()));
    }
    m_running = true;
    qCInfo(lcReceiverEmulator).noquote()
        << "receiver" << m_config.name << "on" << m_config.bindAddress.toString() << "discovery"
        << discoveryPort() << "control" << controlPort() << "config" << configPort();
    return true;
}

void ReceiverEmulatorCore::stop()
{
    if (m_running && !m_config.snapshotPath.isEmpty())
        saveSnapshot(m_config.snapshotPath);
    if (m_running && !m_config.pcmWavPath.isEmpty())
        savePcm(m_config.pcmWavPath);
    m_running = false;
    while (!m_senders.empty()) {
        Sender* s = m_senders.back().get();
        s->socket->disconnect(this);
        s->socket->abort();
        s->socket->deleteLater();
        m_senders.pop_back();
    }
    delete m_discovery;
    m_discovery = nullptr;
    delete m_control;
    m_control = nullptr;
    delete m_http;
    m_http = nullptr;
    if (m_raw.isOpen())
        m_raw.close();
}

quint16 ReceiverEmulatorCore::discoveryPort() const
{
    return m_discovery ? m_discovery->localPort() : 0;
}

quint16 ReceiverEmulatorCore::controlPort() const
{
    return m_control ? m_control->serverPort() : 0;
}

quint16 ReceiverEmulatorCore::configPort() const
{
    return m_http && m_config.configPort >= 0 ? m_http->ports().value(0) : 0;
}

quint16 ReceiverEmulatorCore::firstConfigPort() const
{
    return m_http && m_config.firstConfigPort >= 0 ? m_http->ports().constLast() : 0;
}

QString ReceiverEmulatorCore::configCommand(const QString& arguments)
{
    return m_http ? m_http->execute(arguments) : QStringLiteral("error: no HTTP server");
}

void ReceiverEmulatorCore::setName(const QString& name)
{
    m_config.name = name;
    m_config.displayName.clear();
}

Json ReceiverEmulatorCore::describe() const
{
    KPRemoteHost host;
    host.setHostName(m_config.name);
    host.setDisplayName(m_config.displayName);
    host.setDeviceModel(m_config.deviceModel);
    host.setVendor(m_config.vendor);
    host.setSrcvers(m_config.srcvers);
    host.setProtocolVersion(KPBeamlineProtocol::kProtocolVersion);
    Json parameters{{"controlPort", controlPort()},
                    {"h264", m_config.h264},
                    {"conferenceVersion", m_config.conferenceVersion}};
    if (m_config.maxResolution.isValid() && !m_config.maxResolution.isEmpty()) {
        parameters["maxWidth"] = m_config.maxResolution.width();
        parameters["maxHeight"] = m_config.maxResolution.height();
    }
    if (configPort() != 0)
        parameters["configPort"] = configPort();
    host.setParameters(parameters);
    host.setPasscode(m_config.passcode);
    return host.toJson();
}

QByteArray ReceiverEmulatorCore::configFile()
{
    {
        std::lock_guard lock(m_statsMutex);
        ++m_stats.configRequests;
    }
    Json config{{"ip_addr", m_config.bindAddress.toString().toStdString()},
                {"hostname", m_config.name.toStdString()}};
    if (!m_config.ssid24.isEmpty())
        config["ssid_2.4G"] = m_config.ssid24.toStdString();
    if (!m_config.ssid5.isEmpty())
        config["ssid_5G"] = m_config.ssid5.toStdString();
    return QByteArray::fromStdString(config.dump());
}

void ReceiverEmulatorCore::readDiscovery()
{
    while (m_discovery && m_discovery->hasPendingDatagrams()) {
        const QNetworkDatagram d = m_discovery->receiveDatagram(KPBeamlineProtocol::kMaxEchoDatagramSize + 1);
        const std::optional<std::string> token = KPRemoteCommandGenerator::parseEchoCommand(d.data());
        if (!token)
            continue;
        {
            std::lock_guard lock(m_statsMutex);
            ++m_stats.discoveryQueries;
        }
        if (m_silent)
            continue;
        // The query's token goes back unchanged: the sender counts only replies to its queries.
        Json described = describe();
        if (!token->empty())
            described["token"] = *token;
        const QByteArray reply =
            QByteArray::fromStdString(described.dump(-1, ' ', false, Json::error_handler_t::replace));
        {
            // Counted before sending, so whoever got the reply also sees it counted.
            std::lock_guard lock(m_statsMutex);
            ++m_stats.discoveryReplies;
        }
        if (m_discovery->writeDatagram(reply, d.senderAddress(), quint16(d.senderPort())) < 0)
            qCWarning(lcReceiverEmulator) << "discovery reply failed:" << m_discovery->errorString();
    }
}

void ReceiverEmulatorCore::acceptSenders()
{
    while (m_control && m_control->hasPendingConnections()) {
        QTcpSocket* socket = m_control->nextPendingConnection();
        socket->setParent(this);
        // A bounded read buffer: when the emulator stops reading, the sender's socket fills up.
        socket->setReadBufferSize(256 * 1024);
        auto sender = std::make_unique<Sender>();
        Sender* s = sender.get();
        s->socket = socket;
        s->peer = QHostAddress(socket->peerAddress().toIPv4Address()).toString();
        s->h264 = std::make_shared<H264Decoder>();
        m_senders.push_back(std::move(sender));
        connect(socket, &QTcpSocket::readyRead, this, [this, s] { readSender(s); });
        connect(socket, &QTcpSocket::disconnected, this, [this, s] { removeSender(s); });
        if (m_readingPaused || m_readRate > 0)
            applyReadRate(socket);
    }
}

void ReceiverEmulatorCore::setReadingPaused(bool paused)
{
    m_readingPaused = paused;
    if (!paused) {
        for (auto& s : m_senders) {
            Sender* raw = s.get();
            QMetaObject::invokeMethod(
                this,
                [this, raw] {
                    for (auto& live : m_senders)
                        if (live.get() == raw)
                            readSender(raw);
                },
                Qt::QueuedConnection);
        }
    }
}

void ReceiverEmulatorCore::readSender(Sender* s)
{
    if (m_readingPaused || s->closing)
        return;
    if (m_hung) {
        // A receiver that hangs: the link stays open, nothing is answered or decoded.
        s->socket->readAll();
        return;
    }
    while (s->socket->bytesAvailable() > 0 && !s->closing) {
        qint64 chunk = 256 * 1024;
        if (m_readRate > 0) {
            // A token bucket: the rate, with at most kReadBurstSeconds of catching up.
            const auto now = std::chrono::steady_clock::now();
            const double bytesPerSecond = double(m_readRate) / 8;
            s->readAllowance =
                std::min(bytesPerSecond * kReadBurstSeconds,
                         s->readAllowance +
                             bytesPerSecond * std::chrono::duration<double>(now - s->lastRefill).count());
            s->lastRefill = now;
            if (s->readAllowance < 1) {
                // Wake up when a kilobyte (or a quarter of the buffer) may be read.
                const double want = std::min(1024.0, double(readBufferFor(m_readRate)) / 4);
                const int waitMs = int(std::ceil(1000.0 * (want - s->readAllowance) / bytesPerSecond));
                readSenderLater(s, std::clamp(waitMs, 1, 1000));
                return;
            }
            chunk = std::min<qint64>(chunk, qint64(s->readAllowance));
        }
        const QByteArray bytes = s->socket->read(chunk);
        if (m_readRate > 0)
            s->readAllowance -= double(bytes.size());
        s->decoder.append(bytes);
        QByteArray body;
        for (;;) {
            const auto status = s->decoder.next(body);
            if (status == FrameCodec::Decoder::Status::NeedMore)
                break;
            if (status == FrameCodec::Decoder::Status::Error) {
                qCWarning(lcReceiverEmulator) << "sender" << s->peer << ":" << s->decoder.errorString();
                closeSender(s, true);
                return;
            }
            KPReceiverLinkCodec::Message message;
            const auto result = KPReceiverLinkCodec::decodeBody(body, message);
            if (result == KPReceiverLinkCodec::DecodeResult::UnknownType)
                continue;
            if (result != KPReceiverLinkCodec::DecodeResult::Ok) {
                qCWarning(lcReceiverEmulator)
                    << "sender" << s->peer << ":" << KPReceiverLinkCodec::describe(result);
                closeSender(s, true);
                return;
            }
            handleMessage(s, message);
            if (s->closing)
                return;
        }
    }
}

void ReceiverEmulatorCore::handleMessage(Sender* s, const KPReceiverLinkCodec::Message& m)
{
    if (m.type == KPBeamlineProtocol::FrameType::Json) {
        handleJson(s, m.payload);
    } else if (m.type == KPBeamlineProtocol::FrameType::CaptureTime) {
        // Describes the next picture; outside a stream it is ignored like the media it announces.
        if (s->streaming)
            s->pendingCaptureUs = m.captureTimeUs;
        else
            qCDebug(lcReceiverEmulator) << "sender" << s->peer << ": capture time outside a stream ignored";
    } else {
        handleMedia(s, m);
    }
}

void ReceiverEmulatorCore::handleMedia(Sender* s, const KPReceiverLinkCodec::Message& m)
{
    using KPBeamlineProtocol::FrameType;
    // A capture time applies to the next picture only, whatever becomes of it.
    std::optional<std::uint64_t> captureUs;
    if (m.type == FrameType::H264 || m.type == FrameType::Jpeg)
        captureUs = std::exchange(s->pendingCaptureUs, std::nullopt);
    std::lock_guard lock(m_statsMutex);
    if (!s->streaming) {
        ++m_stats.ignoredMedia;
        return;
    }
    const qint64 now = m_clock.elapsed();
    if (m_stats.firstArrivalMs < 0)
        m_stats.firstArrivalMs = now;
    m_stats.lastArrivalMs = now;
    m_stats.arrivalTimesMs.append(now);
    if (m_stats.arrivalTimesMs.size() > 256)
        m_stats.arrivalTimesMs.removeFirst();
    m_stats.mediaBytes += quint64(m.payload.size());
    const double seconds = double(m_stats.lastArrivalMs - m_stats.firstArrivalMs) / 1000.0;
    m_stats.bitRate = seconds > 0 ? double(m_stats.mediaBytes) * 8.0 / seconds : 0.0;

    switch (m.type) {
    case FrameType::H264: {
        ++m_stats.h264Frames;
        if (KPReceiverLinkCodec::isH264KeyFrame(m.payload))
            ++m_stats.h264KeyFrames;
        m_stats.lastFrameSize = QSize(m.width, m.height);
        if (m_raw.isOpen()) {
            m_raw.write(m.payload);
            m_raw.flush();
        }
        const auto result = s->h264->decode(m.payload);
        const auto decodedAt = std::chrono::steady_clock::now();
        if (result == H264Decoder::Result::Error) {
            ++m_stats.decodeErrors;
        } else if (result == H264Decoder::Result::Picture) {
            ++m_stats.decodedPictures;
            m_stats.lastDecodedSize = s->h264->lastPictureSize();
            recordPictureSize(m_stats, m_stats.lastDecodedSize);
            if (captureUs)
                recordLatency(m_stats, *captureUs, decodedAt);
            m_lastDecoder = s->h264;
            m_lastWasJpeg = false;
        }
        break;
    }
    case FrameType::Jpeg: {
        ++m_stats.jpegFrames;
        QString error;
        QImage image = m_jpeg->decode(m.payload, &error);
        const auto decodedAt = std::chrono::steady_clock::now();
        if (image.isNull()) {
            ++m_stats.decodeErrors;
            qCDebug(lcReceiverEmulator) << "JPEG decode failed:" << error;
        } else {
            ++m_stats.decodedPictures;
            m_stats.lastFrameSize = image.size();
            m_stats.lastDecodedSize = image.size();
            recordPictureSize(m_stats, image.size());
            if (captureUs)
                recordLatency(m_stats, *captureUs, decodedAt);
            m_lastJpeg = std::move(image);
            m_lastWasJpeg = true;
        }
        break;
    }
    case FrameType::Pcm:
        // Whole sample frames only: a torn frame would swap the channels of all that follows.
        if (m.payload.size() % PcmAnalysis::kBytesPerFrame != 0) {
            ++m_stats.pcmRejected;
            qCDebug(lcReceiverEmulator) << "sender" << s->peer << "sent" << m.payload.size()
                                        << "bytes of PCM, not whole sample frames";
            break;
        }
        ++m_stats.pcmChunks;
        m_stats.pcmBytes += quint64(m.payload.size());
        m_pcm.append(m.payload);
        if (m_pcm.size() > ReceiverStatistics::kMaxKeptPcmBytes) {
            // Drop the oldest quarter at once (in whole frames), so trimming stays cheap.
            qsizetype excess = m_pcm.size() - ReceiverStatistics::kMaxKeptPcmBytes * 3 / 4;
            excess += (PcmAnalysis::kBytesPerFrame - excess % PcmAnalysis::kBytesPerFrame) %
                      PcmAnalysis::kBytesPerFrame;
            m_pcm.remove(0, excess);
        }
        break;
    case FrameType::Json:
    case FrameType::CaptureTime:
        break;
    }
}

void ReceiverEmulatorCore::handleJson(Sender* s, const QByteArray& text)
{
    std::string error;
    auto object = KPJSONRPCObject::parse(std::string_view(text.constData(), size_t(text.size())), &error);
    if (!object) {
        qCWarning(lcReceiverEmulator) << "sender" << s->peer << "sent malformed JSON-RPC:" << error.c_str();
        closeSender(s, true);
        return;
    }
    switch (object->kind()) {
    case KPJSONRPCObject::Kind::Request:
        handleRequest(s, static_cast<const KPJSONRPCRequest&>(*object));
        return;
    case KPJSONRPCObject::Kind::Notification: {
        const auto& n = static_cast<const KPJSONRPCNotification&>(*object);
        if (n.method() == M::CancelRequest)
            withdrawRequests(s, true);
        return;
    }
    case KPJSONRPCObject::Kind::Response: {
        const auto& r = static_cast<const KPJSONRPCResponse&>(*object);
        const auto id = JsonAccess::asInteger(r.aId(), 1, std::numeric_limits<std::int64_t>::max());
        if (!id)
            return;
        auto it = s->pending.find(*id);
        if (it == s->pending.end())
            return;
        ResponseHandler handler = std::move(it->second);
        s->pending.erase(it);
        handler(r);
        return;
    }
    }
}

void ReceiverEmulatorCore::handleRequest(Sender* s, const KPJSONRPCRequest& r)
{
    const Json& id = r.aId();
    const Json params = r.params().is_object() ? r.params() : Json::object();
    if (r.method() == M::Ping) {
        std::lock_guard lock(m_statsMutex);
        ++m_stats.pingRequests;
    }
    if (r.method() == M::Hello) {
        if (m_silent)
            return; // accepts the connection, never answers
        if (m_refuse) {
            respond(s, KPJSONRPCResponse::failure(id, EC::Refused, "Refused"));
            s->socket->flush();
            closeSender(s, false);
            return;
        }
        if (const auto name = JsonAccess::string(params, "hostName", 1024))
            s->name = QString::fromStdString(*name).left(256);
        s->helloDone = true;
        {
            int connected = 0;
            for (auto& o : m_senders)
                connected += o->helloDone ? 1 : 0;
            std::lock_guard lock(m_statsMutex);
            m_stats.connectedSenders = connected;
        }
        Json result = describe();
        result.erase("cmd");
        result["role"] = s->role;
        s->announced = layoutOf(s);
        result.update(KPReceiverLinkCodec::layoutJson(s->announced));
        respond(s, KPJSONRPCResponse::success(id, result));
        return;
    }
    if (!s->helloDone) {
        respond(s, KPJSONRPCResponse::failure(id, EC::Refused, "hello first"));
        return;
    }
    if (r.method() == M::Ping) {
        respond(s, KPJSONRPCResponse::success(id, Json::object()));
        return;
    }
    if (r.method() == M::StartDisplay) {
        {
            std::lock_guard lock(m_statsMutex);
            ++m_stats.startRequests;
        }
        handleStart(s, id);
        return;
    }
    if (r.method() == M::StopDisplay) {
        {
            std::lock_guard lock(m_statsMutex);
            ++m_stats.stopRequests;
        }
        s->fullscreenGranted = false;
        endStream(s);
        respond(s, KPJSONRPCResponse::success(id, Json::object()));
        return;
    }
    if (r.method() == M::RequestFullscreen) {
        const auto read = JsonAccess::boolean(params, "fullscreen");
        const std::optional<bool> fullscreen = read.orIfMissing(true);
        if (!fullscreen) {
            respond(s, KPJSONRPCResponse::failure(id, EC::InvalidParams,
                                                  "Invalid params: " +
                                                      JsonAccess::describe(read.error, "fullscreen")));
            return;
        }
        handleFullscreen(s, id, *fullscreen);
        return;
    }
    respond(s, KPJSONRPCResponse::failure(id, -32601, "Method not found"));
}

void ReceiverEmulatorCore::handleStart(Sender* s, const Json& id)
{
    if (m_refuseStream) {
        respond(s, KPJSONRPCResponse::failure(id, EC::Refused, "Refused"));
        return;
    }
    if (s->streaming) {
        s->announced = layoutOf(s);
        respond(s, KPJSONRPCResponse::success(id, KPReceiverLinkCodec::layoutJson(s->announced)));
        return;
    }
    if (!s->pendingStart.is_null() || !s->pendingFullscreen.is_null()) {
        respond(s, KPJSONRPCResponse::failure(id, EC::Refused, "a request is already waiting for the host"));
        return;
    }
    if (s->fullscreenGranted) {
        s->fullscreenGranted = false;
        beginStream(s, id, Placement::WholeScreen);
        return;
    }
    Sender* h = host();
    if (!h || m_config.conferenceVersion <= 0) {
        beginStream(s, id, Placement::Share);
        return;
    }
    // Conference: this sender is a guest; the host decides.
    s->pendingStart = id;
    askHostFor(s, h, false);
}

void ReceiverEmulatorCore::handleFullscreen(Sender* s, const Json& id, bool fullscreen)
{
    if (!fullscreen) {
        // Leaving full screen changes nothing here: the layout follows the streams.
        respond(s, KPJSONRPCResponse::success(id, Json{{"granted", true}}));
        return;
    }
    if (!s->pendingStart.is_null() || !s->pendingFullscreen.is_null()) {
        respond(s, KPJSONRPCResponse::failure(id, EC::Refused, "a request is already waiting for the host"));
        return;
    }
    Sender* h = host();
    if (!h || h == s || m_config.conferenceVersion <= 0) {
        grantFullscreen(s, id);
        return;
    }
    s->pendingFullscreen = id;
    askHostFor(s, h, true);
}

void ReceiverEmulatorCore::askHostFor(Sender* guest, Sender* h, bool fullscreen)
{
    if (guest->role != KPBeamlineProtocol::RoleGuest) {
        guest->role = KPBeamlineProtocol::RoleGuest;
        notify(guest, M::HostRole, Json{{"role", guest->role}});
    }
    notify(guest, M::HostWait);
    QPointer<QTcpSocket> guestSocket = guest->socket;
    request(h, M::HostAsk,
            Json{{"guestIP", guest->peer.toStdString()},
                 {"guestName", guest->name.toStdString()},
                 {"fullscreen", fullscreen}},
            [this, guestSocket, fullscreen](const KPJSONRPCResponse& answer) {
                const auto [allow, mode] = hostAnswer(answer);
                {
                    std::lock_guard lock(m_statsMutex);
                    m_stats.lastHostAnswer = allow;
                    m_stats.lastHostAnswerMode = mode;
                }
                Sender* g = nullptr;
                for (auto& o : m_senders)
                    if (o->socket == guestSocket && !o->closing)
                        g = o.get();
                if (!g)
                    return; // gone meanwhile
                Json& pending = fullscreen ? g->pendingFullscreen : g->pendingStart;
                if (pending.is_null())
                    return; // withdrawn meanwhile
                const Json requestId = pending;
                pending = nullptr;
                if (!allow) {
                    notify(g, M::HostDeny);
                    if (fullscreen)
                        respond(g, KPJSONRPCResponse::success(requestId, Json{{"granted", false}}));
                    else
                        respond(g, KPJSONRPCResponse::failure(requestId, EC::DeniedByHost, "Denied by host"));
                    return;
                }
                notify(g, M::HostAccept);
                if (fullscreen) {
                    grantFullscreen(g, requestId);
                    return;
                }
                // Mode 2 gives the guest the whole screen; a receiver without split screen
                // (conference version 1) replaces the host whatever the mode.
                const bool replace = mode == 2 || m_config.conferenceVersion < 2;
                beginStream(g, requestId, replace ? Placement::WholeScreen : Placement::Share);
            });
}

void ReceiverEmulatorCore::grantFullscreen(Sender* s, const Json& id)
{
    if (!s->streaming) {
        // The next stream of this sender takes the whole screen.
        s->fullscreenGranted = true;
        respond(s, KPJSONRPCResponse::success(id, Json{{"granted", true}}));
        return;
    }
    stopOthers(s);
    claimHostIfNone(s);
    if (s->announced != layoutOf(s))
        announce(s);
    respond(s, KPJSONRPCResponse::success(id, Json{{"granted", true}}));
}

void ReceiverEmulatorCore::stopOthers(Sender* s)
{
    for (Sender* o : streamingSenders()) {
        if (o == s)
            continue;
        notify(o, M::DisplayStop);
        o->streaming = false;
        o->pendingCaptureUs.reset();
        if (o->role == KPBeamlineProtocol::RoleHost) {
            o->role = KPBeamlineProtocol::RoleNone;
            notify(o, M::HostRole, Json{{"role", o->role}});
        }
    }
    std::lock_guard lock(m_statsMutex);
    m_stats.streamingSenders = int(streamingSenders().size());
}

void ReceiverEmulatorCore::claimHostIfNone(Sender* s)
{
    if (host() || m_config.conferenceVersion <= 0 || s->role == KPBeamlineProtocol::RoleHost)
        return;
    // The screen's first (or only) sender hosts the conference.
    s->role = KPBeamlineProtocol::RoleHost;
    notify(s, M::HostRole, Json{{"role", s->role}});
}

void ReceiverEmulatorCore::withdrawRequests(Sender* s, bool tellSender)
{
    bool withdrew = false;
    for (Json* pending : {&s->pendingStart, &s->pendingFullscreen}) {
        if (pending->is_null())
            continue;
        if (tellSender)
            respond(s, KPJSONRPCResponse::failure(*pending, EC::Cancelled, "Cancelled"));
        *pending = nullptr;
        withdrew = true;
    }
    if (!withdrew)
        return;
    if (Sender* h = host(); h && h != s)
        notify(h, M::HostCancel, Json{{"guestIP", s->peer.toStdString()}});
}

void ReceiverEmulatorCore::beginStream(Sender* s, const Json& startId, Placement placement)
{
    if (placement == Placement::WholeScreen)
        stopOthers(s);
    s->streaming = true;
    s->fullscreenGranted = false;
    claimHostIfNone(s);
    const auto streaming = streamingSenders();
    s->announced = layoutOf(s);
    respond(s, KPJSONRPCResponse::success(startId, KPReceiverLinkCodec::layoutJson(s->announced)));
    {
        std::lock_guard lock(m_statsMutex);
        m_stats.streamingSenders = int(streaming.size());
    }
    if (streaming.size() > 1)
        announceLayout();
}

void ReceiverEmulatorCore::endStream(Sender* s)
{
    if (!s->streaming)
        return;
    s->streaming = false;
    s->pendingCaptureUs.reset();
    if (s->role == KPBeamlineProtocol::RoleHost) {
        s->role = KPBeamlineProtocol::RoleNone;
        if (s->socket->state() == QAbstractSocket::ConnectedState)
            notify(s, M::HostRole, Json{{"role", s->role}});
        // The longest-streaming guest becomes the host.
        for (Sender* g : streamingSenders()) {
            g->role = KPBeamlineProtocol::RoleHost;
            notify(g, M::HostRole, Json{{"role", g->role}});
            break;
        }
    }
    {
        std::lock_guard lock(m_statsMutex);
        m_stats.streamingSenders = int(streamingSenders().size());
    }
    announceLayout();
}

void ReceiverEmulatorCore::announceLayout()
{
    for (Sender* s : streamingSenders())
        announce(s);
}

void ReceiverEmulatorCore::announce(Sender* s)
{
    s->announced = layoutOf(s);
    notify(s, M::SplitScreen, KPReceiverLinkCodec::layoutJson(s->announced));
}

KPReceiverLinkCodec::Layout ReceiverEmulatorCore::layoutOf(const Sender* s) const
{
    const auto streaming = streamingSenders();
    KPReceiverLinkCodec::Layout layout;
    layout.screenNumber = std::clamp(int(streaming.size()), 1, KPReceiverLinkCodec::Layout::kMaxScreens);
    for (std::size_t i = 0; i < streaming.size() && int(i) < layout.screenNumber; ++i)
        if (streaming[i] == s)
            layout.screenPosition = int(i) + 1;
    return layout;
}

ReceiverEmulatorCore::Sender* ReceiverEmulatorCore::host() const
{
    for (const auto& s : m_senders)
        if (s->streaming && s->role == KPBeamlineProtocol::RoleHost)
            return s.get();
    return nullptr;
}

std::vector<ReceiverEmulatorCore::Sender*> ReceiverEmulatorCore::streamingSenders() const
{
    std::vector<Sender*> out;
    for (const auto& s : m_senders)
        if (s->streaming && !s->closing)
            out.push_back(s.get());
    return out;
}

void ReceiverEmulatorCore::send(Sender* s, const std::string& json)
{
    if (s->closing)
        return;
    const QByteArray frame = KPReceiverLinkCodec::encodeJson(json);
    if (!frame.isEmpty())
        s->socket->write(frame);
}

void ReceiverEmulatorCore::notify(Sender* s, const std::string& method, Json params)
{
    send(s, KPJSONRPCNotification(method, std::move(params)).JSONRPCMessage());
}

void ReceiverEmulatorCore::respond(Sender* s, const KPJSONRPCResponse& response)
{
    send(s, response.JSONRPCMessage());
}

void ReceiverEmulatorCore::request(Sender* s, const std::string& method, Json params, ResponseHandler handler)
{
    const long long id = s->nextId++;
    s->pending.emplace(id, std::move(handler));
    send(s, KPJSONRPCRequest(method, std::move(params), Json(id)).JSONRPCMessage());
}

void ReceiverEmulatorCore::closeSender(Sender* s, bool protocolError)
{
    if (s->closing)
        return;
    if (protocolError) {
        std::lock_guard lock(m_statsMutex);
        ++m_stats.protocolErrors;
    }
    // disconnectFromHost() may report the disconnection at once, which removes the sender;
    // the sender object itself stays valid until the event loop runs again.
    QPointer<QTcpSocket> socket = s->socket;
    socket->disconnectFromHost();
    if (!s->closing && socket && socket->state() != QAbstractSocket::UnconnectedState) {
        s->closing = true;
        QMetaObject::invokeMethod(
            this,
            [this, socket] {
                if (!socket)
                    return;
                socket->abort();
                for (auto& o : m_senders)
                    if (o->socket == socket) {
                        removeSender(o.get());
                        break;
                    }
            },
            Qt::QueuedConnection);
    } else if (!s->closing) {
        removeSender(s);
    }
}

void ReceiverEmulatorCore::removeSender(Sender* s)
{
    auto it = std::find_if(m_senders.begin(), m_senders.end(), [s](const auto& p) { return p.get() == s; });
    if (it == m_senders.end())
        return;
    s->closing = true;
    const bool wasStreaming = s->streaming;
    const bool wasHost = s->role == KPBeamlineProtocol::RoleHost;
    s->streaming = false;
    // Guests waiting on this host are answered "denied"; the host forgets a guest that left.
    if (wasHost) {
        for (auto& g : m_senders) {
            if (g.get() == s)
                continue;
            if (!g->pendingStart.is_null())
                respond(g.get(), KPJSONRPCResponse::failure(g->pendingStart, EC::DeniedByHost, "host left"));
            if (!g->pendingFullscreen.is_null())
                respond(g.get(), KPJSONRPCResponse::success(g->pendingFullscreen, Json{{"granted", false}}));
            g->pendingStart = nullptr;
            g->pendingFullscreen = nullptr;
        }
    } else {
        withdrawRequests(s, false);
    }
    s->socket->disconnect(this);
    s->socket->deleteLater();
    // Deleted later: callers up the stack may still look at it.
    std::shared_ptr<Sender> keep(std::move(*it));
    m_senders.erase(it);
    QMetaObject::invokeMethod(
        this, [keep] {}, Qt::QueuedConnection);
    if (wasStreaming && wasHost) {
        for (Sender* g : streamingSenders()) {
            g->role = KPBeamlineProtocol::RoleHost;
            notify(g, M::HostRole, Json{{"role", g->role}});
            break;
        }
    }
    int connected = 0;
    for (auto& o : m_senders)
        connected += o->helloDone ? 1 : 0;
    std::lock_guard lock(m_statsMutex);
    m_stats.connectedSenders = connected;
    m_stats.streamingSenders = int(streamingSenders().size());
}

void ReceiverEmulatorCore::dropLinks()
{
    while (!m_senders.empty()) {
        Sender* s = m_senders.front().get();
        QTcpSocket* socket = s->socket;
        removeSender(s);
        socket->abort();
    }
}

void ReceiverEmulatorCore::setSplitScreen(int number, int position)
{
    number = std::clamp(number, 1, 16);
    auto targets = streamingSenders();
    if (targets.empty())
        for (auto& s : m_senders)
            if (s->helloDone)
                targets.push_back(s.get());
    // Positions count from 1; without one, each sender takes its own place in turn.
    for (std::size_t i = 0; i < targets.size(); ++i) {
        targets[i]->announced = {number, position >= 1 ? std::min(position, number) : int(i) % number + 1};
        notify(targets[i], M::SplitScreen, KPReceiverLinkCodec::layoutJson(targets[i]->announced));
    }
}

void ReceiverEmulatorCore::stopDisplay()
{
    for (Sender* s : streamingSenders()) {
        notify(s, M::DisplayStop);
        s->streaming = false;
        s->pendingCaptureUs.reset();
        if (s->role == KPBeamlineProtocol::RoleHost)
            s->role = KPBeamlineProtocol::RoleNone;
    }
    std::lock_guard lock(m_statsMutex);
    m_stats.streamingSenders = 0;
}

void ReceiverEmulatorCore::pauseDisplay()
{
    for (Sender* s : streamingSenders())
        notify(s, M::DisplayPause);
}

void ReceiverEmulatorCore::resumeDisplay()
{
    for (Sender* s : streamingSenders())
        notify(s, M::DisplayResume);
}

int ReceiverEmulatorCore::sendPointerEvent(const Json& params)
{
    auto targets = streamingSenders();
    if (targets.empty())
        for (auto& s : m_senders)
            if (s->helloDone)
                targets.push_back(s.get());
    for (Sender* s : targets)
        notify(s, M::Pointer, params);
    std::lock_guard lock(m_statsMutex);
    m_stats.pointerEventsSent += targets.size();
    return int(targets.size());
}

bool ReceiverEmulatorCore::askHost(const QString& guestIP, const QString& guestName, bool fullscreen)
{
    Sender* h = host();
    if (!h)
        return false;
    {
        std::lock_guard lock(m_statsMutex);
        m_stats.lastHostAnswer.reset();
        m_stats.lastHostAnswerMode = 0;
    }
    request(h, M::HostAsk,
            Json{{"guestIP", guestIP.toStdString()},
                 {"guestName", guestName.toStdString()},
                 {"fullscreen", fullscreen}},
            [this](const KPJSONRPCResponse& answer) {
                const auto [allow, mode] = hostAnswer(answer);
                std::lock_guard lock(m_statsMutex);
                m_stats.lastHostAnswer = allow;
                m_stats.lastHostAnswerMode = mode;
            });
    return true;
}

void ReceiverEmulatorCore::sendRole(int role)
{
    for (auto& s : m_senders) {
        if (!s->helloDone)
            continue;
        s->role = std::clamp(role, 0, 2);
        notify(s.get(), M::HostRole, Json{{"role", s->role}});
    }
}

QImage ReceiverEmulatorCore::lastPicture() const
{
    if (m_lastWasJpeg)
        return m_lastJpeg;
    return m_lastDecoder ? m_lastDecoder->lastPicture() : QImage();
}

bool ReceiverEmulatorCore::saveSnapshot(const QString& path)
{
    const QString target = path.isEmpty() ? m_config.snapshotPath : path;
    const QImage picture = lastPicture();
    if (target.isEmpty() || picture.isNull())
        return false;
    return picture.save(target, "PNG");
}

ReceiverStatistics ReceiverEmulatorCore::statistics() const
{
    std::lock_guard lock(m_statsMutex);
    ReceiverStatistics copy = m_stats;
    // The copy gets lists of its own, so the caller's thread never shares a buffer that this
    // one goes on appending to (whether it may is decided by a relaxed read of the count).
    copy.arrivalTimesMs.detach();
    copy.tickToDecodedUs.detach();
    copy.pictureSizes.detach();
    copy.pcmKeptBytes = quint64(m_pcm.size());
    copy.pcmFrequencyHz = PcmAnalysis::dominantFrequency(m_pcm);
    copy.pcmLevel =
        PcmAnalysis::rmsLevel(m_pcm.right(PcmAnalysis::kSampleRate * PcmAnalysis::kBytesPerFrame));
    return copy;
}

QByteArray ReceiverEmulatorCore::keptPcm() const
{
    std::lock_guard lock(m_statsMutex);
    return m_pcm;
}

bool ReceiverEmulatorCore::savePcm(const QString& path)
{
    const QString target = path.isEmpty() ? m_config.pcmWavPath : path;
    if (target.isEmpty())
        return false;
    QString error;
    if (!PcmAnalysis::writeWav(target, keptPcm(), &error)) {
        qCWarning(lcReceiverEmulator).noquote() << "cannot write" << target << "-" << error;
        return false;
    }
    return true;
}

void ReceiverEmulatorCore::resetStatistics()
{
    std::lock_guard lock(m_statsMutex);
    const int connected = m_stats.connectedSenders;
    const int streaming = m_stats.streamingSenders;
    m_stats = ReceiverStatistics();
    m_pcm.clear();
    m_stats.connectedSenders = connected;
    m_stats.streamingSenders = streaming;
}
