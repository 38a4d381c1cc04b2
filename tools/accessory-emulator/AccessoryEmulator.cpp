#include "tools/accessory-emulator/AccessoryEmulator.h"

#include "Beamline/JsonAccess.h"
#include "QuorbelOSXUtility/SimulatedUsbDevice.h"
#include "Support/FrameCodec.h"
#include "tools/accessory-emulator/EmulatorLogging.h"

#include <QFile>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <sys/socket.h>

namespace {

constexpr std::size_t kMaxRecords = 10000; // oldest records are dropped beyond this
constexpr std::uint32_t kOversizedLength = 0xFFFFFF00u;

// A body as one printable line: invalid UTF-8 shows as replacement characters, line breaks
// are escaped so one event stays one line.
QString printable(const QByteArray& body)
{
    QString text = QString::fromUtf8(body);
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return text;
}

QString jsonText(const Json& value)
{
    return QString::fromStdString(value.dump(-1, ' ', false, Json::error_handler_t::replace));
}

} // namespace

struct AccessoryEmulator::Client
{
    QTcpSocket* socket = nullptr;
    int id = 0;
    bool dead = false;
    FrameCodec::Decoder decoder;

    Client(QTcpSocket* s, int number, std::uint32_t maxFrame) : socket(s), id(number), decoder(maxFrame) {}
};

AccessoryEmulator::AccessoryEmulator(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options))
{
    init();
}

AccessoryEmulator::AccessoryEmulator(QObject* parent) : AccessoryEmulator(Options{}, parent) {}

void AccessoryEmulator::init()
{
    qRegisterMetaType<AccessoryEmulator::Event>();
    qRegisterMetaType<AccessoryEmulator::Message>();
    m_clock.start();
    m_reenumerationTimer.setSingleShot(true);
    connect(&m_reenumerationTimer, &QTimer::timeout, this, &AccessoryEmulator::switchToNetworkMode);
}

AccessoryEmulator::~AccessoryEmulator()
{
    stop();
}

QString AccessoryEmulator::toString(Event::Kind kind)
{
    switch (kind) {
    case Event::Kind::Listening:
        return QStringLiteral("listening");
    case Event::Kind::NotListening:
        return QStringLiteral("not-listening");
    case Event::Kind::Connected:
        return QStringLiteral("connected");
    case Event::Kind::Disconnected:
        return QStringLiteral("disconnected");
    case Event::Kind::Received:
        return QStringLiteral("received");
    case Event::Kind::Sent:
        return QStringLiteral("sent");
    case Event::Kind::BadInput:
        return QStringLiteral("bad-input");
    case Event::Kind::PairingStored:
        return QStringLiteral("pairing-stored");
    case Event::Kind::UsbAppeared:
        return QStringLiteral("usb-appeared");
    case Event::Kind::UsbLeft:
        return QStringLiteral("usb-left");
    case Event::Kind::UsbBulkOut:
        return QStringLiteral("usb-bulk-out");
    case Event::Kind::Stalled:
        return QStringLiteral("stalled");
    case Event::Kind::Resumed:
        return QStringLiteral("resumed");
    case Event::Kind::Error:
        return QStringLiteral("error");
    }
    return QStringLiteral("unknown");
}

QString AccessoryEmulator::toString(HandshakeReply reply)
{
    switch (reply) {
    case HandshakeReply::Dictionary:
        return QStringLiteral("dictionary");
    case HandshakeReply::NotDictionary:
        return QStringLiteral("not-dictionary");
    case HandshakeReply::Error:
        return QStringLiteral("error");
    case HandshakeReply::Silent:
        return QStringLiteral("silent");
    }
    return QStringLiteral("unknown");
}

std::optional<AccessoryEmulator::HandshakeReply>
AccessoryEmulator::handshakeReplyFromString(const QString& text)
{
    for (HandshakeReply r : {HandshakeReply::Dictionary, HandshakeReply::NotDictionary, HandshakeReply::Error,
                             HandshakeReply::Silent})
        if (text == toString(r))
            return r;
    return std::nullopt;
}

std::optional<AccessoryEmulator::Garbage> AccessoryEmulator::garbageFromString(const QString& text)
{
    if (text == QLatin1String("oversized"))
        return Garbage::OversizedLength;
    if (text == QLatin1String("truncated"))
        return Garbage::TruncatedFrame;
    if (text == QLatin1String("utf8"))
        return Garbage::InvalidUtf8;
    if (text == QLatin1String("not-json"))
        return Garbage::NotJson;
    return std::nullopt;
}

