#pragma once

// Base of the device scanners the device controller runs while scanning. A scanner reports
// the receiver replies it accepts; the controller filters with the registered predicate.
// Created and driven on the main thread; a scanner does its socket work on a thread of its
// own (the work thread, when given) and reports on the main thread.

#include "Beamline/KPRemoteHost.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QThread>
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

    // Receivers a scanner keeps track of at most, in all and per IPv4 address (one receiver
    // per control port). Replies for further receivers are dropped and counted.
    static constexpr int kMaxReceivers = 32;
    static constexpr int kMaxReceiversPerAddress = 4;

    using QObject::QObject;
    ~KPDeviceScanner() override = default;

    // The thread that reads the scanner's socket (not owned; it must outlive the scan). Without
    // one the scanner starts a thread of its own.
    void setWorkThread(QThread* thread) { m_workThread = thread; }
    QThread* workThread() const { return m_workThread; }

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
    QThread* m_workThread = nullptr;
};
