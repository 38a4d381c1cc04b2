#include "Support/DispatchQueue.h"

#include "Support/DispatchSemaphore.h"
#include "Support/Logging.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

namespace {

// The queue whose item the current thread is running (for isCurrent() and inline sync()).
thread_local const DispatchQueue::Impl* t_current = nullptr;

class CurrentScope
{
public:
    explicit CurrentScope(const DispatchQueue::Impl* impl) : m_previous(t_current) { t_current = impl; }
    ~CurrentScope() { t_current = m_previous; }
    CurrentScope(const CurrentScope&) = delete;
    CurrentScope& operator=(const CurrentScope&) = delete;

private:
    const DispatchQueue::Impl* m_previous;
};

void runGuarded(const std::string& label, const std::function<void()>& work)
{
    try {
        work();
    } catch (const std::exception& e) {
        qCCritical(lcDispatch, "%s: work item threw: %s", label.c_str(), e.what());
    } catch (...) {
        qCCritical(lcDispatch, "%s: work item threw an unknown exception", label.c_str());
    }
}

} // namespace

struct DispatchQueue::Impl
{
    enum class Kind
    {
        Serial,
        Main,
        Global
    };

    Impl(std::string l, Kind k) : label(std::move(l)), kind(k) {}
    virtual ~Impl() = default;
    virtual void async(std::function<void()> work) = 0;
    virtual void sync(const std::function<void()>& work) = 0;
    virtual void suspend() { qCWarning(lcDispatch, "%s: suspend() is ignored on this queue", label.c_str()); }
    virtual void resume() { qCWarning(lcDispatch, "%s: resume() is ignored on this queue", label.c_str()); }
    virtual bool isCurrent() const { return t_current == this; }

    const std::string label;
    const Kind kind;
};

namespace {

// Shared between a serial queue and its thread, so that a queue destroyed from one of its
// own items can let the thread finish on its own.
struct SerialState
{
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> items;
    int suspendCount = 0;
    bool stopping = false;
};

class SerialImpl final : public DispatchQueue::Impl
{
public:
    explicit SerialImpl(std::string l)
        : Impl(std::move(l), Kind::Serial), m_state(std::make_shared<SerialState>())
    {
        m_thread = std::thread([state = m_state, self = this, name = label] { run(state, self, name); });
    }

    ~SerialImpl() override
    {
        {
            std::lock_guard lock(m_state->mutex);
            m_state->stopping = true;
        }
        m_state->cv.notify_all();
        if (m_thread.get_id() == std::this_thread::get_id()) {
            // Destroyed from one of its own items: the thread drains what is left and ends by
            // itself; it only touches the shared state from now on.
            qCWarning(lcDispatch, "%s: destroyed from its own thread; pending work drains detached",
                      label.c_str());
            m_thread.detach();
        } else {
            m_thread.join();
        }
    }

    void async(std::function<void()> work) override
    {
        if (!work)
            return;
        // Under the lock, through a local reference: the item may destroy this queue as soon
        // as it can run.
        const std::shared_ptr<SerialState> state = m_state;
        std::lock_guard lock(state->mutex);
        state->items.push_back(std::move(work));
        state->cv.notify_one();
    }

    void sync(const std::function<void()>& work) override
    {
        if (!work)
            return;
        if (isCurrent()) {
            work();
            return;
        }
        DispatchSemaphore done;
        async([&] {
            runGuarded(label, work); // a throwing item must still release the caller
            done.signal();
        });
        done.wait();
    }

    void suspend() override
    {
        std::lock_guard lock(m_state->mutex);
        ++m_state->suspendCount;
    }

    void resume() override
    {
        // A resumed item may destroy this queue: only the local reference is used once the
        // count drops.
        const std::shared_ptr<SerialState> state = m_state;
        std::lock_guard lock(state->mutex);
        if (state->suspendCount == 0) {
            qCWarning(lcDispatch, "%s: resume() without a matching suspend()", label.c_str());
            return;
        }
        --state->suspendCount;
        state->cv.notify_all();
    }

private:
    static void run(const std::shared_ptr<SerialState>& state, const DispatchQueue::Impl* self,
                    const std::string& name)
    {
        // The name shows up in debuggers and in `top -H` (at most 15 characters).
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->cv.wait(
                lock, [&] { return state->stopping || (!state->items.empty() && state->suspendCount == 0); });
            if (state->items.empty()) {
                if (state->stopping)
                    return;
                continue;
            }
            std::function<void()> work = std::move(state->items.front());
            state->items.pop_front();
            lock.unlock();
            {
                // `self` may be gone once the queue was destroyed from its own thread; it is
                // only compared, never dereferenced.
                CurrentScope scope(self);
                runGuarded(name, work);
                work = nullptr; // captured state is released on the queue's thread
            }
            lock.lock();
        }
    }

    std::shared_ptr<SerialState> m_state;
    std::thread m_thread;
};

// Main-queue items wait in a queue of our own; Qt only carries a wake-up (a lambda without
// captures) into the main thread's event loop. Every hand-over thus goes through our mutex,
// which keeps the order strict and lets ThreadSanitizer see it (Qt's event queue is not
// instrumented).
class MainImpl final : public DispatchQueue::Impl
{
public:
    MainImpl() : Impl("main", Kind::Main) { s_instance.store(this); }