// --- life cycle -------------------------------------------------------------------------

bool AccessoryEmulator::start(QString* error)
{
    if (m_started)
        return true;
    loadPairingFile();
    if (!m_options.usbSimDirectory.isEmpty()) {
        m_bus = std::make_unique<SimulatedUsbDevice>(m_options.usbSimDirectory, m_options.usbDeviceName);
        connect(m_bus.get(), &SimulatedUsbDevice::endpointWritten, this, &AccessoryEmulator::onBulkOut);
    }
    m_started = true;
    if (m_bus && m_options.startInRawMode && !m_refusing) {
        // Take the port now, so it is known (and stays the same) before the network comes up.
        if (!listen(error)) {
            stop();
            return false;
        }
        stopListening();
    }
    if (!plug(error)) {
        stop();
        return false;
    }
    return true;
}

void AccessoryEmulator::stop()
{
    if (!m_started)
        return;
    m_reenumerationTimer.stop();
    dropConnections();
    stopListening();
    leaveBus();
    m_bus.reset();
    delete m_server;
    m_server = nullptr;
    m_clients.clear();
    m_started = false;
}

bool AccessoryEmulator::isListening() const
{
    return m_server && m_server->isListening();
}

bool AccessoryEmulator::listen(QString* error)
{
    if (isListening())
        return true;
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &AccessoryEmulator::acceptPending);
    }
    const std::uint16_t port = m_port ? m_port : m_options.port;
    if (!m_server->listen(m_options.listenAddress, port)) {
        const QString why = QStringLiteral("cannot listen on %1:%2: %3")
                                .arg(m_options.listenAddress.toString())
                                .arg(port)
                                .arg(m_server->errorString());
        emitEvent(Event::Kind::Error, why);
        if (error)
            *error = why;
        return false;
    }
    m_port = m_server->serverPort();
    // Accepted connections inherit the listener's receive buffer size.
    const int size = m_options.receiveBufferSize;
    if (size > 0)
        ::setsockopt(static_cast<int>(m_server->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &size,
                     sizeof size);
    emitEvent(Event::Kind::Listening,
              QStringLiteral("%1:%2").arg(m_options.listenAddress.toString()).arg(m_port));
    return true;
}

void AccessoryEmulator::stopListening()
{
    if (!isListening())
        return;
    m_server->close();
    emitEvent(Event::Kind::NotListening,
              QStringLiteral("%1:%2").arg(m_options.listenAddress.toString()).arg(m_port));
}

bool AccessoryEmulator::setRefusing(bool refusing, QString* error)
{
    m_refusing = refusing;
    if (refusing) {
        stopListening();
        return true;
    }
    const bool networkUp = m_started && m_plugged && (!m_bus || m_usbState == UsbState::Network);
    return networkUp ? listen(error) : true;
}

// --- connections ------------------------------------------------------------------------

void AccessoryEmulator::acceptPending()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket* socket = m_server->nextPendingConnection();
        socket->setParent(this);
        auto client = std::make_unique<Client>(socket, ++m_connectionCounter, m_options.maxFrameSize);
        ++m_counts.connections;
        if (m_stalled)
            socket->setReadBufferSize(1);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            if (Client* c = findClient(socket))
                readClient(*c);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (Client* c = findClient(socket))
                closeClient(*c, QStringLiteral("closed by the peer"));
        });
        const int id = client->id;
        m_clients.push_back(std::move(client));
        emitEvent(Event::Kind::Connected, QStringLiteral("#%1 from %2:%3")
                                              .arg(id)
                                              .arg(socket->peerAddress().toString())
                                              .arg(socket->peerPort()));
        emit peerConnected(id);
        // Bytes may already be waiting (the peer writes right after connecting).
        if (Client* c = findClient(socket); c && socket->bytesAvailable() > 0)
            readClient(*c);
    }
}

AccessoryEmulator::Client* AccessoryEmulator::findClient(QTcpSocket* socket)
{
    for (auto& c : m_clients)
        if (c->socket == socket && !c->dead)
            return c.get();
    return nullptr;
}

int AccessoryEmulator::forEachClient(const std::function<void(Client&)>& fn)
{
    // Snapshot: fn may close clients.
    std::vector<Client*> live;
    for (auto& c : m_clients)
        if (!c->dead)
            live.push_back(c.get());
    for (Client* c : live)
        if (!c->dead)
            fn(*c);
    return static_cast<int>(live.size());
}

