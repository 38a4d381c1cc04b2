#include "Support/DispatchTimer.h"

#include "Support/DispatchQueue.h"
#include "Support/DispatchSemaphore.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Timing checks are deliberately loose (lower bounds and orderings only): the machine running
// the tests may be heavily loaded.

TEST(DispatchTimer, FirstFireWaitsForTheDelayThenRepeatsOnItsQueue)
{
    DispatchQueue queue("test.timer");
    std::mutex mutex;
    std::vector<Clock::time_point> fires;
    DispatchSemaphore three;
    bool onQueue = true;
    DispatchTimer timer(queue, [&] {
        std::lock_guard lock(mutex);
        onQueue = onQueue && queue.isCurrent();
        fires.push_back(Clock::now());
        if (fires.size() == 3)
            three.signal();
    });
    const auto started = Clock::now();
    timer.start(60ms, 20ms);
    EXPECT_TRUE(timer.isRunning());
    ASSERT_TRUE(three.waitFor(10s));
    timer.cancel();
    std::lock_guard lock(mutex);
    EXPECT_TRUE(onQueue);
    EXPECT_GE(fires[0] - started, 60ms);
    // Deadlines are fixed by the start time, so the n-th fire is never before delay + n * interval.
    EXPECT_GE(fires[2] - started, 100ms);
    EXPECT_LE(fires[0], fires[1]);
    EXPECT_LE(fires[1], fires[2]);
}

TEST(DispatchTimer, OneShotFiresOnceAndStopsRunning)
{
    DispatchQueue queue("test.oneshot");
    std::atomic<int> fires{0};
    DispatchTimer timer(queue, [&] { ++fires; });
    timer.start(10ms, 0ns);
    std::this_thread::sleep_for(150ms);
    queue.sync([] {});
    EXPECT_EQ(fires, 1);
    EXPECT_FALSE(timer.isRunning());
    EXPECT_FALSE(timer.isCancelled());
}

TEST(DispatchTimer, SlowHandlerGetsMergedFiresNotABacklog)
{
    DispatchQueue queue("test.slow");
    std::atomic<int> fires{0};
    std::atomic<int> concurrent{0};
    std::atomic<bool> overlapped{false};
    DispatchTimer timer(queue, [&] {
        if (concurrent.fetch_add(1) != 0)
            overlapped = true;
        ++fires;
        std::this_thread::sleep_for(50ms); // ten intervals per run
        concurrent.fetch_sub(1);
    });
    timer.start(0ns, 5ms, 0ns, true);
    std::this_thread::sleep_for(300ms);
    timer.cancel();
    queue.sync([] {});
    const int ran = fires.load();
    // 300 ms of 50 ms runs: at most ~7 handler runs, where 60 deadlines passed.
    EXPECT_GE(ran, 2);
    EXPECT_LE(ran, 8);
    EXPECT_GT(timer.mergedFires(), 20u);
    EXPECT_FALSE(overlapped);

    // After cancel nothing more arrives: no queued backlog drains later.
    std::this_thread::sleep_for(60ms);
    queue.sync([] {});
    EXPECT_EQ(fires.load(), ran);
}

TEST(DispatchTimer, HandlerOnAConcurrentQueueNeverRunsTwiceAtOnce)
{
    std::atomic<int> concurrent{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> fires{0};
    DispatchTimer timer(globalQueue(), [&] {
        if (concurrent.fetch_add(1) != 0)
            overlapped = true;
        std::this_thread::sleep_for(15ms);
        ++fires;
        concurrent.fetch_sub(1);
    });
    timer.start(0ns, 2ms);
    std::this_thread::sleep_for(200ms);
    timer.cancel();
    std::this_thread::sleep_for(50ms); // let the last running handler finish
    EXPECT_FALSE(overlapped);
    EXPECT_GE(fires.load(), 2);
}

TEST(DispatchTimer, CancelStopsFiresAndSkipsAQueuedOne)
{
    DispatchQueue queue("test.cancel");
    std::atomic<int> fires{0};
    DispatchTimer timer(queue, [&] { ++fires; });

    // A fire handed to a suspended queue must not run once the timer is cancelled.
    queue.suspend();
    timer.start(0ns, 5ms);
    std::this_thread::sleep_for(40ms);
    timer.cancel();
    EXPECT_TRUE(timer.isCancelled());
    EXPECT_FALSE(timer.isRunning());
    queue.resume();
    queue.sync([] {});
    EXPECT_EQ(fires, 0);

    std::this_thread::sleep_for(40ms);
    queue.sync([] {});
    EXPECT_EQ(fires, 0);

    // start() re-arms a cancelled timer.
    DispatchSemaphore fired;
    DispatchTimer again(queue, [&] { fired.signal(); });
    again.start(1ms, 0ns);
    EXPECT_TRUE(fired.waitFor(5s));
}

TEST(DispatchTimer, RestartReplacesTheSchedule)
{
    DispatchQueue queue("test.restart");
    std::atomic<int> fires{0};
    DispatchTimer timer(queue, [&] { ++fires; });
    timer.start(10s, 0ns); // would fire far in the future
    timer.start(5ms, 0ns); // replaces it
    std::this_thread::sleep_for(100ms);
    queue.sync([] {});
    EXPECT_EQ(fires, 1);
    EXPECT_FALSE(timer.isRunning());
}

TEST(DispatchTimer, DestroyingTheTimerFromItsOwnHandlerIsSafe)
{
    DispatchQueue queue("test.selfcancel");
    DispatchSemaphore done;
    std::atomic<int> fires{0};
    auto holder = std::make_shared<std::unique_ptr<DispatchTimer>>();
    *holder = std::make_unique<DispatchTimer>(queue, [&, holder] {
        ++fires;
        holder->reset(); // destroys the timer (and, with it, the closure's own capture owner)
        done.signal();
    });
    auto* raw = holder->get();
    raw->start(0ns, 1ms);
    ASSERT_TRUE(done.waitFor(5s));
    std::this_thread::sleep_for(30ms);
    queue.sync([] {});
    EXPECT_EQ(fires, 1);
    EXPECT_EQ(*holder, nullptr);
}

TEST(DispatchTimer, DestroyedTimerNeverCallsItsHandlerAgain)
{
    DispatchQueue queue("test.destroy");
    auto fires = std::make_shared<std::atomic<int>>(0);
    {
        DispatchTimer timer(queue, [fires] { ++*fires; });
        timer.start(0ns, 1ms);
        std::this_thread::sleep_for(20ms);
    }
    queue.sync([] {});
    const int atDestruction = fires->load();
    std::this_thread::sleep_for(30ms);
    queue.sync([] {});
    EXPECT_EQ(fires->load(), atDestruction);
}

TEST(DispatchTimer, ManyTimersFireInDeadlineOrder)
{
    DispatchQueue queue("test.many");
    std::mutex mutex;
    std::vector<int> order;
    DispatchSemaphore all;
    std::vector<std::unique_ptr<DispatchTimer>> timers;
    for (int i = 4; i >= 0; --i) {
        timers.push_back(std::make_unique<DispatchTimer>(queue, [&, i] {
            std::lock_guard lock(mutex);
            order.push_back(i);
            if (order.size() == 5)
                all.signal();
        }));
        timers.back()->start(std::chrono::milliseconds(20 + 40 * i), 0ns, 0ns, true);
    }
    ASSERT_TRUE(all.waitFor(10s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}
