#include "Pikora/Accessory/LauncherConnector.h"

#include "Pikora/App/AppLogging.h"
#include "QuorbelOSXUtility/UsbBus.h"
#include "Support/BundleInfo.h"
#include "Support/DispatchQueue.h"
#include "Support/DispatchTimer.h"
#include "Support/FrameCodec.h"
#include "Support/Logging.h"
#include "Support/ThreadHandoff.h"

#include <QNetworkProxy>
#include <QStringDecoder>
#include <QTcpSocket>
#include <QThread>
#include <algorithm>

namespace {

QString seconds(std::chrono::milliseconds ms)
{
    return QString::number(static_cast<double>(ms.count()) / 1000.0, 'f', 1);
}

bool isValidUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes); // decoding happens on conversion
    return !decoder.hasError();
}

} // namespace

// What outlives the connector for senders on other threads (the heartbeat timer): they reach
// the connector only through this, and find it null once the connector is gone.
struct LauncherConnector::SendPort
{
    std::mutex mutex;
    LauncherConnector* owner = nullptr;
};

LauncherConnector::LauncherConnector(LauncherConnectorDelegate* delegate, UsbBus* bus, Options options,
                                     QObject* parent)
    : QObject(parent), m_delegate(delegate), m_bus(bus), m_options(std::move(options)),
      m_sendPort(std::make_shared<SendPort>())
{
    m_sendPort->owner = this;
    m_connectTimer.setSingleShot(true);
    QObject::connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        probeFailed(QStringLiteral("connect timed out after %1 s").arg(seconds(kConnectTimeout)));
    });
    m_probeRetryTimer.setSingleShot(true);
    QObject::connect(&m_probeRetryTimer, &QTimer::timeout, this, &LauncherConnector::startProbing);
    m_handshakeTimer.setSingleShot(true);
    QObject::connect(&m_handshakeTimer, &QTimer::timeout, this, [this] {
        qCWarning(lcAccessory).noquote()
            << QStringLiteral("handshake: no answer from the accessory within %1 s")
                   .arg(seconds(m_options.handshakeTimeout));
        linkLost(QStringLiteral("handshake timed out"));
    });
    m_writeTimer.setSingleShot(true);
    QObject::connect(&m_writeTimer, &QTimer::timeout, this, &LauncherConnector::checkWriteDeadlines);

    setupUSB();
    m_connected = false;
}

LauncherConnector::LauncherConnector(LauncherConnectorDelegate* delegate, UsbBus* bus, QObject* parent)
    : LauncherConnector(delegate, bus, Options{}, parent)
{
}

LauncherConnector::~LauncherConnector()
{
    {
        std::lock_guard lock(m_sendPort->mutex);
        m_sendPort->owner = nullptr;
    }
    disconnect();
}

void LauncherConnector::setAccessoryAddress(const QString& host, std::uint16_t port)
{
    m_options.host = host;
    m_options.port = port;
}

bool LauncherConnector::hasLink() const
{
    std::lock_guard lock(m_lock);
    return m_socket != nullptr;
}

