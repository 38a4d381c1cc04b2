#include "Pikora/Discovery/UnicastRemoteHostScanner.h"

#include "Beamline/KPRemoteCommandGenerator.h"
#include "Beamline/KPVistrelRemoteSocketDataParser.h"
#include "Pikora/App/AppLogging.h"
#include "Support/BlockingCall.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QThread>
#include <QUdpSocket>
#include <cmath>

namespace {
constexpr int kQueryTag = 106; // the send's tag; no completion is observed
}

UnicastRemoteHostScanner::UnicastRemoteHostScanner(quint16 port)
    : m_port(port == 0 ? KPBeamlineProtocol::kDiscoveryPort : port),
      m_operationQueue(std::make_unique<DispatchQueue>("UnicastRemoteHostScanner.operationQueue"))
{
}

UnicastRemoteHostScanner::~UnicastRemoteHostScanner()
{
    closeSocket();
    if (m_socketThread) {
        m_socketThread->quit();
        m_socketThread->wait();
    }
    m_operationQueue.reset(); // drains pending parsers while the rest is still alive
}

std::optional<KPRemoteHost> UnicastRemoteHostScanner::target() const
{
    std::lock_guard lock(m_mutex);
    return m_target;
}

void UnicastRemoteHostScanner::setTarget(std::optional<KPRemoteHost> target)
{
    std::lock_guard lock(m_mutex);
    m_target = std::move(target);
}

void UnicastRemoteHostScanner::openSocket()
{
    if (!m_socketThread) {
        m_socketThread = std::make_unique<QThread>();
        m_socketThread->setObjectName(QStringLiteral("UnicastRemoteHostScanner socket"));
        m_socketThread->start();
    }
    QObject* context = new QObject;
    context->moveToThread(m_socketThread.get());
    Support::blockingCall(context, [this, context] {
        auto* socket = new QUdpSocket(context);
        socket->setProxy(QNetworkProxy::NoProxy); // receivers are local, never proxied
        // Bound on every address family so that the sender filter below, not the socket,
        // decides which replies count. Broadcast sends are allowed on Qt's UDP sockets.
        if (!socket->bind(QHostAddress::Any, 0) && !socket->bind(QHostAddress::AnyIPv4, 0))
            qCWarning(lcDiscovery).noquote()
                << QStringLiteral("%1, Error binding: %2")
                       .arg(QLatin1String("UnicastRemoteHostScanner::unicast"), socket->errorString());
        QObject::connect(socket, &QUdpSocket::readyRead, socket, [this, socket] {
            while (socket->hasPendingDatagrams()) {
                const QNetworkDatagram d =
                    socket->receiveDatagram(KPBeamlineProtocol::kMaxDiscoveryDatagramSize + 1);
                if (d.isValid())
                    udpSocketDidReceiveData(d.data(), d.senderAddress(), quint16(d.senderPort()));
            }
        });
        QObject::connect(socket, &QUdpSocket::errorOccurred, socket, [socket](QAbstractSocket::SocketError) {
            if (socket->state() != QAbstractSocket::BoundState)
                qCWarning(lcDiscovery).noquote()
                    << QStringLiteral("%1, Error receiving: %2")
                           .arg(QLatin1String("UnicastRemoteHostScanner::unicast"), socket->errorString());
        });
        m_udpSocket = socket;
        m_hasSocket = true;
    });
}

void UnicastRemoteHostScanner::closeSocket()
{
    if (!m_hasSocket || !m_socketThread)
        return;
    QObject* context = m_udpSocket ? m_udpSocket->parent() : nullptr;
    if (!context)
        return;
    Support::blockingCall(context, [this, context] {
        // Clear the delegate first (no more receive callbacks), then release the socket.
        m_udpSocket->disconnect();
        m_udpSocket = nullptr;
        m_hasSocket = false;
        delete context;
    });
}

