#include "Beamline/KPHIDEventController.h"

#include "Beamline/BeamlineLogging.h"
#include "Beamline/GenericDeviceHIDEventListener.h"
#include "Beamline/KPBeamlineProtocol.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

constexpr double kMaxCoordinate = 100000.0;

bool readNumber(const Json& params, const char* key, double& out)
{
    auto it = params.find(key);
    if (it == params.end() || !it->is_number())
        return false;
    out = it->get<double>();
    return std::isfinite(out) && std::abs(out) <= kMaxCoordinate;
}

} // namespace

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
        ++m_rejected;
        qCWarning(lcBeamline) << "KPHIDEventController: rejected pointer event:" << why;
        if (error)
            *error = why;
        return DispatchResult::Rejected;
    };
    if (!params.is_object())
        return reject(QStringLiteral("params are not an object"));
    auto ev = params.find("event");
    if (ev == params.end() || !ev->is_string())
        return reject(QStringLiteral("no event name"));
    const std::string name = ev->get<std::string>();

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
    std::lock_guard lock(m_mutex);
    // Copy: a listener may change the list from inside its callback.
    const auto listeners = m_listeners;
    for (auto* listener : listeners) {
        if (std::find(m_listeners.begin(), m_listeners.end(), listener) != m_listeners.end())
            call(listener);
    }
    return DispatchResult::Delivered;
}
