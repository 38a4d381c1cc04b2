#include "tests/TestSupport/FakeReachabilityWatcher.h"

#include <algorithm>
#include <utility>

struct FakeReachabilityWatcher::Registry
{
    QStringList hostnames;
    std::vector<FakeReachabilityWatcher*> alive; // oldest first
};

FakeReachabilityWatcher::FakeReachabilityWatcher(QString hostname) : m_hostname(std::move(hostname)) {}

FakeReachabilityWatcher::~FakeReachabilityWatcher()
{
    if (m_registry) {
        auto& alive = m_registry->alive;
        alive.erase(std::remove(alive.begin(), alive.end(), this), alive.end());
    }
}

bool FakeReachabilityWatcher::simulateChange(bool reachable)
{
    if (!m_running)
        return false;
    // Copied: the block may destroy this watcher.
    const Block block = reachable ? m_reachable : m_unreachable;
    if (!block)
        return false;
    block();
    return true;
}

bool FakeReachabilityWatcher::startNotifier()
{
    ++m_startCount;
    m_running = !m_hostname.isEmpty();
    return m_running;
}

void FakeReachabilityWatcher::stopNotifier()
{
    ++m_stopCount;
    m_running = false;
}

FakeReachabilityWatcherFactory::FakeReachabilityWatcherFactory()
    : m_registry(std::make_shared<FakeReachabilityWatcher::Registry>())
{
}

FakeReachabilityWatcherFactory::~FakeReachabilityWatcherFactory() = default;

ReachabilityWatcherFactory FakeReachabilityWatcherFactory::factory()
{
    return [registry = m_registry](const QString& hostname) {
        auto watcher = std::make_unique<FakeReachabilityWatcher>(hostname);
        watcher->m_registry = registry;
        registry->hostnames.append(hostname);
        registry->alive.push_back(watcher.get());
        return std::unique_ptr<ReachabilityWatcher>(std::move(watcher));
    };
}

QStringList FakeReachabilityWatcherFactory::hostnames() const
{
    return m_registry->hostnames;
}

FakeReachabilityWatcher* FakeReachabilityWatcherFactory::latest() const
{
    return m_registry->alive.empty() ? nullptr : m_registry->alive.back();
}

int FakeReachabilityWatcherFactory::aliveCount() const
{
    return static_cast<int>(m_registry->alive.size());
}