void AccessoryEmulator::closeClient(Client& client, const QString& why, bool graceful)
{
    if (client.dead)
        return;
    client.dead = true;
    QTcpSocket* socket = client.socket;
    QObject::disconnect(socket, nullptr, this, nullptr);
    if (graceful && socket->state() == QAbstractSocket::ConnectedState) {
        // What is queued goes out first; a peer that never takes it is cut off after a while.
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(5000, socket, [socket] { socket->abort(); });
        socket->disconnectFromHost();
    } else {
        socket->abort();
        socket->deleteLater();
    }
    const int id = client.id;
    emitEvent(Event::Kind::Disconnected, QStringLiteral("#%1 %2").arg(id).arg(why));
    emit peerDisconnected(id);
    purgeLater();
}

void AccessoryEmulator::purgeLater()
{
    // Dead entries go later: callers up the stack may still hold a reference.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_clients.erase(std::remove_if(m_clients.begin(), m_clients.end(),
                                           [](const std::unique_ptr<Client>& c) { return c->dead; }),
                            m_clients.end());
        },
        Qt::QueuedConnection);
}

int AccessoryEmulator::dropConnections()
{
    return forEachClient([this](Client& c) { closeClient(c, QStringLiteral("dropped")); });
}

void AccessoryEmulator::setStalled(bool stalled)
{
    if (m_stalled == stalled)
        return;
    m_stalled = stalled;
    forEachClient([stalled](Client& c) { c.socket->setReadBufferSize(stalled ? 1 : 0); });
    emitEvent(stalled ? Event::Kind::Stalled : Event::Kind::Resumed,
              stalled ? QStringLiteral("not reading any connection") : QStringLiteral("reading again"));
    if (!stalled) {
        // Work through what piled up, outside the caller's stack.
        QMetaObject::invokeMethod(
            this, [this] { forEachClient([this](Client& c) { readClient(c); }); }, Qt::QueuedConnection);
    }
}

void AccessoryEmulator::readClient(Client& client)
{
    if (m_stalled || client.dead)
        return;
    client.decoder.append(client.socket->readAll());
    QByteArray body;
    while (!client.dead) {
        const auto status = client.decoder.next(body);
        if (status == FrameCodec::Decoder::Status::NeedMore)
            return;
        if (status == FrameCodec::Decoder::Status::Error) {
            ++m_counts.badFrames;
            emitEvent(Event::Kind::BadInput,
                      QStringLiteral("#%1 %2").arg(client.id).arg(client.decoder.errorString()));
            // Replies already written still go out before the connection closes.
            closeClient(client, QStringLiteral("after a bad frame"), true);
            return;
        }
        handleBody(client, body);
    }
}

// --- messages ---------------------------------------------------------------------------

