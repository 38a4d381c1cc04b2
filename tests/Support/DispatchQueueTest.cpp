#include "Support/DispatchQueue.h"

#include "Support/DispatchSemaphore.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Spins the Qt event loop until `done` holds or the (generous) limit runs out.
template <typename Pred> bool processEventsUntil(Pred done, std::chrono::milliseconds limit = 5s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace

TEST(DispatchQueue, RunsItemsInSubmissionOrderOnOneThread)
{
    DispatchQueue queue("test.order");
    std::vector<int> seen;
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 500; ++i)
        queue.async([&, i] {
            seen.push_back(i);
            threads.push_back(std::this_thread::get_id());
        });
    queue.sync([] {});
    ASSERT_EQ(seen.size(), 500u);
    for (int i = 0; i < 500; ++i)
        EXPECT_EQ(seen[i], i);
    for (const auto& id : threads) {
        EXPECT_EQ(id, threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
    EXPECT_EQ(queue.label(), "test.order");
}

TEST(DispatchQueue, ItemsFromManyThreadsNeverOverlap)
{
    DispatchQueue queue("test.serial");
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    int counter = 0; // unguarded on purpose: the queue is the only guard (TSan checks it)
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                queue.async([&] {
                    if (inside.fetch_add(1) != 0)
                        overlapped = true;
                    ++counter;
                    inside.fetch_sub(1);
                });
        });
    for (auto& p : producers)
        p.join();
    queue.sync([] {});
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, 800);
}

TEST(DispatchQueue, SyncFromInsideTheQueueRunsInline)
{
    DispatchQueue queue("test.reentrant");
    std::vector<std::string> steps;
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        steps.push_back("outer");
        queue.sync([&] { steps.push_back("inner"); });
        steps.push_back("after");
    });
    EXPECT_EQ(steps, (std::vector<std::string>{"outer", "inner", "after"}));
    EXPECT_FALSE(queue.isCurrent());
}

TEST(DispatchQueue, SyncIntoAnotherQueueKnowsWhichQueueIsCurrent)
{
    DispatchQueue a("test.a");
    DispatchQueue b("test.b");
    bool aCurrentInB = true;
    bool bCurrentInB = false;
    a.sync([&] {
        b.sync([&] {
            aCurrentInB = a.isCurrent();
            bCurrentInB = b.isCurrent();
        });
    });
    EXPECT_FALSE(aCurrentInB);
    EXPECT_TRUE(bCurrentInB);
}

TEST(DispatchQueue, SuspendIsCountedAndHoldsBackWork)
{
    DispatchQueue queue("test.suspend");
    std::atomic<int> ran{0};
    queue.suspend();
    queue.suspend();
    queue.async([&] { ++ran; });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ran, 0);

    queue.resume();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ran, 0) << "one resume must not undo two suspends";

    queue.resume();
    queue.sync([] {});
    EXPECT_EQ(ran, 1);

    // An unmatched resume is refused, so a later suspend still takes effect.
    queue.resume();
    queue.suspend();
    queue.async([&] { ++ran; });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ran, 1);
    queue.resume();
    queue.sync([] {});
    EXPECT_EQ(ran, 2);
}

TEST(DispatchQueue, DestructionDrainsPendingWorkEvenWhenSuspended)
{
    std::atomic<int> ran{0};
    {
        DispatchQueue queue("test.drain");
        queue.async([&] { std::this_thread::sleep_for(20ms); });
        for (int i = 0; i < 50; ++i)
            queue.async([&] { ++ran; });
    }
    EXPECT_EQ(ran, 50);

    {
        DispatchQueue queue("test.drain.suspended");
        queue.suspend();
        for (int i = 0; i < 5; ++i)
            queue.async([&] { ++ran; });
    }
    EXPECT_EQ(ran, 55);
}

TEST(DispatchQueue, AnItemMayDestroyItsOwnQueue)
{
    DispatchSemaphore done;
    auto* queue = new DispatchQueue("test.selfdestroy");
    std::atomic<int> ran{0};
    queue->suspend(); // everything is queued before the destroying item can run
    queue->async([&] { ++ran; });
    queue->async([&, queue] {
        delete queue;
        ++ran;
    });
    queue->async([&] {
        ++ran;
        done.signal();
    });
    queue->resume();
    ASSERT_TRUE(done.waitFor(5s));
    EXPECT_EQ(ran, 3);
}

TEST(DispatchQueue, ThrowingItemDoesNotStopTheQueue)
{
    DispatchQueue queue("test.throw");
    bool after = false;
    queue.async([] { throw std::runtime_error("boom"); });
    queue.sync([&] { after = true; });
    EXPECT_TRUE(after);
}