    void async(std::function<void()> work) override
    {
        if (!work)
            return;
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) {
            qCWarning(lcDispatch, "main queue used without a QCoreApplication; work item dropped");
            return;
        }
        std::lock_guard lock(m_mutex);
        m_items.push_back(std::move(work));
        // One wake-up at a time; a new application object (tests create several) needs its own.
        if (m_wakeTarget != app) {
            m_wakeTarget = app;
            if (m_watchedApp != app) {
                // A wake-up posted to an application that is then destroyed is lost; forget it
                // so the next application (possibly at the same address) gets a fresh one.
                m_watchedApp = app;
                QObject::connect(app, &QObject::destroyed, [this, app] {
                    std::lock_guard lock(m_mutex);
                    if (m_wakeTarget == app)
                        m_wakeTarget = nullptr;
                    if (m_watchedApp == app)
                        m_watchedApp = nullptr;
                });
            }
            QMetaObject::invokeMethod(
                app, [] { s_instance.load()->drain(); }, Qt::QueuedConnection);
        }
    }

    void sync(const std::function<void()>& work) override
    {
        if (!work)
            return;
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || isCurrent()) {
            work();
            return;
        }
        DispatchSemaphore done;
        async([&work, &done] {
            runGuarded("main", work);
            done.signal();
        });
        done.wait();
    }

    bool isCurrent() const override
    {
        QCoreApplication* app = QCoreApplication::instance();
        return app && QThread::currentThread() == app->thread();
    }

private:
    // Runs the items that were queued when the wake-up arrived; items they add get a wake-up
    // of their own, so a self-reposting item never starves the event loop. A nested event
    // loop inside an item (a modal dialog) may drain re-entrantly; order stays FIFO.
    void drain()
    {
        size_t count = 0;
        {
            std::lock_guard lock(m_mutex);
            m_wakeTarget = nullptr;
            count = m_items.size();
        }
        for (size_t i = 0; i < count; ++i) {
            std::function<void()> work;
            {
                std::lock_guard lock(m_mutex);
                if (m_items.empty())
                    return;
                work = std::move(m_items.front());
                m_items.pop_front();
            }
            runGuarded("main", work);
        }
    }

    static inline std::atomic<MainImpl*> s_instance{nullptr};
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_items;
    QCoreApplication* m_wakeTarget = nullptr; // where the pending wake-up was posted, if any
    QCoreApplication* m_watchedApp = nullptr; // whose destruction clears m_wakeTarget
};

class GlobalImpl final : public DispatchQueue::Impl
{
public:
    GlobalImpl() : Impl("global", Kind::Global)
    {
        const unsigned count = std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
        for (unsigned i = 0; i < count; ++i)
            m_threads.emplace_back([this] { run(); });
    }

    ~GlobalImpl() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_cv.notify_all();
        for (auto& t : m_threads)
            t.join();
    }

    void async(std::function<void()> work) override
    {
        if (!work)
            return;
        {
            std::lock_guard lock(m_mutex);
            m_items.push_back(std::move(work));
        }
        m_cv.notify_one();
    }

    void sync(const std::function<void()>& work) override
    {
        // Concurrent queue: running inline on the caller's thread is what a concurrent sync
        // amounts to, and it cannot starve the pool.
        if (!work)
            return;
        CurrentScope scope(this);
        runGuarded(label, work);
    }

    bool isCurrent() const override { return t_current == this; }

private:
    void run()
    {
        pthread_setname_np(pthread_self(), "global");
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [&] { return m_stopping || !m_items.empty(); });
            if (m_items.empty())
                return;
            std::function<void()> work = std::move(m_items.front());
            m_items.pop_front();
            lock.unlock();
            {
                CurrentScope scope(this);
                runGuarded(label, work);
                work = nullptr;
            }
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_items;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace

DispatchQueue::DispatchQueue(std::string label) : d(std::make_unique<SerialImpl>(std::move(label))) {}

DispatchQueue::DispatchQueue(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

DispatchQueue::~DispatchQueue() = default;

const std::string& DispatchQueue::label() const
{
    return d->label;
}

void DispatchQueue::async(std::function<void()> work)
{
    d->async(std::move(work));
}

void DispatchQueue::sync(const std::function<void()>& work)
{
    d->sync(work);
}

void DispatchQueue::suspend()
{
    d->suspend();
}

void DispatchQueue::resume()
{
    d->resume();
}

bool DispatchQueue::isCurrent() const
{
    return d->isCurrent();
}

// The process-wide queues live until the process ends (never destroyed, so work posted from
// other static destructors cannot reach a dead queue).
DispatchQueue& mainQueue()
{
    static DispatchQueue* queue = new DispatchQueue(std::make_unique<MainImpl>());
    return *queue;
}

DispatchQueue& globalQueue()
{
    static DispatchQueue* queue = new DispatchQueue(std::make_unique<GlobalImpl>());
    return *queue;
}
