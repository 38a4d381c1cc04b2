#include "Support/DispatchTimer.h"

#include "Support/DispatchQueue.h"
#include "Support/Logging.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>

// How a timer's fires reach its queue: at most one fire is waiting on the queue and at most
// one more is remembered while the handler runs; everything beyond that is merged.
enum class Delivery
{
    Idle,
    Queued,
    Running,
    RunningWithRerun
};

struct DispatchTimer::State : std::enable_shared_from_this<DispatchTimer::State>
{
    std::mutex mutex;
    DispatchQueue* queue = nullptr;
    std::shared_ptr<std::function<void()>> handler;
    std::chrono::nanoseconds interval{0};
    std::chrono::nanoseconds leeway{0};
    bool strict = false;
    bool cancelled = false;
    bool armed = false;
    std::uint64_t generation = 0;
    Delivery delivery = Delivery::Idle;
    std::uint64_t merged = 0;

    // Called by the timer thread when the deadline of `gen` is reached.
    void fire(std::uint64_t gen, Clock::time_point deadline);
    // Must be called with `mutex` held.
    void postLocked();
    void runOnQueue();
};

namespace {

// One thread serves every timer: it sleeps until the earliest deadline and hands fires to
// the timers' queues. Entries of re-armed or cancelled timers are stale and skipped.
class TimerThread
{
public:
    static TimerThread& instance()
    {
        // Lives until the process ends so timers destroyed late never reach a dead thread.
        static TimerThread* thread = new TimerThread;
        return *thread;
    }

    void schedule(const std::shared_ptr<DispatchTimer::State>& state, std::uint64_t gen,
                  DispatchTimer::Clock::time_point deadline)
    {
        bool earliest = false;
        {
            std::lock_guard lock(m_mutex);
            earliest = m_entries.empty() || deadline < m_entries.begin()->first;
            m_entries.emplace(deadline, Entry{state, gen});
        }
        if (earliest)
            m_cv.notify_one();
    }

private:
    struct Entry
    {
        std::weak_ptr<DispatchTimer::State> state;
        std::uint64_t generation;
    };

    TimerThread()
    {
        m_thread = std::thread([this] { run(); });
        m_thread.detach();
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "dispatch-timer");
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_entries.empty()) {
                m_cv.wait(lock);
                continue;
            }
            const auto deadline = m_entries.begin()->first;
            if (DispatchTimer::Clock::now() < deadline) {
                m_cv.wait_until(lock, deadline);
                continue;
            }
            Entry entry = std::move(m_entries.begin()->second);
            m_entries.erase(m_entries.begin());
            lock.unlock();
            if (auto state = entry.state.lock())
                state->fire(entry.generation, deadline);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::multimap<DispatchTimer::Clock::time_point, Entry> m_entries;
    std::thread m_thread;
};

} // namespace

void DispatchTimer::State::fire(std::uint64_t gen, Clock::time_point deadline)
{
    std::lock_guard lock(mutex);
    if (cancelled || !armed || gen != generation)
        return;
    if (interval > std::chrono::nanoseconds::zero()) {
        auto next = deadline + interval;
        const auto now = Clock::now();
        if (next <= now) {
            // The timer thread itself was late by whole intervals: those fires are merged.
            const auto missed = static_cast<std::uint64_t>((now - deadline) / interval);
            merged += missed;
            next = deadline + interval * static_cast<std::int64_t>(missed + 1);
        }
        TimerThread::instance().schedule(shared_from_this(), generation, next);
    } else {
        armed = false;
    }

    switch (delivery) {
    case Delivery::Idle:
        postLocked();
        break;
    case Delivery::Running:
        delivery = Delivery::RunningWithRerun;
        break;
    case Delivery::Queued:
    case Delivery::RunningWithRerun:
        ++merged;
        break;
    }
}

void DispatchTimer::State::postLocked()
{
    delivery = Delivery::Queued;
    // Posted under the lock: cancel() (and so the timer's destructor) cannot return while a
    // post to the queue is under way, so a queue that outlives its timers is never reached
    // after it is gone.
    queue->async([weak = weak_from_this()] {
        if (auto state = weak.lock())
            state->runOnQueue();
    });
}

void DispatchTimer::State::runOnQueue()
{
    std::shared_ptr<std::function<void()>> fn;
    {
        std::lock_guard lock(mutex);
        if (cancelled) {
            delivery = Delivery::Idle;
            return;
        }
        delivery = Delivery::Running;
        fn = handler;
    }
    if (fn && *fn)
        (*fn)();
    std::lock_guard lock(mutex);
    if (delivery == Delivery::RunningWithRerun && !cancelled)
        postLocked();
    else
        delivery = Delivery::Idle;
}

DispatchTimer::DispatchTimer(DispatchQueue& queue, std::function<void()> handler)
    : d(std::make_shared<State>())
{
    d->queue = &queue;
    d->handler = std::make_shared<std::function<void()>>(std::move(handler));
}

DispatchTimer::~DispatchTimer()
{
    cancel();
}

void DispatchTimer::start(std::chrono::nanoseconds delay, std::chrono::nanoseconds interval,
                          std::chrono::nanoseconds leeway, bool strict)
{
    const auto deadline = Clock::now() + std::max(delay, std::chrono::nanoseconds::zero());
    std::uint64_t gen = 0;
    {
        std::lock_guard lock(d->mutex);
        d->interval = std::max(interval, std::chrono::nanoseconds::zero());
        d->leeway = std::max(leeway, std::chrono::nanoseconds::zero());
        d->strict = strict;
        d->cancelled = false;
        d->armed = true;
        gen = ++d->generation;
    }
    // Fires are delivered at their deadline; the leeway only permits lateness, which the
    // shared timer thread never adds on purpose, so strict and lenient timers behave alike.
    TimerThread::instance().schedule(d, gen, deadline);
}

void DispatchTimer::cancel()
{
    std::lock_guard lock(d->mutex);
    d->cancelled = true;
    d->armed = false;
    ++d->generation;
}

bool DispatchTimer::isCancelled() const
{
    std::lock_guard lock(d->mutex);
    return d->cancelled;
}

bool DispatchTimer::isRunning() const
{
    std::lock_guard lock(d->mutex);
    return d->armed && !d->cancelled;
}

std::uint64_t DispatchTimer::mergedFires() const
{
    std::lock_guard lock(d->mutex);
    return d->merged;
}
