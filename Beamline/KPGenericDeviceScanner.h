#pragma once

// Finds receivers by sending the echo query over UDP to each scan target and parsing the
// discovery replies. The socket lives on the work thread: every datagram is read, filtered
// and parsed there, so a flood of replies never reaches the main thread. A reply counts only
// when it comes from an IPv4 address and one of the targets' ports and echoes the token of
// one of the last kTokenWindow queries; replies without such a token are dropped before they
// are parsed. At most kMaxReceivers receivers (kMaxReceiversPerAddress per address) are
// tracked, and each is reported to the main thread when it is new, when its reply changed,
// and otherwise at most about once per scan interval.

#include "Beamline/KPDeviceScanner.h"

#include <atomic>
#include <functional>
#include <memory>

// Decides whether a discovered receiver belongs to a registration.
using KPDevicePredicate = std::function<bool(const KPRemoteHost& host)>;

class KPGenericDeviceScanner : public KPDeviceScanner
{
    Q_OBJECT
public:
    // Replies are accepted for the tokens of this many latest queries (one query per interval).
    static constexpr int kTokenWindow = 5;

    // What the work thread did with the datagrams it read (readable from any thread).
    struct Counters
    {
        std::atomic<quint64> received{0};    // datagrams read
        std::atomic<quint64> ignored{0};     // foreign, malformed or no discovery replies
        std::atomic<quint64> unsolicited{0}; // replies without a token of a recent query
        std::atomic<quint64> overLimit{0};   // replies for receivers beyond the limits
        std::atomic<quint64> reported{0};    // reports handed to the main thread
        std::atomic<quint16> localPort{0};   // the scan socket's port, 0 until bound
    };

    explicit KPGenericDeviceScanner(QObject* parent = nullptr);
    ~KPGenericDeviceScanner() override;

    // Receivers whose vendor is "vistrel" (case-insensitive).
    static KPDevicePredicate vistrelProPredicate();
    // Receivers of the given vendor (case-insensitive); an empty vendor matches every receiver.
    static KPDevicePredicate vistrelProPredicate(const QString& vendor);
    // The vendor string configured for this build (see KPPrototypeDevice::vendorStringFromPlist).
    static QString vendorStringFromPlist();

    // Starts the scan on the work thread and returns at once; a socket that cannot be bound is
    // logged there and the scan finds nothing.
    bool startScan(const QList<KPScanTarget>& targets, std::chrono::milliseconds interval) override;
    void stopScan() override;
    bool isScanning() const override { return m_worker != nullptr; }

    // Dropped datagrams of every kind (ignored + unsolicited + over the limits).
    quint64 ignoredDatagrams() const;
    const Counters& counters() const { return *m_counters; }

    class Worker;
    struct Link;

private:
    std::shared_ptr<Counters> m_counters;
    std::shared_ptr<Link> m_link;
    Worker* m_worker = nullptr; // lives on the work thread
    std::unique_ptr<QThread> m_ownThread;
};
