#pragma once

#include "Pikora/Platform/ReachabilityWatcher.h"

#include <QStringList>
#include <memory>
#include <vector>

class FakeReachabilityWatcherFactory;

// A reachability watcher for tests: changes happen when the test says so.
class FakeReachabilityWatcher : public ReachabilityWatcher
{
public:
    explicit FakeReachabilityWatcher(QString hostname = {});
    ~FakeReachabilityWatcher() override;

    const QString& hostname() const { return m_hostname; }
    bool isRunning() const { return m_running; }
    int startCount() const { return m_startCount; }
    int stopCount() const { return m_stopCount; }

    // Reports a change as the real watcher would: only while running, and runs the block.
    // Returns whether a block ran.
    bool simulateChange(bool reachable);

    void setReachableBlock(Block block) override { m_reachable = std::move(block); }
    void setUnreachableBlock(Block block) override { m_unreachable = std::move(block); }
    bool startNotifier() override;
    void stopNotifier() override;

private:
    friend class FakeReachabilityWatcherFactory;
    struct Registry;

    QString m_hostname;
    Block m_reachable;
    Block m_unreachable;
    bool m_running = false;
    int m_startCount = 0;
    int m_stopCount = 0;
    std::shared_ptr<Registry> m_registry;
};

// Hands out fake watchers and keeps track of them for the test.
class FakeReachabilityWatcherFactory
{
public:
    FakeReachabilityWatcherFactory();
    ~FakeReachabilityWatcherFactory();

    // The factory function to give the code under test.
    ReachabilityWatcherFactory factory();

    // Every host name a watcher was made for, in order.
    QStringList hostnames() const;
    // The newest watcher still alive, or nullptr.
    FakeReachabilityWatcher* latest() const;
    // How many of the watchers made are still alive.
    int aliveCount() const;

private:
    std::shared_ptr<FakeReachabilityWatcher::Registry> m_registry;
};
