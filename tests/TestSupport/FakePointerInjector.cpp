#include "tests/TestSupport/FakePointerInjector.h"

#include <cmath>

QList<FakePointerInjector::Event> FakePointerInjector::events() const
{
    std::lock_guard lock(m_mutex);
    return m_events;
}

void FakePointerInjector::clear()
{
    std::lock_guard lock(m_mutex);
    m_events.clear();
}

void FakePointerInjector::setAvailable(bool available)
{
    std::lock_guard lock(m_mutex);
    m_available = available;
}

bool FakePointerInjector::record(Kind kind, QPointF value)
{
    if (!std::isfinite(value.x()) || !std::isfinite(value.y()))
        return false;
    std::lock_guard lock(m_mutex);
    if (!m_available)
        return false;
    m_events.append({kind, value});
    return true;
}

bool FakePointerInjector::postRelativeMouseMove(double dx, double dy)
{
    return record(Kind::RelativeMove, {dx, dy});
}

bool FakePointerInjector::postLeftMouseDownOnCurrentPoint()
{
    return record(Kind::LeftDownOnCurrentPoint);
}

bool FakePointerInjector::postLeftMouseUpOnCurrentPoint()
{
    return record(Kind::LeftUpOnCurrentPoint);
}

bool FakePointerInjector::postRelativeLeftMouseDrag(double dx, double dy)
{
    return record(Kind::RelativeLeftDrag, {dx, dy});
}

bool FakePointerInjector::postRightMouseDownOnCurrentPoint()
{
    return record(Kind::RightDownOnCurrentPoint);
}

bool FakePointerInjector::postRightMouseUpOnCurrentPoint()
{
    return record(Kind::RightUpOnCurrentPoint);
}

bool FakePointerInjector::postLeftMouseDown(QPointF point)
{
    return record(Kind::LeftDown, point);
}

bool FakePointerInjector::postLeftMouseDrag(QPointF point)
{
    return record(Kind::LeftDrag, point);
}
