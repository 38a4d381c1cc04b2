#pragma once

// Finds receivers by sending the echo query over UDP to each scan target and parsing the
// discovery replies. Only IPv4 replies from one of the targets' ports are considered.

#include "Beamline/KPDeviceScanner.h"

#include <QTimer>
#include <functional>
#include <memory>

class QUdpSocket;

// Decides whether a discovered receiver belongs to a registration.
using KPDevicePredicate = std::function<bool(const KPRemoteHost& host)>;

class KPGenericDeviceScanner : public KPDeviceScanner
{
    Q_OBJECT
public:
    explicit KPGenericDeviceScanner(QObject* parent = nullptr);
    ~KPGenericDeviceScanner() override;

    // Receivers whose vendor is "vistrel" (case-insensitive).
    static KPDevicePredicate vistrelProPredicate();
    // Receivers of the given vendor (case-insensitive); an empty vendor matches every receiver.
    static KPDevicePredicate vistrelProPredicate(const QString& vendor);
    // The vendor string configured for this build (see KPPrototypeDevice::vendorStringFromPlist).
    static QString vendorStringFromPlist();

    bool startScan(const QList<KPScanTarget>& targets, std::chrono::milliseconds interval) override;
    void stopScan() override;
    bool isScanning() const override { return m_timer.isActive(); }

    // How many datagrams were dropped as foreign, malformed or not discovery replies.
    quint64 ignoredDatagrams() const { return m_ignored; }

private:
    void sendQueries();
    void readPending();

    std::unique_ptr<QUdpSocket> m_socket;
    QTimer m_timer;
    QList<KPScanTarget> m_targets;
    quint64 m_ignored = 0;
};