void AccessoryEmulator::handleBody(Client& client, const QByteArray& body)
{
    Message m;
    m.arrival = std::chrono::steady_clock::now();
    m.msSinceStart = m_clock.elapsed();
    m.connection = client.id;
    m.text = body;

    std::string parseError;
    const auto object = KPJSONRPCObject::parse(std::string_view(body.constData(), body.size()), &parseError);
    if (object) {
        m.valid = true;
        m.kind = object->kind();
        switch (object->kind()) {
        case KPJSONRPCObject::Kind::Request: {
            const auto& r = static_cast<const KPJSONRPCRequest&>(*object);
            m.method = r.method();
            m.id = r.aId();
            m.params = r.params();
            break;
        }
        case KPJSONRPCObject::Kind::Notification: {
            const auto& n = static_cast<const KPJSONRPCNotification&>(*object);
            m.method = n.method();
            m.params = n.params();
            break;
        }
        case KPJSONRPCObject::Kind::Response:
            m.id = static_cast<const KPJSONRPCResponse&>(*object).aId();
            break;
        }
    } else {
        m.error = QString::fromStdString(parseError);
    }

    ++m_counts.messages;
    m_messages.push_back(m);
    if (m_messages.size() > kMaxRecords)
        m_messages.pop_front();

    if (!m.valid) {
        ++m_counts.invalidMessages;
        emitEvent(Event::Kind::BadInput,
                  QStringLiteral("#%1 not JSON-RPC (%2): %3").arg(client.id).arg(m.error, printable(body)));
    } else {
        emitEvent(Event::Kind::Received, QStringLiteral("#%1 %2").arg(client.id).arg(printable(body)));
    }
    emit messageReceived(m);
    if (client.dead)
        return;

    if (!m.valid) {
        reply(client, KPJSONRPCResponse::failure(nullptr, -32700, "Parse error"));
        return;
    }
    if (m.kind == KPJSONRPCObject::Kind::Notification) {
        if (m.method == "heartbeat") {
            ++m_counts.heartbeats;
            if (body != QByteArray(kHeartbeatText))
                emitEvent(Event::Kind::BadInput,
                          QStringLiteral("#%1 heartbeat differs from the expected text").arg(client.id));
        } else if (m.method == "notify-projection-started") {
            ++m_counts.projectionStarted;
        } else if (m.method == "notify-projection-stopped") {
            ++m_counts.projectionStopped;
        }
        return;
    }
    if (m.kind != KPJSONRPCObject::Kind::Request)
        return; // responses to our notifications' peers are only recorded

    if (m.method == "handshake") {
        ++m_counts.handshakes;
        switch (m_options.handshakeReply) {
        case HandshakeReply::Dictionary:
            reply(client, KPJSONRPCResponse::success(m.id, m_options.handshakeResult));
            break;
        case HandshakeReply::NotDictionary:
            reply(client, KPJSONRPCResponse::success(m.id, "handshake accepted"));
            break;
        case HandshakeReply::Error:
            reply(client, KPJSONRPCResponse::failure(m.id, -32000, "handshake refused"));
            break;
        case HandshakeReply::Silent:
            break;
        }
    } else if (m.method == "query-connection-intent") {
        ++m_counts.intentQueries;
        if (m_pairing)
            reply(client, KPJSONRPCResponse::success(m.id, intentFromPairing(*m_pairing)));
        else
            reply(client, KPJSONRPCResponse::failure(m.id, -32001, "no pairing data"));
    } else if (m.method == "set-pairing-data") {
        ++m_counts.pairingWrites;
        QString error;
        if (!m.params.is_object())
            reply(client,
                  KPJSONRPCResponse::failure(m.id, -32602, "Invalid params: a pairing object is required"));
        else if (!setPairing(m.params, &error))
            reply(client, KPJSONRPCResponse::failure(m.id, -32002, error.toStdString()));
        else
            reply(client, KPJSONRPCResponse::success(m.id, "ok"));
    } else {
        reply(client, KPJSONRPCResponse::failure(m.id, -32601, "Method not found"));
    }
}

void AccessoryEmulator::reply(Client& client, const KPJSONRPCResponse& response)
{
    writeFrame(client, QByteArray::fromStdString(response.JSONRPCMessage()));
}

void AccessoryEmulator::writeFrame(Client& client, const QByteArray& body)
{
    if (client.dead)
        return;
    client.socket->write(FrameCodec::encode(body));
    emitEvent(Event::Kind::Sent, QStringLiteral("#%1 %2").arg(client.id).arg(printable(body)));
}

int AccessoryEmulator::sendNotification(const std::string& method, const Json& params)
{
    const QByteArray body = QByteArray::fromStdString(KPJSONRPCNotification(method, params).JSONRPCMessage());
    return forEachClient([&](Client& c) { writeFrame(c, body); });
}

int AccessoryEmulator::pressButton()
{
    ++m_counts.buttonPresses;
    return sendNotification("notify-button-pressed");
}

int AccessoryEmulator::longPressButton()
{
    ++m_counts.longPresses;
    return sendNotification("notify-button-long-pressed");
}

int AccessoryEmulator::sendFrame(const QByteArray& body)
{
    return forEachClient([&](Client& c) { writeFrame(c, body); });
}

int AccessoryEmulator::sendRaw(const QByteArray& bytes)
{
    return forEachClient([&](Client& c) {
        c.socket->write(bytes);
        emitEvent(Event::Kind::Sent, QStringLiteral("#%1 %2 raw bytes").arg(c.id).arg(bytes.size()));
    });
}

int AccessoryEmulator::sendGarbage(Garbage kind)
{
    switch (kind) {
    case Garbage::OversizedLength:
        return sendRaw(FrameCodec::encodeHeader(kOversizedLength));
    case Garbage::TruncatedFrame: {
        const QByteArray part = QByteArrayLiteral(R"({"jsonrpc": "2.0", "met)");
        return forEachClient([&](Client& c) {
            c.socket->write(FrameCodec::encodeHeader(100) + part);
            emitEvent(
                Event::Kind::Sent,
                QStringLiteral("#%1 %2 of 100 announced bytes, then closing").arg(c.id).arg(part.size()));
            closeClient(c, QStringLiteral("closed mid-frame"), true);
        });
    }
    case Garbage::InvalidUtf8:
        return sendFrame(QByteArrayLiteral("{\"jsonrpc\": \"2.0\", \"method\": \"\xff\xfe\xc3\x28\"}"));
    case Garbage::NotJson:
        return sendFrame(QByteArrayLiteral("this is not JSON"));
    }
    return 0;
}

