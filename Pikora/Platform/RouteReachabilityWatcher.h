#pragma once

#include "Pikora/Platform/ReachabilityWatcher.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <optional>

// Reachability from the routing table: the host is reachable while the kernel has a route
// to it, seen by connect()ing a UDP socket to the address (which sends nothing) and reading
// back the local address it picked. The route is checked every `interval`, and at once
// whenever the system's network reachability changes (when a QNetworkInformation backend
// is available). A host name that is not an address literal is looked up again for each
// check; a failed lookup counts as unreachable.
class RouteReachabilityWatcher : public QObject, public ReachabilityWatcher
{
    Q_OBJECT
public:
    struct RouteState
    {
        bool reachable = false;
        QHostAddress localAddress; // the source address the route uses; null when unreachable

        bool operator==(const RouteState& other) const = default;
    };
    using RouteProbe = std::function<RouteState(const QHostAddress& address)>;

    static constexpr std::chrono::milliseconds kDefaultInterval{2000};

    explicit RouteReachabilityWatcher(QString hostname, std::chrono::milliseconds interval = kDefaultInterval,
                                      RouteProbe probe = &RouteReachabilityWatcher::probeRoute,
                                      QObject* parent = nullptr);
    ~RouteReachabilityWatcher() override;

    static std::unique_ptr<ReachabilityWatcher> create(const QString& hostname);

    // The kernel's route to `address`, found without sending anything.
    static RouteState probeRoute(const QHostAddress& address);

    const QString& hostname() const { return m_hostname; }
    bool isRunning() const { return m_running; }

    void setReachableBlock(Block block) override;
    void setUnreachableBlock(Block block) override;
    bool startNotifier() override;
    void stopNotifier() override;

    // Checks now instead of waiting for the next tick.
    void checkNow();

private:
    void evaluate(const RouteState& state);
    void lookUpAndEvaluate();

    QString m_hostname;
    QHostAddress m_address; // set when the host name is an address literal
    RouteProbe m_probe;
    QTimer m_timer;
    Block m_reachable;
    Block m_unreachable;
    std::optional<RouteState> m_baseline;
    bool m_running = false;
    bool m_lookupPending = false;
    int m_lookupId = -1;
    unsigned m_generation = 0; // bumped by every start and stop, so stale lookups are dropped
};
