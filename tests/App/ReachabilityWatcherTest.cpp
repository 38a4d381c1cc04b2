#include "Pikora/Platform/RouteReachabilityWatcher.h"
#include "tests/TestSupport/FakeReachabilityWatcher.h"

#include <QTest>
#include <gtest/gtest.h>
#include <sched.h>
#include <thread>

using namespace std::chrono_literals;
using RouteState = RouteReachabilityWatcher::RouteState;

namespace {

const RouteState kUnreachable{};
const RouteState kViaA{true, QHostAddress("127.0.0.1")};
const RouteState kViaB{true, QHostAddress("127.0.0.5")};

// A watcher on a probe the test controls, checking every few milliseconds.
struct ControlledWatcher
{
    RouteState state = kViaA;
    QList<QHostAddress> probed;
    int reachableEvents = 0;
    int unreachableEvents = 0;
    std::unique_ptr<RouteReachabilityWatcher> watcher;

    explicit ControlledWatcher(const QString& host = "127.0.0.2")
    {
        watcher = std::make_unique<RouteReachabilityWatcher>(host, 10ms, [this](const QHostAddress& address) {
            probed.append(address);
            return state;
        });
        watcher->setReachableBlock([this] { ++reachableEvents; });
        watcher->setUnreachableBlock([this] { ++unreachableEvents; });
    }

    // Lets the watcher poll several times.
    void settle()
    {
        const int before = probed.size();
        EXPECT_TRUE(QTest::qWaitFor([&] { return probed.size() >= before + 4; }, 5000));
    }
};

TEST(RouteReachabilityWatcher, ProbesTheRouteToLoopbackWithoutSending)
{
    const RouteState state = RouteReachabilityWatcher::probeRoute(QHostAddress("127.0.0.2"));
    EXPECT_TRUE(state.reachable);
    EXPECT_TRUE(state.localAddress.isLoopback()) << state.localAddress.toString().toStdString();

    EXPECT_FALSE(RouteReachabilityWatcher::probeRoute(QHostAddress()).reachable);
}

TEST(RouteReachabilityWatcher, ProbeFindsNoRouteInAnEmptyNetworkNamespace)
{
    // A network namespace of our own (this thread only) has nothing but a loopback device
    // that is down, so even 127.0.0.2 has no route there.
    RouteState state{true, {}};
    bool isolated = false;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0)
            return;
        isolated = true;
        state = RouteReachabilityWatcher::probeRoute(QHostAddress("127.0.0.2"));
    }).join();
    if (!isolated)
        GTEST_SKIP() << "cannot create a network namespace here";
    EXPECT_FALSE(state.reachable);
    EXPECT_TRUE(state.localAddress.isNull());
}

TEST(RouteReachabilityWatcher, ReportsOnlyChangesAfterStart)
{
    ControlledWatcher w;
    ASSERT_TRUE(w.watcher->startNotifier());
    w.settle();
    EXPECT_EQ(w.reachableEvents + w.unreachableEvents, 0) << "the state at start is no event";

    w.state = kUnreachable;
    w.settle();
    EXPECT_EQ(w.unreachableEvents, 1) << "one report per change, not per poll";

    w.state = kViaA;
    w.settle();
    EXPECT_EQ(w.reachableEvents, 1);

    w.state = kViaB; // another route, still reachable
    w.settle();
    EXPECT_EQ(w.reachableEvents, 2);
    EXPECT_EQ(w.unreachableEvents, 1);
    EXPECT_EQ(w.probed.front(), QHostAddress("127.0.0.2"));
}

TEST(RouteReachabilityWatcher, StartingUnreachableIsTheBaselineToo)
{
    ControlledWatcher w;
    w.state = kUnreachable;
    ASSERT_TRUE(w.watcher->startNotifier());
    w.settle();
    EXPECT_EQ(w.unreachableEvents, 0);
    w.state = kViaA;
    w.settle();
    EXPECT_EQ(w.reachableEvents, 1);
}

TEST(RouteReachabilityWatcher, StoppedWatcherStaysSilentAndRestartTakesANewBaseline)
{
    ControlledWatcher w;
    ASSERT_TRUE(w.watcher->startNotifier());
    w.watcher->stopNotifier();
    w.state = kUnreachable;
    const int probes = w.probed.size();
    QTest::qWait(60);
    EXPECT_EQ(w.probed.size(), probes);
    EXPECT_EQ(w.unreachableEvents, 0);

    ASSERT_TRUE(w.watcher->startNotifier()); // unreachable is now the baseline
    w.settle();
    EXPECT_EQ(w.unreachableEvents, 0);
    EXPECT_EQ(w.reachableEvents, 0);
}

TEST(RouteReachabilityWatcher, BlockMayDestroyTheWatcher)
{
    ControlledWatcher w;
    w.watcher->setUnreachableBlock([&] { w.watcher.reset(); });
    ASSERT_TRUE(w.watcher->startNotifier());
    w.state = kUnreachable;
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.watcher; }, 5000));
    QTest::qWait(30); // no timer of the dead watcher may fire
}

TEST(RouteReachabilityWatcher, ResolvesHostNamesForEachCheck)
{
    ControlledWatcher w("localhost");
    ASSERT_TRUE(w.watcher->startNotifier());
    w.settle();
    ASSERT_FALSE(w.probed.isEmpty());
    EXPECT_TRUE(w.probed.front().isLoopback());
    EXPECT_EQ(w.reachableEvents + w.unreachableEvents, 0);
    w.state = kUnreachable;
    w.settle();
    EXPECT_EQ(w.unreachableEvents, 1);
}

TEST(RouteReachabilityWatcher, RefusesAnEmptyHost)
{
    RouteReachabilityWatcher watcher("");
    EXPECT_FALSE(watcher.startNotifier());
    EXPECT_FALSE(watcher.isRunning());
}

TEST(FakeReachabilityWatcher, FactoryTracksTheWatchersItMade)
{
    FakeReachabilityWatcherFactory fakes;
    auto make = fakes.factory();
    auto first = make("127.0.0.2");
    auto second = make("127.0.0.3");
    EXPECT_EQ(fakes.hostnames(), (QStringList{"127.0.0.2", "127.0.0.3"}));
    EXPECT_EQ(fakes.latest(), second.get());
    second.reset();
    EXPECT_EQ(fakes.latest(), first.get());
    EXPECT_EQ(fakes.aliveCount(), 1);

    FakeReachabilityWatcher* fake = fakes.latest();
    int unreachable = 0;
    fake->setUnreachableBlock([&] { ++unreachable; });
    EXPECT_FALSE(fake->simulateChange(false)) << "no reports before start";
    fake->startNotifier();
    EXPECT_TRUE(fake->simulateChange(false));
    EXPECT_EQ(unreachable, 1);
    fake->setReachableBlock([&] { first.reset(); });
    EXPECT_TRUE(fake->simulateChange(true));
    EXPECT_EQ(fakes.aliveCount(), 0);
}

} // namespace