std::string LauncherConnector::handshakeMessage()
{
    // Built as an ordered object: the accessory reads the params in this order.
    nlohmann::ordered_json params;
    params["product"] = "pikora";
    params["app-version"] = BundleInfo::main().versionWithBuild().toStdString();
    params["os"] = "mac";
    nlohmann::ordered_json request;
    request["jsonrpc"] = "2.0";
    request["method"] = "handshake";
    request["params"] = std::move(params);
    request["id"] = "handshake";
    return request.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// --- USB --------------------------------------------------------------------------------

int LauncherConnector::setupUSB()
{
    if (!m_bus) {
        qCWarning(lcAccessory) << "setupUSB: no USB bus; the accessory will not be found";
        return -1;
    }
    QObject::connect(m_bus, &UsbBus::deviceArrived, this, &LauncherConnector::deviceArrived);
    QObject::connect(m_bus, &UsbBus::deviceRemoved, this, &LauncherConnector::deviceRemoved);
    QString error;
    if (!m_bus->startWatching(kVendorId, kProductId, &error)) {
        qCWarning(lcAccessory).noquote() << "setupUSB: cannot watch the USB bus:" << error;
        QObject::disconnect(m_bus, nullptr, this, nullptr);
        return -1;
    }
    const std::vector<UsbDeviceInfo> present = m_bus->devicesPresent(kVendorId, kProductId);
    for (const UsbDeviceInfo& device : present)
        m_devicesSeen.insert(device.id);
    if (!present.empty())
        usbPluggedIn(present.front().serviceName);
    return 0;
}

void LauncherConnector::deviceArrived(const UsbDeviceInfo& device)
{
    if (device.vendorId != kVendorId || device.productId != kProductId)
        return;
    if (!m_devicesSeen.insert(device.id).second)
        return; // already reported (present when the watch started)
    usbPluggedIn(device.serviceName);
}

void LauncherConnector::deviceRemoved(const UsbDeviceInfo& device)
{
    if (device.vendorId != kVendorId || device.productId != kProductId)
        return;
    m_devicesSeen.erase(device.id);
    usbPluggedOut(device.serviceName);
}

void LauncherConnector::usbPluggedIn(const QString& serviceName)
{
    if (serviceName != QLatin1String(kServiceName))
        return;
    if (m_delegate)
        m_delegate->connectorECMUSBDidPluggedIn(this);
    startProbing();
}

void LauncherConnector::usbPluggedOut(const QString& serviceName)
{
    qCInfo(lcAccessory).noquote() << QStringLiteral("usbPluggedOut :%1").arg(serviceName);
    if (serviceName != QLatin1String(kServiceName))
        return;
    disconnect();
    m_connected = false;
    if (m_delegate)
        m_delegate->connectorDidDisconnectFromAccessory(this);
}

// --- probing ----------------------------------------------------------------------------

QTcpSocket* LauncherConnector::createSocket()
{
    auto* socket = new QTcpSocket(this);
    // The accessory is on a direct USB network link: never through a proxy of the desktop.
    socket->setProxy(QNetworkProxy::NoProxy);
    QObject::connect(socket, &QTcpSocket::connected, this,
                     [this, socket] { socketDidConnectToHost(socket); });
    QObject::connect(socket, &QTcpSocket::stateChanged, this,
                     [this, socket](QAbstractSocket::SocketState state) {
                         if (state == QAbstractSocket::UnconnectedState)
                             socketStateChanged(socket);
                     });
    QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { socketReadyRead(socket); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, this,
                     [this, socket](qint64 bytes) { socketBytesWritten(socket, bytes); });
    return socket;
}

void LauncherConnector::startProbing()
{
    if (m_socket) {
        qCDebug(lcAccessory) << "startProbing: the link is up; not probing";
        return;
    }
    if (!m_probeSocket) {
        QTcpSocket* socket = createSocket();
        std::lock_guard lock(m_lock);
        m_probeSocket = socket;
    }
    if (m_probeSocket->state() != QAbstractSocket::UnconnectedState || m_connectTimer.isActive())
        return; // a probe is under way
    m_probeRetryTimer.stop();
    // A probe that failed at once is not repeated in a tight loop.
    const auto minimum = m_options.minimumProbeInterval.count();
    if (m_lastProbeStart.isValid() && m_lastProbeStart.elapsed() < minimum) {
        m_probeRetryTimer.start(static_cast<int>(minimum - m_lastProbeStart.elapsed()));
        return;
    }
    m_lastProbeStart.start();
    m_connectTimer.start(kConnectTimeout);
    m_probeSocket->connectToHost(m_options.host, m_options.port);
}

void LauncherConnector::stopProbing()
{
    m_connectTimer.stop();
    m_probeRetryTimer.stop();
    QTcpSocket* socket = nullptr;
    {
        std::lock_guard lock(m_lock);
        std::swap(socket, m_probeSocket);
    }
    if (!socket)
        return;
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
}

void LauncherConnector::probeFailed(const QString& why)
{
    if (!m_probeSocket || m_probeRetryTimer.isActive())
        return;
    m_connectTimer.stop();
    qCDebug(lcAccessory).noquote() << "probe of" << m_options.host << m_options.port << "failed:" << why;
    qCInfo(lcAccessory) << "no pikora accessory, continue probing";
    if (m_probeSocket->state() != QAbstractSocket::UnconnectedState) {
        const QSignalBlocker blocker(m_probeSocket);
        m_probeSocket->abort();
    }
    // Retried from the event loop, with the same probe socket.
    m_probeRetryTimer.start(0);
}

// --- the link ---------------------------------------------------------------------------

void LauncherConnector::socketDidConnectToHost(QTcpSocket* socket)
{
    if (socket != m_probeSocket)
        return;
    qCInfo(lcAccessory) << __func__;
    m_connectTimer.stop();
    m_probeRetryTimer.stop();
    {
        std::lock_guard lock(m_lock);
        m_socket = m_probeSocket;
        m_probeSocket = nullptr;
        m_linkGeneration = ++m_generation;
    }
    m_readTag = kReadTagLength;
    m_bodyLength = 0;
    m_bytesQueued = 0;
    m_bytesFlushed = 0;
    m_pendingWrites.clear();
    qCDebug(lcAccessory).noquote() << "linked to" << socket->peerAddress().toString() << socket->peerPort();

    m_handshakeTimer.start(m_options.handshakeTimeout);
    sendMessage(handshakeMessage()); // a failed write ends the link (and stops the timer) here
    if (socket->bytesAvailable() > 0)
        socketReadyRead(socket);
}

void LauncherConnector::socketStateChanged(QTcpSocket* socket)
{
    if (socket == m_probeSocket) {
        probeFailed(socket->errorString());
        return;
    }
    if (socket != m_socket)
        return;
    // Whole messages that arrived just before the close are still delivered.
    const std::uint64_t generation = m_linkGeneration;
    socketReadyRead(socket);
    if (socket != m_socket || generation != m_linkGeneration)
        return;
    if (m_readTag == kReadTagBody || socket->bytesAvailable() > 0)
        qCWarning(lcAccessory).noquote()
            << QStringLiteral("the link closed in the middle of a message (%1 of %2 bytes arrived)")
                   .arg(socket->bytesAvailable())
                   .arg(m_readTag == kReadTagBody ? QString::number(m_bodyLength)
                                                  : QStringLiteral("4 length"));
    linkLost(socket->error() == QAbstractSocket::RemoteHostClosedError
                 ? QStringLiteral("closed by the accessory")
                 : socket->errorString());
}

void LauncherConnector::socketReadyRead(QTcpSocket* socket)
{
    const std::uint64_t generation = m_linkGeneration;
    // Each pass finishes one read: the length (tag 100) or the body (tag 101). Delegate calls
    // may close the link, so the loop checks it is still on the same link.
    while (socket == m_socket && generation == m_linkGeneration) {
        if (m_readTag == kReadTagLength) {
            if (socket->bytesAvailable() < 4)
                return;
            char header[4];
            socket->read(header, 4);
            const std::uint32_t length = FrameCodec::decodeLength(header);
            if (length > m_options.maxMessageSize) {
                qCWarning(lcAccessory).noquote()
                    << QStringLiteral("the accessory announced a message of %1 bytes (the limit is %2)")
                           .arg(length)
                           .arg(m_options.maxMessageSize);
                linkLost(QStringLiteral("oversized message"));
                return;
            }
            m_bodyLength = length;
            m_readTag = kReadTagBody;
        } else {
            if (socket->bytesAvailable() < static_cast<qint64>(m_bodyLength))
                return;
            const QByteArray body = socket->read(m_bodyLength);
            m_readTag = kReadTagLength; // re-armed before the body is handled
            m_bodyLength = 0;
            socketDidReadData(body);
        }
    }
}

void LauncherConnector::socketDidReadData(const QByteArray& body)
{
    if (!isValidUtf8(body)) {
        qCWarning(lcAccessory).noquote()
            << QStringLiteral("dropping a message of %1 bytes from the accessory that is not valid UTF-8")
                   .arg(body.size());
        return;
    }
    const std::string text = body.toStdString();
    std::string error;
    const std::unique_ptr<KPJSONRPCObject> object = KPJSONRPCObject::parse(text, &error);
    if (object && object->kind() == KPJSONRPCObject::Kind::Response) {
        const auto& response = static_cast<const KPJSONRPCResponse&>(*object);
        if (response.aId() == Json("handshake")) {
            m_handshakeTimer.stop();
            m_connected = true;
            if (response.isError())
                qCWarning(lcAccessory).noquote() << "the accessory answered the handshake with an error:"
                                                 << Logging::truncatedForLog(response.error().dump(
                                                        -1, ' ', false, Json::error_handler_t::replace));
            else if (!response.result().is_object())
                qCWarning(lcAccessory).noquote() << "the handshake result is not a dictionary:"
                                                 << Logging::truncatedForLog(response.result().dump(
                                                        -1, ' ', false, Json::error_handler_t::replace));
            if (!m_delegate)
                return; // nobody to tell: linked, but without a heartbeat
            const std::uint64_t generation = m_linkGeneration;
            m_delegate->connectorDidConnectToAccessory(this, response.result());
            if (generation == m_linkGeneration && m_socket)
                startHeartbeatTimer();
            return;
        }
    }
    if (!object)
        qCInfo(lcAccessory).noquote()
            << QStringLiteral("received a message that is not JSON-RPC (%1); passing it on")
                   .arg(Logging::truncatedForLog(error));
    if (m_delegate)
        m_delegate->connectorDidReceiveMessage(this, text);
}

void LauncherConnector::linkLost(const QString& why)
{
    if (!m_socket)
        return;
    qCDebug(lcAccessory).noquote() << "link lost:" << why;
    qCInfo(lcAccessory) << "disconnect from pikora hw accessory, re-launch probing";
    closeLink();
    stopTimer();
    startProbing();
}

void LauncherConnector::closeLink()
{
    m_handshakeTimer.stop();
    m_writeTimer.stop();
    m_pendingWrites.clear();
    m_readTag = kReadTagLength;
    m_bodyLength = 0;
    m_connected = false;
    QTcpSocket* socket = nullptr;
    {
        std::lock_guard lock(m_lock);
        std::swap(socket, m_socket);
        m_linkGeneration = 0;
    }
    if (!socket)
        return;
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
}

void LauncherConnector::disconnect()
{
    stopProbing();
    stopTimer();
    closeLink();
    m_connected = false;
}

// --- sending ----------------------------------------------------------------------------

void LauncherConnector::sendMessage(const std::string& json)
{
    sendMessage(json, kDefaultWriteTimeout);
}

void LauncherConnector::sendMessage(const std::string& json, std::chrono::milliseconds writeTimeout)
{
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_lock);
        generation = m_linkGeneration;
    }
    if (generation == 0)
        return; // no link: dropped
    QByteArray frame = FrameCodec::encode(QByteArrayView(json.data(), static_cast<qsizetype>(json.size())));
    if (frame.isEmpty()) {
        qCWarning(lcAccessory) << "sendMessage: a message of" << json.size()
                               << "bytes cannot be framed; dropped";
        return;
    }
    if (QThread::currentThread() == thread()) {
        writeFrame(generation, frame, writeTimeout);
        return;
    }
    Support::postTo(this, [this, generation, frame = std::move(frame), writeTimeout] {
        writeFrame(generation, frame, writeTimeout);
    });
}

