#include "Pikora/Discovery/UnicastRemoteHostScanner.h"

#include "Beamline/KPRemoteCommandGenerator.h"
#include "Beamline/KPVistrelRemoteSocketDataParser.h"
#include "Pikora/App/AppLogging.h"
#include "Support/ThreadHandoff.h"

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
    if (m_socketThread) {
        // The socket is the context's child; both go when the thread finishes, on that thread.
        m_context->deleteLater();
        m_socketThread->quit();
        if (m_socketThread->wait())
            Support::joined(m_socketThread.get());
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

std::string UnicastRemoteHostScanner::queryToken() const
{
    std::lock_guard lock(m_mutex);
    return m_token;
}

void UnicastRemoteHostScanner::ensureSocketThread()
{
    if (m_socketThread)
        return;
    m_socketThread = std::make_unique<QThread>();
    m_socketThread->setObjectName(QStringLiteral("UnicastRemoteHostScanner socket"));
    m_context = new QObject;
    m_context->moveToThread(m_socketThread.get());
    Support::markEndOf(m_socketThread.get());
    m_socketThread->start();
}

void UnicastRemoteHostScanner::openAndSend(const QByteArray& query, const QHostAddress& address)
{
    if (!m_udpSocket) {
        auto* socket = new QUdpSocket(m_context);
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
    }
    if (!address.isNull())
        m_udpSocket->writeDatagram(query, address, m_port); // tag kQueryTag, no timeout
    (void)kQueryTag;
}

void UnicastRemoteHostScanner::closeSocket()
{
    if (!m_udpSocket)
        return;
    // Clear the delegate first (no more receive callbacks), then release the socket.
    m_udpSocket->disconnect();
    delete m_udpSocket;
    m_udpSocket = nullptr;
}

std::optional<KPRemoteHost> UnicastRemoteHostScanner::unicast(const QString& ip, double timeout)
{
    const double seconds = std::isfinite(timeout) && timeout > 0 ? std::min(timeout, 3600.0) : 0.0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::nanoseconds(static_cast<long long>(seconds * 1e9));
    const std::string token = KPRemoteCommandGenerator::newQueryToken();

    // A new query: earlier replies and their wake-ups no longer count.
    std::shared_ptr<DispatchSemaphore> sem;
    {
        std::lock_guard lock(m_mutex);
        m_target.reset();
        m_token = token;
        if (!m_sem)
            m_sem = std::make_shared<DispatchSemaphore>(0);
        sem = m_sem;
    }
    sem->drain();

    ensureSocketThread();
    m_hasSocket = true;
    // Posted, not waited for: the only wait of the query is the one below, up to its timeout.
    // The socket thread gets bytes of its own: no buffer is shared between the two threads.
    const QByteArray built = KPRemoteCommandGenerator().commandGetEcho(token);
    QByteArray query(built.constData(), built.size());
    const QHostAddress address(ip);
    Support::postTo(m_context, [this, query = std::move(query), address] { openAndSend(query, address); });

    sem->waitFor(
        std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration(0)));

    Support::postTo(m_context, [this] { closeSocket(); });
    m_hasSocket = false;
    std::lock_guard lock(m_mutex);
    // Parses of this query that are still queued must not fill the record after we return.
    m_token.clear();
    return m_target;
}

void UnicastRemoteHostScanner::udpSocketDidReceiveData(const QByteArray& data, const QHostAddress& address,
                                                       quint16 port)
{
    bool isIPv4 = false;
    const quint32 v4 = address.toIPv4Address(&isIPv4);
    if (!isIPv4 || data.isNull() || port != m_port)
        return;
    {
        // A plain search for the query's token drops unsolicited datagrams unparsed.
        std::lock_guard lock(m_mutex);
        if (m_token.empty() || !data.contains(QByteArrayView(m_token.data(), qsizetype(m_token.size())))) {
            ++m_dropped;
            return;
        }
    }
    if (m_pendingParses.load() >= kMaxPendingParses) {
        ++m_dropped;
        return;
    }
    parseData(data, QHostAddress(v4).toString(), m_port);
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
    ++m_pendingParses;
    queue.async([this, parser] {
        parser->main();
        --m_pendingParses;
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
    host.setPasscode(vistrel->passcode());

    std::lock_guard lock(m_mutex);
    if (m_token.empty() || vistrel->token() != m_token) {
        // Not an answer to the query under way (an earlier one's, or nobody's).
        ++m_dropped;
        return;
    }
    m_target = std::move(host);
    if (m_sem)
        m_sem->signal();
}

void UnicastRemoteHostScanner::parseErrorOccurred(const QString& error, KPSocketDataParser* parser)
{
    // A reply that cannot be parsed is dropped; the query keeps waiting.
    qCDebug(lcDiscovery).noquote() << "unicast reply from" << (parser ? parser->host() : QString())
                                   << "dropped:" << error;
}