// --- pairing ----------------------------------------------------------------------------

Json AccessoryEmulator::intentFromPairing(const Json& pairing)
{
    Json intent = Json::object();
    if (!pairing.is_object())
        return intent;
    // Members of another type or of absurd length are left out, as the accessory would.
    for (const char* key : {"ip_addr", "hostname", "ssid_2.4G", "ssid_5G"})
        if (const auto value = JsonAccess::string(pairing, key, 1024))
            intent[key] = *value;
    return intent;
}

bool AccessoryEmulator::setPairing(const Json& pairing, QString* error)
{
    const std::optional<Json> previous = m_pairing;
    m_pairing = pairing;
    if (!savePairingFile(error)) {
        m_pairing = previous;
        return false;
    }
    emitEvent(Event::Kind::PairingStored, jsonText(pairing));
    return true;
}

void AccessoryEmulator::clearPairing()
{
    m_pairing.reset();
    if (!m_options.pairingFile.isEmpty())
        QFile::remove(m_options.pairingFile);
}

bool AccessoryEmulator::loadPairingFile()
{
    m_pairing = m_options.initialPairing;
    if (m_options.pairingFile.isEmpty())
        return true;
    QFile file(m_options.pairingFile);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        emitEvent(Event::Kind::Error, QStringLiteral("cannot read the pairing file %1: %2")
                                          .arg(m_options.pairingFile, file.errorString()));
        return false;
    }
    const QByteArray bytes = file.read(m_options.maxFrameSize + 1);
    Json stored = Json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (!stored.is_object()) {
        emitEvent(
            Event::Kind::Error,
            QStringLiteral("the pairing file %1 does not hold a JSON object; starting without a pairing")
                .arg(m_options.pairingFile));
        m_pairing.reset();
        return false;
    }
    m_pairing = std::move(stored);
    return true;
}

bool AccessoryEmulator::savePairingFile(QString* error)
{
    if (m_options.pairingFile.isEmpty())
        return true;
    QSaveFile file(m_options.pairingFile);
    const QByteArray bytes = QByteArray::fromStdString(m_pairing->dump(2) + "\n");
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        const QString why = QStringLiteral("cannot write the pairing file %1: %2")
                                .arg(m_options.pairingFile, file.errorString());
        emitEvent(Event::Kind::Error, why);
        if (error)
            *error = why;
        return false;
    }
    return true;
}

// --- USB --------------------------------------------------------------------------------

bool AccessoryEmulator::appearOnBus(UsbState state, QString* error)
{
    const bool raw = state == UsbState::Raw;
    const SimulatedUsbDescription description =
        raw ? SimulatedUsbDevice::rawModeAccessory(kRawVendorId, kRawProductId)
            : SimulatedUsbDevice::networkModeAccessory();
    QString why;
    if (!m_bus->plug(description, &why)) {
        emitEvent(Event::Kind::Error, why);
        if (error)
            *error = why;
        return false;
    }
    m_usbState = state;
    m_bulkOutPending.clear();
    if (raw)
        m_bus->watchEndpoint(kRawBulkOutEndpoint);
    emitEvent(Event::Kind::UsbAppeared, QStringLiteral("%1 mode (%2:%3 \"%4\") as %5")
                                            .arg(raw ? QStringLiteral("raw") : QStringLiteral("network"))
                                            .arg(description.vendorId, 4, 16, QLatin1Char('0'))
                                            .arg(description.productId, 4, 16, QLatin1Char('0'))
                                            .arg(description.product, m_bus->descriptionPath()));
    return true;
}

void AccessoryEmulator::leaveBus()
{
    if (!m_bus || m_usbState == UsbState::Absent)
        return;
    m_bus->unwatchEndpoint(kRawBulkOutEndpoint);
    QString why;
    if (!m_bus->unplug(&why))
        emitEvent(Event::Kind::Error, why);
    m_usbState = UsbState::Absent;
    emitEvent(Event::Kind::UsbLeft, m_bus->descriptionPath());
}

