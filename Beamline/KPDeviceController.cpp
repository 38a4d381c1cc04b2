#include "Beamline/KPDeviceController.h"

#include "Beamline/BeamlineLogging.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPGenericDevice.h"
#include "Support/BlockingCall.h"
#include "Support/ThreadHandoff.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QTimer>

KPDeviceController& KPDeviceController::sharedDeviceController()
{
    // Lives until the process ends, like the rest of the application's single objects.
    static KPDeviceController* instance = new KPDeviceController();
    return *instance;
}

KPDeviceController::KPDeviceController(QObject* parent) : QObject(parent)
{
    m_targets = {KPScanTarget{QHostAddress(QHostAddress::Broadcast), KPBeamlineProtocol::kDiscoveryPort}};
    m_linkThread.setObjectName(QStringLiteral("Beamline link"));
    Support::markEndOf(&m_linkThread);
    m_linkThread.start();
    m_discoveryThread.setObjectName(QStringLiteral("Beamline discovery"));
    Support::markEndOf(&m_discoveryThread);
    m_discoveryThread.start();
    m_expiryTimer = new QTimer(this);
    QObject::connect(m_expiryTimer, &QTimer::timeout, this, &KPDeviceController::expireDevices);
}

KPDeviceController::~KPDeviceController()
{
    stopScan();
    if (m_transmitter) {
        m_transmitter->setDisplayEndedCallback(nullptr);
        m_transmitter->setLinkClosedCallback(nullptr);
        m_transmitter->close();
        m_transmitter.reset();
        publishTransmitter();
    }
    // Let the link thread run what is queued (the link's shutdown) before it stops.
    if (auto* dispatcher = QAbstractEventDispatcher::instance(&m_linkThread))
        Support::blockingCall(dispatcher, [] {});
    m_linkThread.quit();
    if (m_linkThread.wait())
        Support::joined(&m_linkThread);
    m_discoveryThread.quit();
    if (m_discoveryThread.wait()) // deletes the stopped scanners' workers
        Support::joined(&m_discoveryThread);
}

void KPDeviceController::registerScanner(ScannerFactory scanner, KPDevicePredicate predicate,
                                         TransmitterFactory transmitter, KPDeviceFactory device)
{
    Registration r;
    r.scanner = std::move(scanner);
    r.predicate = std::move(predicate);
    r.transmitter = std::move(transmitter);
    r.device = std::move(device);
    m_registrations.push_back(std::move(r));
}

void KPDeviceController::setScanTargets(const QList<KPScanTarget>& targets)
{
    m_targets = targets;
    if (m_scanning) {
        stopScan();
        startScan();
    }
}

void KPDeviceController::startScan()
{
    stopScan();
    if (!m_discovered.empty()) {
        m_discovered.clear();
        emit discoveredDevicesChanged();
        if (m_delegate)
            m_delegate->deviceControllerDidUpdateDevices(this);
    }
    for (std::size_t i = 0; i < m_registrations.size(); ++i) {
        Registration& r = m_registrations[i];
        if (!r.scanner)
            continue;
        r.running = r.scanner();
        if (!r.running)
            continue;
        r.running->setWorkThread(&m_discoveryThread);
        r.running->setHostFoundCallback([this, i](const KPRemoteHost& host) { hostFound(i, host); });
        r.running->startScan(m_targets, m_interval);
    }
    m_scanning = true;
    m_expiryTimer->start(m_interval);
}

void KPDeviceController::stopScan()
{
    for (Registration& r : m_registrations) {
        if (r.running) {
            r.running->stopScan();
            r.running.reset();
        }
    }
    m_expiryTimer->stop();
    m_scanning = false;
}

QList<std::shared_ptr<KPPrototypeDevice>> KPDeviceController::discoveredDevices() const
{
    QList<std::shared_ptr<KPPrototypeDevice>> out;
    out.reserve(qsizetype(m_discovered.size()));
    for (const Discovered& d : m_discovered)
        out.append(d.device);
    return out;
}

