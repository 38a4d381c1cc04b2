#include "Beamline/KPGenericDeviceScanner.h"

#include "Beamline/BeamlineLogging.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPPrototypeDevice.h"
#include "Beamline/KPRemoteCommandGenerator.h"
#include "Beamline/KPVistrelRemoteSocketDataParser.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QUdpSocket>

KPGenericDeviceScanner::KPGenericDeviceScanner(QObject* parent) : KPDeviceScanner(parent)
{
    m_timer.setTimerType(Qt::CoarseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, this, &KPGenericDeviceScanner::sendQueries);
}

KPGenericDeviceScanner::~KPGenericDeviceScanner() = default;

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
    m_targets = targets;
    m_socket = std::make_unique<QUdpSocket>();
    m_socket->setProxy(QNetworkProxy::NoProxy); // discovery is local broadcast, never proxied
    if (!m_socket->bind(QHostAddress::AnyIPv4, 0)) {
        qCWarning(lcBeamline) << "KPGenericDeviceScanner: cannot bind the scan socket:"
                              << m_socket->errorString();
        m_socket.reset();
        return false;
    }
    QObject::connect(m_socket.get(), &QUdpSocket::readyRead, this, &KPGenericDeviceScanner::readPending);
    m_timer.start(std::max<std::chrono::milliseconds>(interval, std::chrono::milliseconds(50)));
    sendQueries();
    return true;
}

void KPGenericDeviceScanner::stopScan()
{
    m_timer.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->close();
        m_socket.reset();
    }
}

void KPGenericDeviceScanner::sendQueries()
{
    if (!m_socket)
        return;
    const QByteArray query = KPRemoteCommandGenerator().commandGetEcho();
    for (const KPScanTarget& target : std::as_const(m_targets)) {
        if (m_socket->writeDatagram(query, target.address, target.port) < 0)
            qCDebug(lcBeamline) << "KPGenericDeviceScanner: echo to" << target.address << target.port
                                << "failed:" << m_socket->errorString();
    }
}

void KPGenericDeviceScanner::readPending()
{
    while (m_socket && m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram =
            m_socket->receiveDatagram(KPBeamlineProtocol::kMaxDiscoveryDatagramSize + 1);
        bool isIPv4 = false;
        const quint32 v4 = datagram.senderAddress().toIPv4Address(&isIPv4);
        const quint16 port = quint16(datagram.senderPort());
        const bool fromTargetPort = std::any_of(m_targets.cbegin(), m_targets.cend(),
                                                [port](const KPScanTarget& t) { return t.port == port; });
        if (!isIPv4 || !fromTargetPort) {
            ++m_ignored;
            continue;
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
            ++m_ignored;
            continue;
        }
        KPRemoteHost host(this);
        host.setParameters(parser.parameters());
        host.setIpAddress(parser.host());
        host.setDeviceModel(parser.deviceModel());
        host.setVendor(parser.vendor());
        host.setHostName(parser.hostName());
        host.setDisplayName(parser.displayName());
        host.setSrcvers(parser.srcvers());
        host.setProtocolVersion(parser.protocolVersion());
        if (auto it = parser.parameters().find("passcode");
            it != parser.parameters().end() && it->is_string())
            host.setPasscode(QString::fromStdString(it->get<std::string>()));
        reportHost(host);
    }
}
