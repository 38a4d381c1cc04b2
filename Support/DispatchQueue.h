#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// A named serial queue running its work items one after another on a thread of its own,
// in submission order. suspend()/resume() are counted: work submitted while suspended waits
// until every suspend() has been matched by a resume(). The destructor drains the pending
// work (it waits for a suspended queue to be resumed no longer: pending work then runs) and
// joins the thread.
//
// mainQueue() runs work on the Qt main thread; globalQueue() is a small pool whose items
// may run concurrently. Both have the same interface; suspend()/resume() on them is ignored
// (logged).
class DispatchQueue
{
public:
    explicit DispatchQueue(std::string label);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const;

    // Runs `work` later on the queue. Never blocks.
    void async(std::function<void()> work);
    // Runs `work` on the queue and waits for it. Called from the queue's own thread it runs
    // `work` inline instead of deadlocking.
    void sync(const std::function<void()>& work);

    void suspend();
    void resume();

    // True when the calling thread is currently running an item of this queue.
    bool isCurrent() const;

    struct Impl;

private:
    friend DispatchQueue& mainQueue();
    friend DispatchQueue& globalQueue();
    explicit DispatchQueue(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

DispatchQueue& mainQueue();
DispatchQueue& globalQueue();

// Shorthand for mainQueue().async(...) that does nothing once `owner` is gone.
template <typename Owner, typename Fn> void asyncOnMain(const std::weak_ptr<Owner>& owner, Fn fn)
{
    mainQueue().async([owner, fn = std::move(fn)]() mutable {
        if (auto strong = owner.lock())
            fn(*strong);
    });
}