void KPDeviceController::hostFound(std::size_t registration, const KPRemoteHost& host)
{
    const Registration& r = m_registrations[registration];
    if (r.predicate && !r.predicate(host))
        return;
    const QString key = host.ipAddress() + QLatin1Char(':') + QString::number(host.controlPort());
    const auto now = std::chrono::steady_clock::now();
    for (Discovered& d : m_discovered) {
        if (d.key != key)
            continue;
        d.lastSeen = now;
        const KPRemoteHost known = d.device->remoteHost();
        if (known.toJson() == host.toJson())
            return;
        // The receiver changed its name or capabilities: replace the record in place, so the
        // discovery order stays.
        if (auto device = r.device ? r.device(host, KPNetworkDevice::kDefaultConnectionTimeout) : nullptr)
            d.device = std::move(device);
        emit discoveredDevicesChanged();
        if (m_delegate)
            m_delegate->deviceControllerDidUpdateDevices(this);
        return;
    }
    // Bounded like the scanners' own tracking, whatever the scanner: a host on the network
    // cannot grow the list by answering from many ports or under many names.
    const auto sameAddress =
        std::count_if(m_discovered.cbegin(), m_discovered.cend(),
                      [&](const Discovered& d) { return d.device->ipAddress() == host.ipAddress(); });
    if (m_discovered.size() >= std::size_t(kMaxDiscoveredDevices) ||
        sameAddress >= KPDeviceScanner::kMaxReceiversPerAddress) {
        if (m_droppedDevices++ == 0)
            qCWarning(lcBeamline).noquote()
                << "more receivers than" << kMaxDiscoveredDevices << "(or"
                << KPDeviceScanner::kMaxReceiversPerAddress << "per address) answer; not listing the others";
        return;
    }
    auto device = r.device ? r.device(host, KPNetworkDevice::kDefaultConnectionTimeout) : nullptr;
    if (!device)
        return;
    qCInfo(lcBeamline).noquote() << "discovered" << host.hostName() << "at" << host.ipAddress();
    m_discovered.push_back(Discovered{key, std::move(device), now});
    emit discoveredDevicesChanged();
    if (m_delegate)
        m_delegate->deviceControllerDidUpdateDevices(this);
}

void KPDeviceController::expireDevices()
{
    const auto limit = std::chrono::steady_clock::now() - m_interval * kExpiryIntervals;
    const auto before = m_discovered.size();
    std::erase_if(m_discovered, [limit](const Discovered& d) { return d.lastSeen < limit; });
    if (m_discovered.size() != before) {
        emit discoveredDevicesChanged();
        if (m_delegate)
            m_delegate->deviceControllerDidUpdateDevices(this);
    }
}

const KPDeviceController::Registration*
KPDeviceController::registrationFor(const std::shared_ptr<KPPrototypeDevice>& device) const
{
    if (m_registrations.empty())
        return nullptr;
    for (const Discovered& d : m_discovered) {
        if (d.device != device)
            continue;
        // Discovered devices belong to the registration whose predicate accepted them.
        for (const Registration& r : m_registrations)
            if (!r.predicate || r.predicate(device->remoteHost()))
                return &r;
    }
    return &m_registrations.front();
}

