#pragma once

// Delivers the receiver's pointer events to the registered listeners while HID control is
// enabled. Malformed events (unknown names, missing or non-finite numbers, values beyond
// +-100000, an empty base size) are rejected and counted, never delivered.
//
// Thread-safe. Listeners are called on the thread that dispatches (Beamline's link thread)
// with the listener list locked, so once removeHIDEventListener() returns that listener is
// not called again. A listener may add or remove listeners from inside a callback.

#include "Beamline/KPJSONRPC.h"

#include <QString>
#include <atomic>
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
        Rejected
    };

    void setEnableHIDControl(bool enable) { m_enabled = enable; }
    bool isHIDControlEnabled() const { return m_enabled; }

    void addHIDEventListener(GenericDeviceHIDEventListener* listener);
    void removeHIDEventListener(GenericDeviceHIDEventListener* listener);

    // Validates one "pointer" notification's params and delivers it.
    DispatchResult dispatchPointerEvent(const Json& params, QString* error = nullptr);

    quint64 rejectedEvents() const { return m_rejected; }

private:
    std::atomic<bool> m_enabled{false};
    std::atomic<quint64> m_rejected{0};
    std::recursive_mutex m_mutex;
    std::vector<GenericDeviceHIDEventListener*> m_listeners;
};
