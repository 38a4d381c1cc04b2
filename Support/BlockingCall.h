#pragma once

// Runs a function on the thread of a context object and waits for its result: what
// Qt::BlockingQueuedConnection does, with two differences. Called on the context's own
// thread it runs inline instead of deadlocking. And the hand-over in both directions is
// published to ThreadSanitizer: Qt's own queues synchronise through futexes it cannot see,
// so without this every value passed to or from the other thread is reported as a race.
//
// Like a blocking queued call, it waits forever if the context's thread runs no event loop.

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <exception>
#include <future>
#include <memory>
#include <type_traits>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#define PIKORA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PIKORA_TSAN 1
#endif
#endif

#if defined(PIKORA_TSAN)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace Support {

// Marks that everything this thread did so far happens before whatever follows a matching
// happensAfter() on another thread (no-ops outside ThreadSanitizer builds).
inline void happensBefore([[maybe_unused]] void* token)
{
#if defined(PIKORA_TSAN)
    __tsan_release(token);
#endif
}

inline void happensAfter([[maybe_unused]] void* token)
{
#if defined(PIKORA_TSAN)
    __tsan_acquire(token);
#endif
}

// When the call is dropped unrun (the context's thread ended first), it returns at once: with
// a default-constructed value for functions that return one.
template <typename Fn> auto blockingCall(QObject* context, Fn&& fn) -> std::invoke_result_t<Fn&>
{
    using R = std::invoke_result_t<Fn&>;
    if (QThread::currentThread() == context->thread())
        return fn();

    // Owned by the queued call: if Qt discards it unrun, the promise goes with it and the
    // future below reports a broken promise instead of waiting forever.
    auto done = std::make_shared<std::promise<R>>();
    std::future<R> result = done->get_future();
    happensBefore(done.get());
    QMetaObject::invokeMethod(
        context,
        [done, &fn] {
            happensAfter(done.get());
            try {
                if constexpr (std::is_void_v<R>) {
                    fn();
                    done->set_value();
                } else {
                    done->set_value(fn());
                }
            } catch (...) {
                done->set_exception(std::current_exception());
            }
        },
        Qt::QueuedConnection);
    done.reset();
    try {
        return result.get();
    } catch (const std::future_error&) {
        if constexpr (!std::is_void_v<R>)
            return R{};
    }
}

} // namespace Support
