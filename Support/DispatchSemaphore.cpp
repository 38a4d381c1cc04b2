#include "Support/DispatchSemaphore.h"

DispatchSemaphore::DispatchSemaphore(long value) : m_value(value) {}

void DispatchSemaphore::signal()
{
    // Notified under the lock: a waiter may destroy the semaphore as soon as it wakes (the
    // usual wait-for-a-completion pattern), so nothing may touch it after the unlock.
    std::lock_guard lock(m_mutex);
    ++m_value;
    m_cv.notify_one();
}

void DispatchSemaphore::wait()
{
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return m_value > 0; });
    --m_value;
}

bool DispatchSemaphore::waitFor(std::chrono::nanoseconds timeout)
{
    std::unique_lock lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!m_cv.wait_until(lock, deadline, [this] { return m_value > 0; }))
        return false;
    --m_value;
    return true;
}

long DispatchSemaphore::drain()
{
    std::lock_guard lock(m_mutex);
    const long taken = m_value > 0 ? m_value : 0;
    m_value -= taken;
    return taken;
}