void AccessoryEmulator::unplug()
{
    m_plugged = false;
    m_reenumerationTimer.stop();
    dropConnections();
    stopListening();
    leaveBus();
}

bool AccessoryEmulator::plug(QString* error)
{
    m_plugged = true;
    if (!m_started)
        return true;
    if (m_bus) {
        if (m_usbState != UsbState::Absent)
            return true;
        if (m_options.startInRawMode)
            return appearOnBus(UsbState::Raw, error);
        // The service is up before the host sees the device, as with a booted accessory.
        if (!m_refusing && !listen(error))
            return false;
        return appearOnBus(UsbState::Network, error);
    }
    return m_refusing ? true : listen(error);
}

void AccessoryEmulator::onBulkOut(std::uint8_t endpoint, const QByteArray& bytes)
{
    emitEvent(Event::Kind::UsbBulkOut, QStringLiteral("endpoint 0x%1: %2 bytes %3")
                                           .arg(endpoint, 2, 16, QLatin1Char('0'))
                                           .arg(bytes.size())
                                           .arg(QString::fromLatin1(bytes.left(32).toHex(' '))));
    if (m_usbState != UsbState::Raw || endpoint != kRawBulkOutEndpoint)
        return;
    m_bulkOutPending += bytes;
    const QByteArray command(kSwitchCommandLength, kSwitchCommandByte);
    if (m_bulkOutPending == command) {
        ++m_counts.switchCommands;
        m_bulkOutPending.clear();
        leaveBus();
        m_reenumerationTimer.start(m_options.reenumerationDelay);
    } else if (!command.startsWith(m_bulkOutPending)) {
        emitEvent(Event::Kind::BadInput,
                  QStringLiteral("ignored %1 bytes on the bulk OUT endpoint: not the mode switch command")
                      .arg(m_bulkOutPending.size()));
        m_bulkOutPending.clear();
    }
}

void AccessoryEmulator::switchToNetworkMode()
{
    if (!m_plugged || !m_bus)
        return;
    QString error;
    if (!m_refusing)
        listen(&error);
    appearOnBus(UsbState::Network, &error);
}

// --- records ----------------------------------------------------------------------------

void AccessoryEmulator::emitEvent(Event::Kind kind, const QString& text)
{
    Event event{kind, m_clock.elapsed(), text};
    m_events.push_back(event);
    if (m_events.size() > kMaxRecords)
        m_events.pop_front();
    if (kind == Event::Kind::Error || kind == Event::Kind::BadInput)
        qCWarning(lcAccessoryEmulator).noquote() << toString(kind) << text;
    else
        qCDebug(lcAccessoryEmulator).noquote() << toString(kind) << text;
    emit eventOccurred(event);
}

std::vector<AccessoryEmulator::Message> AccessoryEmulator::messagesWithMethod(const std::string& method) const
{
    std::vector<Message> out;
    for (const Message& m : m_messages)
        if (m.valid && m.method == method)
            out.push_back(m);
    return out;
}

AccessoryEmulator::Summary AccessoryEmulator::summary() const
{
    Summary s = m_counts;
    s.activeConnections = static_cast<int>(std::count_if(
        m_clients.begin(), m_clients.end(), [](const std::unique_ptr<Client>& c) { return !c->dead; }));
    return s;
}

QString AccessoryEmulator::summaryText() const
{
    const Summary s = summary();
    return QStringLiteral(
               "connections=%1 active=%2 messages=%3 heartbeats=%4 handshakes=%5 intent-queries=%6 "
               "pairing-writes=%7 projection-started=%8 projection-stopped=%9 invalid=%10 "
               "bad-frames=%11 presses=%12 long-presses=%13 switch-commands=%14 pairing=%15")
        .arg(s.connections)
        .arg(s.activeConnections)
        .arg(s.messages)
        .arg(s.heartbeats)
        .arg(s.handshakes)
        .arg(s.intentQueries)
        .arg(s.pairingWrites)
        .arg(s.projectionStarted)
        .arg(s.projectionStopped)
        .arg(s.invalidMessages)
        .arg(s.badFrames)
        .arg(s.buttonPresses)
        .arg(s.longPresses)
        .arg(s.switchCommands)
        .arg(m_pairing ? QStringLiteral("yes") : QStringLiteral("no"));
}

void AccessoryEmulator::clearRecords()
{
    m_messages.clear();
    m_events.clear();
    const int connections = m_counts.connections;
    m_counts = Summary{};
    m_counts.connections = connections;
}