void LauncherConnector::writeFrame(std::uint64_t generation, const QByteArray& frame,
                                   std::chrono::milliseconds timeout)
{
    // A message meant for a link that has gone since is dropped with it.
    if (!m_socket || generation != m_linkGeneration)
        return;
    const qint64 written = m_socket->write(frame);
    if (written != frame.size()) {
        linkLost(QStringLiteral("write failed: %1").arg(m_socket->errorString()));
        return;
    }
    m_bytesQueued += written;
    m_pendingWrites.push_back({m_bytesQueued, std::chrono::steady_clock::now() + timeout});
    scheduleWriteCheck();
}

void LauncherConnector::socketBytesWritten(QTcpSocket* socket, qint64 bytes)
{
    if (socket != m_socket)
        return;
    m_bytesFlushed += bytes;
    while (!m_pendingWrites.empty() && m_pendingWrites.front().endOffset <= m_bytesFlushed)
        m_pendingWrites.pop_front();
    scheduleWriteCheck();
}

void LauncherConnector::scheduleWriteCheck()
{
    if (m_pendingWrites.empty()) {
        m_writeTimer.stop();
        return;
    }
    auto earliest = m_pendingWrites.front().deadline;
    for (const PendingWrite& w : m_pendingWrites)
        earliest = std::min(earliest, w.deadline);
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(earliest - std::chrono::steady_clock::now());
    m_writeTimer.start(std::max(wait, std::chrono::milliseconds(0)));
}

