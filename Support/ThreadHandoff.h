#pragma once

// Hand-overs between threads through Qt's event queues, made visible to ThreadSanitizer.
// Debian's Qt is not built with it, and its queues synchronise through futexes TSan cannot
// see; without these marks every value passed along a queued call is reported as a race.
// Outside ThreadSanitizer builds the marks compile to nothing.

#include <QMetaObject>
#include <QObject>
#include <QThread>
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

// Qt's QThread::wait() synchronises through a futex, so ThreadSanitizer does not see that
// what a finished thread did happens before its waiter goes on (and reports the thread's
// memory, and stack slots it used, when the waiter frees or reuses them). markEndOf() makes the
// end of `thread`'s run (its finished() signal, emitted on it) the release; joined() the
// acquire, for a waiter whose wait() returned true.
inline void markEndOf([[maybe_unused]] QThread* thread)
{
#if defined(PIKORA_TSAN)
    QObject::connect(
        thread, &QThread::finished, thread, [thread] { happensBefore(thread); }, Qt::DirectConnection);
#endif
}

inline void joined([[maybe_unused]] QThread* thread)
{
    happensAfter(thread);
}

// Queues `fn` to run on the thread of `context`; what the caller did before happens before it.
template <typename Fn> void postTo(QObject* context, Fn&& fn)
{
    happensBefore(context);
    QMetaObject::invokeMethod(
        context,
        [context, fn = std::forward<Fn>(fn)]() mutable {
            happensAfter(context);
            fn();
        },
        Qt::QueuedConnection);
}

} // namespace Support
