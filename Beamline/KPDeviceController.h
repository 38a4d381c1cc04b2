#pragma once

// The process's entry to the receivers: discovery, one connection at a time, the display
// stream on it, and its transmitter. Main thread only (callbacks also run on the main
// thread). The link itself runs on a thread of its own.
//
//   auto& dc = KPDeviceController::sharedDeviceController();
//   dc.registerScanner<KPGenericDeviceScanner, KPGenericDeviceDataTransmitter, KPGenericDevice>(
//       KPGenericDeviceScanner::vistrelProPredicate());
//   dc.startScan();                       // broadcast to UDP 63630 unless setScanTargets()
//   ... dc.discoveredDevices() ...
//   dc.setConnectionCallback([](auto device, auto error) { ... });
//   dc.connect(device);                   // exactly one callback per connect()

#include "Beamline/KPDeviceScanner.h"
#include "Beamline/KPError.h"
#include "Beamline/KPGenericDeviceDataTransmitter.h"
#include "Beamline/KPGenericDeviceScanner.h"

#include <QList>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class KPDeviceController;

// Optional callbacks; the defaults do nothing.
class KPDeviceControllerDelegate
{
public:
    virtual ~KPDeviceControllerDelegate() = default;
    // discoveredDevices() changed (a receiver appeared, changed or went away).
    virtual void deviceControllerDidUpdateDevices(KPDeviceController* controller) { (void)controller; }
    // The link to the connected receiver ended without disconnect().
    virtual void deviceControllerDidLoseConnection(KPDeviceController* controller,
                                                   const std::shared_ptr<KPPrototypeDevice>& device,
                                                   const KPError& error)
    {
        (void)controller;
        (void)device;
        (void)error;
    }
};

class KPDeviceController : public QObject
{
    Q_OBJECT
public:
    using ScannerFactory = std::function<std::unique_ptr<KPDeviceScanner>()>;
    using TransmitterFactory = std::function<std::shared_ptr<KPGenericDeviceDataTransmitter>(
        std::shared_ptr<KPPrototypeDevice> device, KPDeviceFactory deviceFactory, QThread* linkThread,
        QObject* context)>;
    using ConnectionCallback =
        std::function<void(std::shared_ptr<KPPrototypeDevice> device, std::optional<KPError> error)>;
    using StartCallback = std::function<void(std::optional<KPError> error)>;
    using DisconnectCallback = std::function<void()>;

    static constexpr std::chrono::milliseconds kDefaultScanInterval{1000};
    // A device not heard from for this many scan intervals leaves discoveredDevices().
    static constexpr int kExpiryIntervals = 5;
    // discoveredDevices() holds at most this many receivers, and at most
    // KPDeviceScanner::kMaxReceiversPerAddress per IPv4 address; others are not listed.
    static constexpr int kMaxDiscoveredDevices = KPDeviceScanner::kMaxReceivers;

    // The process-wide controller (created on first use, on the main thread).
    static KPDeviceController& sharedDeviceController();

    // Independent controllers for tests.
    explicit KPDeviceController(QObject* parent = nullptr);
    ~KPDeviceController() override;

    using QObject::connect;

    // Registers a kind of receiver: the scanner that finds it, the predicate a receiver must
    // satisfy, the transmitter that talks to it and the device record that describes it.
    void registerScanner(ScannerFactory scanner, KPDevicePredicate predicate, TransmitterFactory transmitter,
                         KPDeviceFactory device);
    template <class Scanner, class Transmitter, class Device>
    void registerScanner(KPDevicePredicate predicate)
    {
        registerScanner([] { return std::unique_ptr<KPDeviceScanner>(new Scanner()); }, std::move(predicate),
                        [](std::shared_ptr<KPPrototypeDevice> device, KPDeviceFactory factory,
                           QThread* thread, QObject* context) {
                            return std::make_shared<Transmitter>(std::move(device), std::move(factory),
                                                                 thread, context);
                        },
                        [](const KPRemoteHost& host, double timeout) -> std::shared_ptr<KPPrototypeDevice> {
                            return std::make_shared<Device>(host, timeout);
                        });
    }

