#include "Support/BlockingCall.h"

#include <QThread>
#include <gtest/gtest.h>
#include <memory>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A context object living on a running thread of its own.
struct Worker
{
    QThread thread;
    QObject* context = new QObject;

    Worker()
    {
        context->moveToThread(&thread);
        thread.start();
    }
    ~Worker()
    {
        if (context)
            Support::blockingCall(context, [this] { delete context; });
        thread.quit();
        thread.wait();
    }
};

} // namespace

TEST(BlockingCall, RunsOnTheContextThreadAndHandsValuesBothWays)
{
    Worker worker;
    std::vector<int> input{1, 2, 3};
    QThread* ranOn = nullptr;
    const std::string joined = Support::blockingCall(worker.context, [&] {
        ranOn = QThread::currentThread();
        input.push_back(4); // the caller's data, changed on the other thread
        std::string s;
        for (int v : input)
            s += std::to_string(v);
        return s;
    });
    EXPECT_EQ(ranOn, &worker.thread);
    EXPECT_EQ(joined, "1234");
    EXPECT_EQ(input.size(), 4u);

    int calls = 0;
    Support::blockingCall(worker.context, [&] { ++calls; });
    EXPECT_EQ(calls, 1);
}

TEST(BlockingCall, RunsInlineOnTheContextsOwnThreadInsteadOfDeadlocking)
{
    QObject here;
    EXPECT_EQ(Support::blockingCall(&here, [] { return QThread::currentThread(); }),
              QThread::currentThread());
}

TEST(BlockingCall, ExceptionsReachTheCaller)
{
    Worker worker;
    EXPECT_THROW(Support::blockingCall(worker.context, []() -> int { throw std::runtime_error("no"); }),
                 std::runtime_error);
}

TEST(BlockingCall, ACallDroppedWithItsContextReturnsInsteadOfWaitingForever)
{
    Worker worker;
    QObject* context = worker.context;
    worker.context = nullptr; // deleted on its own thread below
    std::binary_semaphore busy(0);
    // The context is deleted (deferred, on its thread) while the next call is still queued.
    Support::happensBefore(&busy);
    QMetaObject::invokeMethod(context, [&] {
        Support::happensAfter(&busy);
        context->deleteLater();
        busy.release();
        QThread::msleep(100);
    });
    busy.acquire();
    bool ran = false;
    const int value = Support::blockingCall(context, [&] {
        ran = true;
        return 7;
    });
    EXPECT_FALSE(ran);
    EXPECT_EQ(value, 0);
}
