#include "Pikora/Platform/PortalPointerInjector.h"

#include "Pikora/App/AppLogging.h"

#include <algorithm>
#include <cmath>

void PortalPointerInjector::attach(QSize streamSize, Sender sender)
{
    std::lock_guard lock(m_mutex);
    m_size = streamSize;
    m_sender = streamSize.isEmpty() ? Sender() : std::move(sender);
    m_position = QPointF(std::max(streamSize.width(), 0) / 2, std::max(streamSize.height(), 0) / 2);
}

void PortalPointerInjector::detach()
{
    std::lock_guard lock(m_mutex);
    m_sender = nullptr;
    m_size = QSize();
}

bool PortalPointerInjector::isAttached() const
{
    std::lock_guard lock(m_mutex);
    return bool(m_sender);
}

QPointF PortalPointerInjector::position() const
{
    std::lock_guard lock(m_mutex);
    return m_position;
}

bool PortalPointerInjector::moveBy(double dx, double dy)
{
    std::lock_guard lock(m_mutex);
    if (!m_sender)
        return false;
    const auto delta = clampDelta(dx, dy, m_size);
    if (!delta) {
        qCWarning(lcPlatform) << "pointer: a move that is not a number was dropped";
        return false;
    }
    // Kept unrounded inside the stream, so that small moves add up.
    m_position = QPointF(std::clamp(m_position.x() + delta->x(), 0.0, double(m_size.width() - 1)),
                         std::clamp(m_position.y() + delta->y(), 0.0, double(m_size.height() - 1)));
    return m_sender({Event::Kind::MotionAbsolute, m_position.x(), m_position.y(), 0, false});
}

bool PortalPointerInjector::moveTo(QPointF point, bool thenPressLeft)
{
    std::lock_guard lock(m_mutex);
    if (!m_sender)
        return false;
    const auto target = clampToScreen(point, m_size);
    if (!target) {
        qCWarning(lcPlatform) << "pointer: a point that is not a number was dropped";
        return false;
    }
    m_position = QPointF(*target);
    if (!m_sender({Event::Kind::MotionAbsolute, m_position.x(), m_position.y(), 0, false}))
        return false;
    return !thenPressLeft || m_sender({Event::Kind::Button, 0, 0, kButtonLeft, true});
}

bool PortalPointerInjector::button(int code, bool pressed)
{
    std::lock_guard lock(m_mutex);
    if (!m_sender)
        return false;
    return m_sender({Event::Kind::Button, 0, 0, code, pressed});
}

bool PortalPointerInjector::postRelativeMouseMove(double dx, double dy)
{
    return moveBy(dx, dy);
}

bool PortalPointerInjector::postLeftMouseDownOnCurrentPoint()
{
    return button(kButtonLeft, true);
}

bool PortalPointerInjector::postLeftMouseUpOnCurrentPoint()
{
    return button(kButtonLeft, false);
}

bool PortalPointerInjector::postRelativeLeftMouseDrag(double dx, double dy)
{
    return moveBy(dx, dy);
}

bool PortalPointerInjector::postRightMouseDownOnCurrentPoint()
{
    return button(kButtonRight, true);
}

bool PortalPointerInjector::postRightMouseUpOnCurrentPoint()
{
    return button(kButtonRight, false);
}

bool PortalPointerInjector::postLeftMouseDown(QPointF point)
{
    return moveTo(point, true);
}

bool PortalPointerInjector::postLeftMouseDrag(QPointF point)
{
    return moveTo(point, false);
}
