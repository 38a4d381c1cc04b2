#pragma once

#include <QString>
#include <functional>
#include <memory>

// Watches whether a host address can be reached and reports changes that happen after
// startNotifier(): the state at start is the baseline and is never reported itself, so a
// watcher started on a reachable host stays silent until something changes. A change that
// leaves the host reachable (a different route, a different local address) is reported as
// reachable; losing the route is reported as unreachable. Both blocks run from the event
// loop of the thread that owns the watcher (the main thread in the application), so a block
// may stop or destroy the watcher.
class ReachabilityWatcher
{
public:
    using Block = std::function<void()>;

    virtual ~ReachabilityWatcher() = default;

    virtual void setReachableBlock(Block block) = 0;
    virtual void setUnreachableBlock(Block block) = 0;
    // Takes the baseline and starts watching; false when the host cannot be watched.
    virtual bool startNotifier() = 0;
    virtual void stopNotifier() = 0;
};

// Makes a watcher for a host name or address, so the code that needs one can be handed fakes.
using ReachabilityWatcherFactory =
    std::function<std::unique_ptr<ReachabilityWatcher>(const QString& hostname)>;