void LauncherConnector::checkWriteDeadlines()
{
    const auto now = std::chrono::steady_clock::now();
    for (const PendingWrite& w : m_pendingWrites) {
        if (w.deadline <= now) {
            qCWarning(lcAccessory).noquote()
                << QStringLiteral("a write to the accessory timed out (%1 bytes not taken); the accessory is "
                                  "not reading")
                       .arg(w.endOffset - m_bytesFlushed);
            linkLost(QStringLiteral("write timed out"));
            return;
        }
    }
    scheduleWriteCheck();
}

// --- heartbeat --------------------------------------------------------------------------

void LauncherConnector::startHeartbeatTimer()
{
    stopTimer();
    auto live = std::make_shared<std::atomic<bool>>(true);
    std::weak_ptr<SendPort> port = m_sendPort;
    m_timer = std::make_unique<DispatchTimer>(globalQueue(), [port, live] {
        if (!live->load())
            return;
        const auto strong = port.lock();
        if (!strong)
            return;
        std::lock_guard lock(strong->mutex);
        if (strong->owner)
            strong->owner->sendMessage(kHeartbeatText, kDefaultWriteTimeout);
    });
    m_timerLive = live;
    m_timer->start(kHeartbeatInterval, kHeartbeatInterval, kHeartbeatLeeway);
}

void LauncherConnector::stopTimer()
{
    if (m_timerLive)
        m_timerLive->store(false);
    m_timerLive.reset();
    if (m_timer) {
        m_timer->cancel();
        m_timer.reset();
    }
}
