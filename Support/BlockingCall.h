#pragma once

// Runs a function on the thread of a context object and waits for its result, as
// Qt::BlockingQueuedConnection does, but: called on the context's own thread it runs inline
// instead of deadlocking; a call dropped unrun (its context deleted first) returns instead
// of hanging; exceptions reach the caller; and the hand-over in both directions is published
// to ThreadSanitizer (see ThreadHandoff.h).
//
// Like a blocking queued call, it waits forever if the context's thread runs no event loop.

#include "Support/ThreadHandoff.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <exception>
#include <future>
#include <type_traits>
#include <utility>

namespace Support {

namespace detail {

// Travels with a queued call and answers its promise with a broken promise when the call is
// destroyed unrun. The caller owns the promise and waits on it, so it outlives the keeper
// until one of the two has answered; after that neither touches it.
template <typename R> class PromiseKeeper
{
public:
    explicit PromiseKeeper(std::promise<R>& promise) : m_promise(&promise) {}
    PromiseKeeper(PromiseKeeper&& other) noexcept : m_promise(std::exchange(other.m_promise, nullptr)) {}
    PromiseKeeper(const PromiseKeeper&) = delete;
    PromiseKeeper& operator=(const PromiseKeeper&) = delete;
    PromiseKeeper& operator=(PromiseKeeper&&) = delete;
    ~PromiseKeeper()
    {
        if (m_promise)
            m_promise->set_exception(
                std::make_exception_ptr(std::future_error(std::future_errc::broken_promise)));
    }

    std::promise<R>& take() { return *std::exchange(m_promise, nullptr); }

private:
    std::promise<R>* m_promise;
};

} // namespace detail

// When the call is dropped unrun (its context was deleted first), it returns at once: with a
// default-constructed value for functions that return one.
template <typename Fn> auto blockingCall(QObject* context, Fn&& fn) -> std::invoke_result_t<Fn&>
{
    using R = std::invoke_result_t<Fn&>;
    if (QThread::currentThread() == context->thread())
        return fn();

    std::promise<R> done;
    std::future<R> result = done.get_future();
    happensBefore(&done);
    QMetaObject::invokeMethod(
        context,
        [keeper = detail::PromiseKeeper<R>(done), &fn]() mutable {
            std::promise<R>& promise = keeper.take();
            happensAfter(&promise);
            try {
                if constexpr (std::is_void_v<R>) {
                    fn();
                    promise.set_value();
                } else {
                    promise.set_value(fn());
                }
            } catch (...) {
                promise.set_exception(std::current_exception());
            }
        },
        Qt::QueuedConnection);
    try {
        return result.get();
    } catch (const std::future_error&) {
        if constexpr (!std::is_void_v<R>)
            return R{};
    }
}

} // namespace Support
