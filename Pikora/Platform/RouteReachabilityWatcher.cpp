#include "Pikora/Platform/RouteReachabilityWatcher.h"

#include "Pikora/App/AppLogging.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QNetworkInformation>
#include <QThread>
#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// Any port: connect() on a datagram socket only picks the route and sends nothing.
constexpr quint16 kProbePort = 9;

struct SocketCloser
{
    int fd;
    ~SocketCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The process-wide network information, loaded once from the main thread; nullptr when no
// backend is available.
QNetworkInformation* networkInformation()
{
    static bool tried = false;
    if (!tried && QCoreApplication::instance() &&
        QThread::currentThread() == QCoreApplication::instance()->thread()) {
        tried = true;
        if (!QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
            qCDebug(lcPlatform) << "no network information backend; reachability is polled only";
    }
    return QNetworkInformation::instance();
}

} // namespace

RouteReachabilityWatcher::RouteReachabilityWatcher(QString hostname, std::chrono::milliseconds interval,
                                                   RouteProbe probe, QObject* parent)
    : QObject(parent), m_hostname(std::move(hostname)), m_probe(std::move(probe))
{
    m_address = QHostAddress(m_hostname);
    m_timer.setInterval(interval);
    connect(&m_timer, &QTimer::timeout, this, &RouteReachabilityWatcher::checkNow);
}

RouteReachabilityWatcher::~RouteReachabilityWatcher()
{
    stopNotifier();
}

std::unique_ptr<ReachabilityWatcher> RouteReachabilityWatcher::create(const QString& hostname)
{
    return std::make_unique<RouteReachabilityWatcher>(hostname);
}

RouteReachabilityWatcher::RouteState RouteReachabilityWatcher::probeRoute(const QHostAddress& address)
{
    sockaddr_storage remote{};
    socklen_t remoteLength = 0;
    bool ok = false;
    const quint32 ipv4 = address.toIPv4Address(&ok);
    if (ok) {
        auto* in = reinterpret_cast<sockaddr_in*>(&remote);
        in->sin_family = AF_INET;
        in->sin_port = htons(kProbePort);
        in->sin_addr.s_addr = htonl(ipv4);
        remoteLength = sizeof(sockaddr_in);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&remote);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(kProbePort);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        const QString scope = address.scopeId();
        if (!scope.isEmpty()) {
            bool numeric = false;
            const uint index = scope.toUInt(&numeric);
            in6->sin6_scope_id = numeric ? index : ::if_nametoindex(scope.toLocal8Bit().constData());
        }
        remoteLength = sizeof(sockaddr_in6);
    } else {
        return {};
    }

    const SocketCloser socket{::socket(remote.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (socket.fd < 0)
        return {};
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&remote), remoteLength) != 0)
        return {}; // no route (ENETUNREACH and the like)
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(socket.fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0)
        return {};
    RouteState state;
    state.reachable = true;
    state.localAddress = QHostAddress(reinterpret_cast<const sockaddr*>(&local));
    return state;
}

void RouteReachabilityWatcher::setReachableBlock(Block block)
{
    m_reachable = std::move(block);
}

void RouteReachabilityWatcher::setUnreachableBlock(Block block)
{
    m_unreachable = std::move(block);
}

bool RouteReachabilityWatcher::startNotifier()
{
    if (m_running)
        return true;
    if (m_hostname.isEmpty() || !m_probe) {
        qCWarning(lcPlatform) << "cannot watch the reachability of an empty host";
        return false;
    }
    ++m_generation;
    m_running = true;
    m_baseline.reset();
    if (auto* info = networkInformation())
        connect(info, &QNetworkInformation::reachabilityChanged, this, &RouteReachabilityWatcher::checkNow,
                Qt::UniqueConnection);
    checkNow(); // an address literal takes its baseline right here
    m_timer.start();
    return true;
}

void RouteReachabilityWatcher::stopNotifier()
{
    if (!m_running)
        return;
    ++m_generation;
    m_running = false;
    m_timer.stop();
    if (auto* info = QNetworkInformation::instance())
        disconnect(info, nullptr, this, nullptr);
    if (m_lookupPending)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupPending = false;
    m_baseline.reset();
}

void RouteReachabilityWatcher::checkNow()
{
    if (!m_running)
        return;
    if (!m_address.isNull()) {
        evaluate(m_probe(m_address));
        return;
    }
    lookUpAndEvaluate();
}

void RouteReachabilityWatcher::lookUpAndEvaluate()
{
    if (m_lookupPending)
        return;
    m_lookupPending = true;
    const unsigned generation = m_generation;
    m_lookupId = QHostInfo::lookupHost(m_hostname, this, [this, generation](const QHostInfo& info) {
        if (generation != m_generation)
            return;
        m_lookupPending = false;
        RouteState state;
        if (info.error() == QHostInfo::NoError) {
            for (const QHostAddress& address : info.addresses()) {
                state = m_probe(address);
                if (state.reachable)
                    break;
            }
        }
        evaluate(state);
    });
}

void RouteReachabilityWatcher::evaluate(const RouteState& state)
{
    if (!m_running)
        return;
    if (!m_baseline) {
        m_baseline = state;
        return;
    }
    if (*m_baseline == state)
        return;
    qCInfo(lcPlatform).noquote() << "reachability of" << m_hostname << "changed:"
                                 << (state.reachable ? "reachable via " + state.localAddress.toString()
                                                     : QStringLiteral("unreachable"));
    m_baseline = state;
    // Reported from the event loop rather than from inside the timer's signal, because the
    // block may well stop or destroy this watcher; a report still queued when the watcher is
    // stopped or destroyed is dropped.
    const unsigned generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, reachable = state.reachable] {
            if (generation != m_generation || !m_running)
                return;
            const Block block = reachable ? m_reachable : m_unreachable; // copied: see above
            if (block)
                block();
        },
        Qt::QueuedConnection);
}
