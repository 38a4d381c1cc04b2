#include "Beamline/KPGenericDeviceScanner.h"

#include "Beamline/BeamlineLogging.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPPrototypeDevice.h"
#include "Beamline/KPRemoteCommandGenerator.h"
#include "Beamline/KPVistrelRemoteSocketDataParser.h"
#include "Support/ThreadHandoff.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QTimer>
#include <QUdpSocket>
#include <deque>
#include <map>
#include <mutex>

// The main-thread side the worker reports to; cleared by stopScan() so that nothing is posted
// to a scanner that has stopped or gone.
struct KPGenericDeviceScanner::Link
{
    std::mutex mutex;
    KPGenericDeviceScanner* owner = nullptr;
};

class KPGenericDeviceScanner::Worker : public QObject
{
public:
    Worker(KPDeviceScanner* scanner, QList<KPScanTarget> targets, std::chrono::milliseconds interval,
           std::shared_ptr<Link> link, std::shared_ptr<Counters> counters)
        : m_scanner(scanner), m_targets(std::move(targets)), m_interval(interval), m_link(std::move(link)),
          m_counters(std::move(counters))
    {
    }

    // Runs on the work thread.
    void start()
    {
        m_socket = new QUdpSocket(this);
        m_socket->setProxy(QNetworkProxy::NoProxy); // discovery is local broadcast, never proxied
        if (!m_socket->bind(QHostAddress::AnyIPv4, 0)) {
            qCWarning(lcBeamline) << "KPGenericDeviceScanner: cannot bind the scan socket:"
                                  << m_socket->errorString();
            return;
        }
        m_counters->localPort = m_socket->localPort();
        QObject::connect(m_socket, &QUdpSocket::readyRead, this, [this] { readPending(); });
        m_timer = new QTimer(this);
        m_timer->setTimerType(Qt::CoarseTimer);
        QObject::connect(m_timer, &QTimer::timeout, this, [this] { sendQueries(); });
        m_timer->start(m_interval);
        sendQueries();
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Seen
    {
        quint32 address = 0;
        std::string reply; // the last reported reply, without its token
        Clock::time_point lastReported;
        Clock::time_point lastHeard;
    };

    void sendQueries()
    {
        const std::string token = KPRemoteCommandGenerator::newQueryToken();
        m_tokens.push_back(token);
        while (m_tokens.size() > std::size_t(kTokenWindow))
            m_tokens.pop_front();
        // Receivers not heard from for as long as the device list keeps them are forgotten here
        // too, which frees their place under the limits.
        const auto limit = Clock::now() - m_interval * kTokenWindow;
        std::erase_if(m_seen, [limit](const auto& entry) { return entry.second.lastHeard < limit; });

        const QByteArray query = KPRemoteCommandGenerator().commandGetEcho(token);
        for (const KPScanTarget& target : std::as_const(m_targets)) {
            if (m_socket->writeDatagram(query, target.address, target.port) < 0)
                qCDebug(lcBeamline) << "KPGenericDeviceScanner: echo to" << target.address << target.port
                                    << "failed:" << m_socket->errorString();
        }
    }

    // The token of a recent query that `data` contains, if any: a plain search, so that
    // unsolicited datagrams are dropped without being parsed.
    const std::string* recentTokenIn(const QByteArray& data) const
    {
        for (auto it = m_tokens.rbegin(); it != m_tokens.rend(); ++it) {
            if (data.contains(QByteArrayView(it->data(), qsizetype(it->size()))))
                return &*it;
        }
        return nullptr;
    }

    void readPending()
    {
        while (m_socket->hasPendingDatagrams()) {
            const QNetworkDatagram datagram =
                m_socket->receiveDatagram(KPBeamlineProtocol::kMaxDiscoveryDatagramSize + 1);
            ++m_counters->received;
            handle(datagram);
        }
    }

    void handle(const QNetworkDatagram& datagram)
    {
        bool isIPv4 = false;
        const quint32 v4 = datagram.senderAddress().toIPv4Address(&isIPv4);
        const quint16 port = quint16(datagram.senderPort());
        const bool fromTargetPort = std::any_of(m_targets.cbegin(), m_targets.cend(),
                                                [port](const KPScanTarget& t) { return t.port == port; });
        if (!isIPv4 || !fromTargetPort) {
            ++m_counters->ignored;
            return;
        }
        if (!recentTokenIn(datagram.data())) {
            ++m_counters->unsolicited;
            return;
        }
        KPVistrelRemoteSocketDataParser parser;
        parser.setDataToParse(datagram.data());
        parser.setHost(QHostAddress(v4).toString());
        parser.setPort(port);
        QString error;
        if (!parser.parseNow(&error) || !parser.isDiscoveryMessage()) {
            if (!error.isEmpty())
                qCDebug(lcBeamline) << "KPGenericDeviceScanner: dropped reply from" << parser.host() << ":"
                                    << error;
            ++m_counters->ignored;
            return;
        }
        // The token must be one of ours exactly, not merely appear somewhere in the reply.
        if (std::find(m_tokens.cbegin(), m_tokens.cend(), parser.token()) == m_tokens.cend()) {
            ++m_counters->unsolicited;
            return;
        }

        KPRemoteHost host(m_scanner); // only names the scanner; never dereferenced here
        host.setParameters(parser.parameters());
        host.setIpAddress(parser.host());
        host.setDeviceModel(parser.deviceModel());
        host.setVendor(parser.vendor());
        host.setHostName(parser.hostName());
        host.setDisplayName(parser.displayName());
        host.setSrcvers(parser.srcvers());
        host.setProtocolVersion(parser.protocolVersion());
        host.setPasscode(parser.passcode());

        const QString key = host.ipAddress() + QLatin1Char(':') + QString::number(host.controlPort());
        const auto now = Clock::now();
        auto it = m_seen.find(key);
        if (it == m_seen.end()) {
            const auto sameAddress = std::count_if(m_seen.cbegin(), m_seen.cend(),
                                                   [v4](const auto& e) { return e.second.address == v4; });
            if (m_seen.size() >= std::size_t(kMaxReceivers) || sameAddress >= kMaxReceiversPerAddress) {
                if (m_counters->overLimit++ == 0)
                    qCWarning(lcBeamline).noquote()
                        << "KPGenericDeviceScanner: more receivers answer than" << kMaxReceivers << "(or"
                        << kMaxReceiversPerAddress << "per address); dropping the others";
                return;
            }
            it = m_seen.emplace(key, Seen{v4, {}, {}, now}).first;
        }
        Seen& seen = it->second;
        seen.lastHeard = now;
        std::string reply = host.toJson().dump(-1, ' ', false, Json::error_handler_t::replace);
        const bool due = seen.reply.empty() || reply != seen.reply || now - seen.lastReported >= m_interval;
        if (!due)
            return;
        seen.reply = std::move(reply);
        seen.lastReported = now;
        report(host);
    }

    void report(const KPRemoteHost& host)
    {
        std::lock_guard lock(m_link->mutex);
        KPGenericDeviceScanner* owner = m_link->owner;
        if (!owner)
            return;
        ++m_counters->reported;
        std::weak_ptr<Link> link = m_link;
        Support::postTo(owner, [owner, link, host] {
            const auto strong = link.lock();
            if (!strong)
                return;
            {
                std::lock_guard lock(strong->mutex);
                if (strong->owner != owner)
                    return; // stopped, or restarted since
            }
            owner->reportHost(host);
        });
    }

    KPDeviceScanner* const m_scanner;
    const QList<KPScanTarget> m_targets;
    const std::chrono::milliseconds m_interval;
    const std::shared_ptr<Link> m_link;
    const std::shared_ptr<Counters> m_counters;
    QUdpSocket* m_socket = nullptr;
    QTimer* m_timer = nullptr;
    std::deque<std::string> m_tokens;
    std::map<QString, Seen> m_seen;
};

KPGenericDeviceScanner::KPGenericDeviceScanner(QObject* parent)
    : KPDeviceScanner(parent), m_counters(std::make_shared<Counters>())
{
}

KPGenericDeviceScanner::~KPGenericDeviceScanner()
{
    stopScan();
    if (m_ownThread) {
        m_ownThread->quit();
        m_ownThread->wait(); // runs the worker's pending deletion
    }
}

KPDevicePredicate KPGenericDeviceScanner::vistrelProPredicate()
{
    return vistrelProPredicate(QStringLiteral("vistrel"));
}

KPDevicePredicate KPGenericDeviceScanner::vistrelProPredicate(const QString& vendor)
{
    return [vendor](const KPRemoteHost& host) {
        return vendor.isEmpty() || host.vendor().compare(vendor, Qt::CaseInsensitive) == 0;
    };
}

QString KPGenericDeviceScanner::vendorStringFromPlist()
{
    return KPPrototypeDevice::vendorStringFromPlist();
}

bool KPGenericDeviceScanner::startScan(const QList<KPScanTarget>& targets, std::chrono::milliseconds interval)
{
    stopScan();
    QThread* thread = workThread();
    if (!thread) {
        if (!m_ownThread) {
            m_ownThread = std::make_unique<QThread>();
            m_ownThread->setObjectName(QStringLiteral("Beamline discovery"));
            m_ownThread->start();
        }
        thread = m_ownThread.get();
    }
    m_link = std::make_shared<Link>();
    m_link->owner = this;
    m_counters->localPort = 0;
    m_worker = new Worker(this, targets,
                          std::max<std::chrono::milliseconds>(interval, std::chrono::milliseconds(50)),
                          m_link, m_counters);
    m_worker->moveToThread(thread);
    Worker* worker = m_worker;
    Support::postTo(worker, [worker] { worker->start(); });
    return true;
}

void KPGenericDeviceScanner::stopScan()
{
    if (!m_worker)
        return;
    {
        std::lock_guard lock(m_link->mutex);
        m_link->owner = nullptr;
    }
    m_link.reset();
    // Deleted on its own thread, after anything already queued there (its socket closes then).
    m_worker->deleteLater();
    m_worker = nullptr;
}

quint64 KPGenericDeviceScanner::ignoredDatagrams() const
{
    return m_counters->ignored + m_counters->unsolicited + m_counters->overLimit;
}
