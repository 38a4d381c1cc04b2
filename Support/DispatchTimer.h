#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class DispatchQueue;

// A repeating (or one-shot) timer whose handler runs on a DispatchQueue.
// - start(): first fire after `delay`, then every `interval` (zero interval = fire once).
//   Calling start() again re-arms the timer with the new values.
// - leeway: how late a fire may be delivered; a strict timer ignores leeway and fires as
//   close to its deadline as the system allows.
// - Fires missed while the handler is still queued or running are merged into one: a slow
//   handler never builds up a backlog.
// - cancel() stops further fires; a fire already handed to the queue but not yet started is
//   skipped. A handler that is running when cancel() is called finishes (cancel() does not
//   wait for it). The destructor cancels, and may run inside the timer's own handler.
// - The queue must outlive the timer.
class DispatchTimer
{
public:
    using Clock = std::chrono::steady_clock;

    DispatchTimer(DispatchQueue& queue, std::function<void()> handler);
    ~DispatchTimer();
    DispatchTimer(const DispatchTimer&) = delete;
    DispatchTimer& operator=(const DispatchTimer&) = delete;

    void start(std::chrono::nanoseconds delay, std::chrono::nanoseconds interval,
               std::chrono::nanoseconds leeway = std::chrono::nanoseconds::zero(), bool strict = false);
    void cancel();
    bool isCancelled() const;
    bool isRunning() const;

    // How many fires were merged into a later one because the handler had not yet run.
    std::uint64_t mergedFires() const;

    struct State;

private:
    std::shared_ptr<State> d;
};
