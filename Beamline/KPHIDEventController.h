#pragma once

// Delivers the receiver's pointer events to the registered listeners while HID control is
// enabled. Malformed events (unknown names, missing or non-finite numbers, values beyond
// +-100000, an empty base size) are rejected and counted, never delivered. At most
// kMaxEventsPerSecond events (bursts of kBurst) are delivered; the rest are counted as
// rate-limited. Rejections are logged at most once per kLogInterval, as a count.
//
// Thread-safe. Listeners are called on the thread that dispatches (Beamline's link thread)
// with the listener list locked, so once removeHIDEventListener() returns that listener is
// not called again. A listener may add or remove listeners from inside a callback.

#include "Beamline/KPJSONRPC.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

class GenericDeviceHIDEventListener;

class KPHIDEventController
{
public:
    enum class DispatchResult
    {
        Delivered,
        Disabled,
        Rejected,
        RateLimited
    };

    static constexpr double kMaxEventsPerSecond = 250;
    static constexpr double kBurst = 100;
    static constexpr std::chrono::seconds kLogInterval{1};

    void setEnableHIDControl(bool enable) { m_enabled = enable; }
    bool isHIDControlEnabled() const { return m_enabled; }

    void addHIDEventListener(GenericDeviceHIDEventListener* listener);
    void removeHIDEventListener(GenericDeviceHIDEventListener* listener);

    // Validates one "pointer" notification's params and delivers it.
    DispatchResult dispatchPointerEvent(const Json& params, QString* error = nullptr);

    quint64 rejectedEvents() const { return m_rejected; }
    quint64 rateLimitedEvents() const { return m_rateLimited; }
    // Counts (and logs, throttled) an event that came while no stream was shown.
    void noteOutsideStream();
    quint64 eventsOutsideStream() const { return m_outsideStream; }

private:
    // Counts one event that was not delivered and logs the counts at most once per interval.
    void noteDropped(std::atomic<quint64>& counter, const QString& why);
    bool takeToken();

    std::atomic<bool> m_enabled{false};
    std::atomic<quint64> m_rejected{0};
    std::atomic<quint64> m_rateLimited{0};
    std::atomic<quint64> m_outsideStream{0};

    std::mutex m_limitMutex;
    double m_tokens = kBurst;
    std::chrono::steady_clock::time_point m_refilled = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_lastLog{};
    quint64 m_droppedSinceLog = 0;
    std::recursive_mutex m_mutex;
    std::vector<GenericDeviceHIDEventListener*> m_listeners;
};
