#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A counting semaphore with the semantics of a dispatch semaphore: signal() increments,
// wait() decrements, blocking while the count is zero.
class DispatchSemaphore
{
public:
    explicit DispatchSemaphore(long value = 0);

    void signal();
    void wait();
    // Returns true when the semaphore was taken before the timeout ran out.
    bool waitFor(std::chrono::nanoseconds timeout);
    // Takes every pending signal without blocking; returns how many there were.
    long drain();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_value;
};
