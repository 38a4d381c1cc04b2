#include "Beamline/KPHIDEventController.h"

#include "Beamline/BeamlineLogging.h"
#include "Beamline/GenericDeviceHIDEventListener.h"
#include "Beamline/JsonAccess.h"
#include "Beamline/KPBeamlineProtocol.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

constexpr double kMaxCoordinate = 100000.0;

bool readNumber(const Json& params, const char* key, double& out)
{
    const auto read = JsonAccess::number(params, key, -kMaxCoordinate, kMaxCoordinate);
    if (!read)
        return false;
    out = *read;
    return true;
}

constexpr std::size_t kMaxEventName = 32;

} // namespace

void KPHIDEventController::noteDropped(std::atomic<quint64>& counter, const QString& why)
{
    ++counter;
    const auto now = std::chrono::steady_clock::now();
    quint64 dropped = 0;
    {
        std::lock_guard lock(m_limitMutex);
        ++m_droppedSinceLog;
        if (now - m_lastLog < kLogInterval)
            return;
        m_lastLog = now;
        dropped = m_droppedSinceLog;
        m_droppedSinceLog = 0;
    }
    qCWarning(lcBeamline).noquote() << QStringLiteral(
                                           "KPHIDEventController: %1 pointer event(s) not delivered "
                                           "since the last report (rejected %2, rate-limited %3, "
                                           "outside a stream %4 in all); latest: %5")
                                           .arg(dropped)
                                           .arg(m_rejected.load())
                                           .arg(m_rateLimited.load())
                                           .arg(m_outsideStream.load())
                                           .arg(why);
}

void KPHIDEventController::noteOutsideStream()
{
    noteDropped(m_outsideStream, QStringLiteral("an event while no stream is shown"));
}

bool KPHIDEventController::takeToken()
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(m_limitMutex);
    const double elapsed = std::chrono::duration<double>(now - m_refilled).count();
    m_refilled = now;
    m_tokens = std::min(kBurst, m_tokens + elapsed * kMaxEventsPerSecond);
    if (m_tokens < 1)
        return false;
    m_tokens -= 1;
    return true;
}

void KPHIDEventController::addHIDEventListener(GenericDeviceHIDEventListener* listener)
{
    if (!listener)
        return;
    std::lock_guard lock(m_mutex);
    if (std::find(m_listeners.begin(), m_listeners.end(), listener) == m_listeners.end())
        m_listeners.push_back(listener);
}

void KPHIDEventController::removeHIDEventListener(GenericDeviceHIDEventListener* listener)
{
    std::lock_guard lock(m_mutex);
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener), m_listeners.end());
}

KPHIDEventController::DispatchResult KPHIDEventController::dispatchPointerEvent(const Json& params,
                                                                                QString* error)
{
    namespace P = KPBeamlineProtocol::Pointer;
    auto reject = [&](const QString& why) {
        noteDropped(m_rejected, QStringLiteral("rejected: %1").arg(why));
        if (error)
            *error = why;
        return DispatchResult::Rejected;
    };
    if (!params.is_object())
        return reject(QStringLiteral("params are not an object"));
    const auto ev = JsonAccess::string(params, "event", kMaxEventName);
    if (!ev)
        return reject(QStringLiteral("no event name"));
    const std::string& name = *ev;

    using Call = std::function<void(GenericDeviceHIDEventListener*)>;
    Call call;
    auto needDelta = [&](QPointF& d) {
        double dx = 0, dy = 0;
        if (!readNumber(params, "dx", dx) || !readNumber(params, "dy", dy))
            return false;
        d = QPointF(dx, dy);
        return true;
    };
    auto needTouch = [&](QPointF& p, QSizeF& base) {
        double x = 0, y = 0, w = 0, h = 0;
        if (!readNumber(params, "x", x) || !readNumber(params, "y", y) ||
            !readNumber(params, "baseWidth", w) || !readNumber(params, "baseHeight", h))
            return false;
        if (w <= 0 || h <= 0)
            return false;
        if (x < -w || x > 2 * w || y < -h || y > 2 * h)
            return false;
        p = QPointF(x, y);
        base = QSizeF(w, h);
        return true;
    };

    QPointF delta, point;
    QSizeF base;
    if (name == P::PluggedIn)
        call = [](auto* l) { l->mousePluggedIn(); };
    else if (name == P::PluggedOut)
        call = [](auto* l) { l->mousePluggedOut(); };
    else if (name == P::LeftDown)
        call = [](auto* l) { l->LeftMouseDownDetected(); };
    else if (name == P::LeftUp)
        call = [](auto* l) { l->LeftMouseUpDetected(); };
    else if (name == P::RightDown)
        call = [](auto* l) { l->RightMouseDownDetected(); };
    else if (name == P::RightUp)
        call = [](auto* l) { l->RightMouseUpDetected(); };
    else if (name == P::WheelDown)
        call = [](auto* l) { l->wheelDownDetected(); };
    else if (name == P::WheelUp)
        call = [](auto* l) { l->wheelUpDetected(); };
    else if (name == P::Move || name == P::LeftDrag || name == P::WheelScroll) {
        if (!needDelta(delta))
            return reject(QStringLiteral("\"%1\" needs finite dx and dy").arg(QString::fromStdString(name)));
        if (name == P::Move)
            call = [delta](auto* l) { l->mouseMoveDetected(delta); };
        else if (name == P::LeftDrag)
            call = [delta](auto* l) { l->leftMouseDragged(delta); };
        else
            call = [delta](auto* l) { l->wheelScrollDetected(delta); };
    } else if (name == P::TouchDown || name == P::TouchUp || name == P::TouchDrag) {
        if (!needTouch(point, base))
            return reject(QStringLiteral("\"%1\" needs a finite point inside a non-empty base")
                              .arg(QString::fromStdString(name)));
        if (name == P::TouchDown)
            call = [point, base](auto* l) { l->touchEventConvertedToSingleMouseEvent_Down(point, base); };
        else if (name == P::TouchUp)
            call = [point, base](auto* l) { l->touchEventConvertedToSingleMouseEvent_Up(point, base); };
        else
            call = [point, base](auto* l) { l->touchEventConvertedToSingleMouseEvent_Dragged(point, base); };
    } else {
        return reject(QStringLiteral("unknown event \"%1\"").arg(QString::fromStdString(name).left(64)));
    }

    if (!m_enabled)
        return DispatchResult::Disabled;
    if (!takeToken()) {
        noteDropped(m_rateLimited, QStringLiteral("more than %1 events per second").arg(kMaxEventsPerSecond));
        if (error)
            *error = QStringLiteral("rate-limited");
        return DispatchResult::RateLimited;
    }
    std::lock_guard lock(m_mutex);
    // Copy: a listener may change the list from inside its callback.
    const auto listeners = m_listeners;
    for (auto* listener : listeners) {
        if (std::find(m_listeners.begin(), m_listeners.end(), listener) != m_listeners.end())
            call(listener);
    }
    return DispatchResult::Delivered;
}