std::optional<KPRemoteHost> UnicastRemoteHostScanner::unicast(const QString& ip, double timeout)
{
    // A new query: earlier replies and their wake-ups no longer count.
    std::shared_ptr<DispatchSemaphore> sem;
    {
        std::lock_guard lock(m_mutex);
        ++m_generation;
        m_target.reset();
        if (!m_sem)
            m_sem = std::make_shared<DispatchSemaphore>(0);
        sem = m_sem;
    }
    sem->drain();

    openSocket();
    const QByteArray query = KPRemoteCommandGenerator().commandGetEcho();
    const QHostAddress address(ip);
    QObject* context = m_udpSocket ? m_udpSocket->parent() : nullptr;
    if (context) {
        Support::blockingCall(context, [this, &query, &address] {
            if (m_udpSocket && !address.isNull())
                m_udpSocket->writeDatagram(query, address, m_port); // tag kQueryTag, no timeout
        });
    }
    (void)kQueryTag;

    const double seconds = std::isfinite(timeout) && timeout > 0 ? timeout : 0.0;
    const auto wait = std::chrono::nanoseconds(static_cast<long long>(seconds * 1e9));
    sem->waitFor(wait);

    closeSocket();
    std::lock_guard lock(m_mutex);
    // Parses of this query that are still queued must not fill the record after we return.
    ++m_generation;
    return m_target;
}

void UnicastRemoteHostScanner::udpSocketDidReceiveData(const QByteArray& data, const QHostAddress& address,
                                                       quint16 port)
{
    bool isIPv4 = false;
    const quint32 v4 = address.toIPv4Address(&isIPv4);
    if (!isIPv4)
        return;
    const QString host = QHostAddress(v4).toString();
    if (host.isEmpty() || data.isNull() || port != m_port)
        return;
    parseData(data, host, m_port);
}

void UnicastRemoteHostScanner::parseData(const QByteArray& data, const QString& host, quint16 port)
{
    parseData(data, host, port, *m_operationQueue, this);
}

void UnicastRemoteHostScanner::parseData(const QByteArray& data, const QString& host, quint16 port,
                                         DispatchQueue& queue, KPSocketDataParserDelegate* delegate)
{
    auto parser = std::make_shared<KPVistrelRemoteSocketDataParser>();
    parser->setDataToParse(data);
    parser->setHost(host);
    parser->setPort(port);
    parser->setDelegate(delegate);
    {
        std::lock_guard lock(m_mutex);
        m_parserGeneration[parser.get()] = m_generation;
    }
    queue.async([this, parser] {
        parser->main();
        std::lock_guard lock(m_mutex);
        m_parserGeneration.erase(parser.get());
    });
}

void UnicastRemoteHostScanner::didFinishParsing(const Json& message, KPSocketDataParser* parser)
{
    (void)message;
    auto* vistrel = dynamic_cast<KPVistrelRemoteSocketDataParser*>(parser);
    if (!vistrel || !vistrel->isDiscoveryMessage())
        return;

    // Fill the whole record before publishing it, so nobody reads a half-filled one.
    KPRemoteHost host(nullptr);
    host.setParameters(vistrel->parameters());
    host.setIpAddress(vistrel->host());
    host.setDeviceModel(vistrel->deviceModel());
    host.setVendor(vistrel->vendor());
    host.setHostName(vistrel->hostName());
    host.setDisplayName(vistrel->displayName());
    host.setSrcvers(vistrel->srcvers());
    host.setProtocolVersion(vistrel->protocolVersion());
    const Json& parameters = vistrel->parameters();
    if (auto it = parameters.find("passcode"); it != parameters.end() && it->is_string())
        host.setPasscode(QString::fromStdString(it->get<std::string>()));

    {
        std::lock_guard lock(m_mutex);
        auto it = m_parserGeneration.find(parser);
        if (it == m_parserGeneration.end() || it->second != m_generation)
            return; // belongs to a query that has already returned
        m_target = std::move(host);
        if (m_sem)
            m_sem->signal();
    }
}

void UnicastRemoteHostScanner::parseErrorOccurred(const QString& error, KPSocketDataParser* parser)
{
    // A reply that cannot be parsed is dropped; the query keeps waiting.
    qCDebug(lcDiscovery).noquote() << "unicast reply from" << (parser ? parser->host() : QString())
                                   << "dropped:" << error;
}