void KPDeviceController::connect(std::shared_ptr<KPPrototypeDevice> device)
{
    ConnectionCallback callback = m_connectionCallback;
    // Connecting again to the receiver this controller is linked to keeps the link (and any
    // display stream on it): the caller is told at once that it is connected.
    if (device && isConnected()) {
        std::shared_ptr<KPPrototypeDevice> current = m_transmitter->connectedDevice();
        if (current && current->ipAddress() == device->ipAddress() &&
            current->remoteHost().controlPort() == device->remoteHost().controlPort()) {
            QMetaObject::invokeMethod(
                this,
                [callback, current] {
                    if (callback)
                        callback(current, std::nullopt);
                },
                Qt::QueuedConnection);
            return;
        }
    }
    ++m_connectGeneration;
    if (m_transmitter) {
        m_transmitter->setLinkClosedCallback(nullptr);
        m_transmitter->close(); // a pending connect completes with Cancelled
        m_transmitter.reset();
        publishTransmitter();
    }
    if (!device) {
        QMetaObject::invokeMethod(
            this,
            [callback] {
                if (callback)
                    callback(nullptr, KPError::make(KPError::InvalidDevice, QStringLiteral("no device")));
            },
            Qt::QueuedConnection);
        return;
    }

    const Registration* r = registrationFor(device);
    KPDeviceFactory deviceFactory =
        r && r->device ? r->device : KPDeviceFactory([](const KPRemoteHost& host, double timeout) {
            return std::make_shared<KPGenericDevice>(host, timeout);
        });
    if (r && r->transmitter)
        m_transmitter = r->transmitter(device, deviceFactory, &m_linkThread, this);
    else
        m_transmitter =
            std::make_shared<KPGenericDeviceDataTransmitter>(device, deviceFactory, &m_linkThread, this);
    publishTransmitter();

    QPointer<KPDeviceController> self(this);
    std::weak_ptr<KPGenericDeviceDataTransmitter> weak = m_transmitter;
    m_transmitter->setDisplayEndedCallback([self] {
        if (self && self->m_disconnectCallback)
            self->m_disconnectCallback();
    });
    m_transmitter->setLinkClosedCallback([self, weak](const KPError& error) {
        auto t = weak.lock();
        if (!self || !t || self->m_transmitter != t)
            return;
        if (self->m_delegate)
            self->m_delegate->deviceControllerDidLoseConnection(self, t->connectedDevice(), error);
    });
    qCInfo(lcBeamline).noquote() << "connecting to" << device->hostName() << "at" << device->ipAddress();
    m_transmitter->open([callback, weak, device](std::optional<KPError> error) {
        std::shared_ptr<KPPrototypeDevice> connected = device;
        if (auto t = weak.lock(); t && !error)
            connected = t->connectedDevice();
        if (error)
            qCInfo(lcBeamline).noquote()
                << "connection to" << device->hostName() << "failed:" << error->message;
        if (callback)
            callback(connected, error);
    });
}

void KPDeviceController::disconnect()
{
    ++m_connectGeneration;
    if (!m_transmitter)
        return;
    m_transmitter->setLinkClosedCallback(nullptr);
    m_transmitter->close();
    m_transmitter.reset();
    publishTransmitter();
}

bool KPDeviceController::isConnected() const
{
    return m_transmitter && m_transmitter->isConnected();
}

void KPDeviceController::startWifiDisplay()
{
    StartCallback callback = m_startCallback;
    if (!m_transmitter) {
        QMetaObject::invokeMethod(
            this,
            [callback] {
                if (callback)
                    callback(
                        KPError::make(KPError::NotConnected, QStringLiteral("no receiver is connected")));
            },
            Qt::QueuedConnection);
        return;
    }
    m_transmitter->startDisplay([callback](std::optional<KPError> error) {
        if (callback)
            callback(error);
    });
}

void KPDeviceController::stopWifiDisplay()
{
    if (m_transmitter)
        m_transmitter->stopDisplay();
}

bool KPDeviceController::isWIFIDisplayOn() const
{
    return m_transmitter && m_transmitter->isDisplayOn();
}

std::shared_ptr<KPDataTransmitter> KPDeviceController::transmitter() const
{
    std::lock_guard<std::mutex> lock(m_publishedMutex);
    return m_published;
}

void KPDeviceController::publishTransmitter()
{
    std::lock_guard<std::mutex> lock(m_publishedMutex);
    m_published = m_transmitter;
}
