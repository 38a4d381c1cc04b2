#pragma once

// Base of the device scanners the device controller runs while scanning. A scanner reports
// every receiver reply it accepts; the controller filters with the registered predicate.
// Main thread only.

#include "Beamline/KPRemoteHost.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <chrono>
#include <functional>

struct KPScanTarget
{
    QHostAddress address;
    quint16 port = 0;
    friend bool operator==(const KPScanTarget&, const KPScanTarget&) = default;
};

class KPDeviceScanner : public QObject
{
    Q_OBJECT
public:
    using HostFoundCallback = std::function<void(const KPRemoteHost& host)>;

    using QObject::QObject;
    ~KPDeviceScanner() override = default;

    void setHostFoundCallback(HostFoundCallback callback) { m_hostFound = std::move(callback); }

    // Queries every target now and then once per interval until stopScan().
    virtual bool startScan(const QList<KPScanTarget>& targets, std::chrono::milliseconds interval) = 0;
    virtual void stopScan() = 0;
    virtual bool isScanning() const = 0;

protected:
    void reportHost(const KPRemoteHost& host)
    {
        if (m_hostFound)
            m_hostFound(host);
    }

private:
    HostFoundCallback m_hostFound;
};