TEST(DispatchQueue, MainQueueRunsOnTheMainThreadInOrder)
{
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    std::vector<int> order;
    std::vector<QThread*> threads;
    std::thread producer([&] {
        for (int i = 0; i < 20; ++i)
            mainQueue().async([&, i] {
                order.push_back(i);
                threads.push_back(QThread::currentThread());
                EXPECT_TRUE(mainQueue().isCurrent());
            });
    });
    producer.join();
    EXPECT_TRUE(order.empty()) << "main-queue work must wait for the event loop";
    ASSERT_TRUE(processEventsUntil([&] { return order.size() == 20; }));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_EQ(threads[i], QCoreApplication::instance()->thread());
    }
}

TEST(DispatchQueue, MainQueueSyncFromAWorkerBlocksUntilTheMainThreadRanIt)
{
    std::atomic<bool> ran{false};
    std::atomic<bool> workerDone{false};
    QThread* ranOn = nullptr;
    std::thread worker([&] {
        mainQueue().sync([&] {
            ranOn = QThread::currentThread();
            ran = true;
        });
        workerDone = true;
    });
    ASSERT_TRUE(processEventsUntil([&] { return workerDone.load(); }));
    worker.join();
    EXPECT_TRUE(ran);
    EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());

    // On the main thread itself, sync runs at once.
    bool inline_ = false;
    mainQueue().sync([&] { inline_ = true; });
    EXPECT_TRUE(inline_);
}

TEST(DispatchQueue, AsyncOnMainSkipsWorkWhenTheOwnerIsGone)
{
    struct Owner
    {
        int hits = 0;
    };
    auto alive = std::make_shared<Owner>();
    auto gone = std::make_shared<Owner>();
    asyncOnMain(std::weak_ptr<Owner>(alive), [](Owner& o) { ++o.hits; });
    std::weak_ptr<Owner> weakGone = gone;
    asyncOnMain(weakGone, [](Owner& o) { ++o.hits; });
    gone.reset();
    bool fence = false;
    mainQueue().async([&] { fence = true; });
    ASSERT_TRUE(processEventsUntil([&] { return fence; }));
    EXPECT_EQ(alive->hits, 1);
    EXPECT_TRUE(weakGone.expired());
}

TEST(DispatchQueue, GlobalQueueRunsItemsConcurrently)
{
    // Two items that each wait for the other can only both finish if they run at once.
    DispatchSemaphore a, b, done;
    globalQueue().async([&] {
        a.signal();
        if (b.waitFor(5s))
            done.signal();
    });
    globalQueue().async([&] {
        b.signal();
        if (a.waitFor(5s))
            done.signal();
    });
    EXPECT_TRUE(done.waitFor(10s));
    EXPECT_TRUE(done.waitFor(10s));

    bool ran = false;
    globalQueue().sync([&] {
        EXPECT_TRUE(globalQueue().isCurrent());
        ran = true;
    });
    EXPECT_TRUE(ran);
}

TEST(DispatchSemaphore, CountsSignalsAndTimesOut)
{
    DispatchSemaphore sem(1);
    EXPECT_TRUE(sem.waitFor(0ms)) << "initial value counts";
    EXPECT_FALSE(sem.waitFor(20ms));

    sem.signal();
    sem.signal();
    sem.signal();
    EXPECT_EQ(sem.drain(), 3);
    EXPECT_EQ(sem.drain(), 0);
    EXPECT_FALSE(sem.waitFor(1ms));

    std::thread signaller([&] {
        std::this_thread::sleep_for(20ms);
        sem.signal();
    });
    sem.wait(); // returns only thanks to the other thread's signal
    signaller.join();
    EXPECT_FALSE(sem.waitFor(1ms));
}

TEST(DispatchSemaphore, NegativeStartWaitsForEnoughSignals)
{
    // A negative start value (dispatch semantics) needs that many extra signals before a wait
    // can pass.
    DispatchSemaphore sem(-1);
    sem.signal();
    EXPECT_FALSE(sem.waitFor(10ms));
    sem.signal();
    EXPECT_TRUE(sem.waitFor(10ms));
}

TEST(DispatchQueue, SyncReturnsEvenWhenTheItemThrows)
{
    DispatchQueue queue("test.syncthrow");
    queue.sync([] { throw std::runtime_error("boom"); }); // must not hang
    int after = 0;
    queue.sync([&] { after = 1; });
    EXPECT_EQ(after, 1);
}