    void setDelegate(KPDeviceControllerDelegate* delegate) { m_delegate = delegate; }
    KPDeviceControllerDelegate* delegate() const { return m_delegate; }

    // --- discovery
    // Where startScan() sends its echo queries. Default: the IPv4 broadcast address, UDP 63630.
    void setScanTargets(const QList<KPScanTarget>& targets);
    QList<KPScanTarget> scanTargets() const { return m_targets; }
    void setScanInterval(std::chrono::milliseconds interval) { m_interval = interval; }
    // Clears the list and queries the targets now and then about once per interval.
    void startScan();
    // Stops querying; the list keeps what was found.
    void stopScan();
    bool isScanning() const { return m_scanning; }
    // Receivers in the order their first reply arrived.
    QList<std::shared_ptr<KPPrototypeDevice>> discoveredDevices() const;
    // Replies for receivers beyond the limits, since this controller was made.
    quint64 droppedDevices() const { return m_droppedDevices; }

    // --- connection
    void setConnectionCallback(ConnectionCallback callback) { m_connectionCallback = std::move(callback); }
    // Connects to `device`, replacing any earlier connection to another receiver; asking for
    // the receiver already linked keeps that link and its display stream. The connection callback that is
    // set now runs exactly once for this call, later, on the main thread: with the connected
    // device and no error, or with the device and an error (connect timeout, refused, replaced
    // by a newer connect(), disconnect()).
    void connect(std::shared_ptr<KPPrototypeDevice> device);
    void disconnect();
    bool isConnected() const;
    // The transmitter of the last connect() (kept after its link ends until the next connect()
    // or disconnect()); null before.
    // Safe to call from any thread (the capture session reads it from its queues).
    std::shared_ptr<KPDataTransmitter> transmitter() const;
    std::shared_ptr<KPGenericDeviceDataTransmitter> genericTransmitter() const { return m_transmitter; }

    // --- display stream
    void setWifiDisplayStartCallback(StartCallback callback) { m_startCallback = std::move(callback); }
    void setWifiDisplayDisconnectCallback(DisconnectCallback callback)
    {
        m_disconnectCallback = std::move(callback);
    }
    // Asks the connected receiver for a display stream; the start callback runs once with no
    // error when the receiver accepts it, or with the error.
    void startWifiDisplay();
    // Ends the display stream; the disconnect callback follows.
    void stopWifiDisplay();
    bool isWIFIDisplayOn() const;

signals:
    void discoveredDevicesChanged();

private:
    struct Registration
    {
        ScannerFactory scanner;
        KPDevicePredicate predicate;
        TransmitterFactory transmitter;
        KPDeviceFactory device;
        std::unique_ptr<KPDeviceScanner> running;
    };
    struct Discovered
    {
        QString key;
        std::shared_ptr<KPPrototypeDevice> device;
        std::chrono::steady_clock::time_point lastSeen;
    };

    void hostFound(std::size_t registration, const KPRemoteHost& host);
    void expireDevices();
    const Registration* registrationFor(const std::shared_ptr<KPPrototypeDevice>& device) const;

    std::vector<Registration> m_registrations;
    KPDeviceControllerDelegate* m_delegate = nullptr;
    QList<KPScanTarget> m_targets;
    std::chrono::milliseconds m_interval = kDefaultScanInterval;
    bool m_scanning = false;
    std::vector<Discovered> m_discovered;
    QTimer* m_expiryTimer = nullptr;
    quint64 m_droppedDevices = 0;

    ConnectionCallback m_connectionCallback;
    StartCallback m_startCallback;
    DisconnectCallback m_disconnectCallback;
    std::shared_ptr<KPGenericDeviceDataTransmitter> m_transmitter; // main thread
    // The copy transmitter() hands to other threads, updated with m_transmitter.
    mutable std::mutex m_publishedMutex;
    std::shared_ptr<KPGenericDeviceDataTransmitter> m_published;
    void publishTransmitter();
    quint64 m_connectGeneration = 0;

    QThread m_linkThread;
    QThread m_discoveryThread; // the scanners read their sockets here
};
