#pragma once

#include "Pikora/Platform/PointerInjector.h"

#include <QList>
#include <mutex>

// Records pointer events for tests instead of posting them. Coordinates are kept as given
// (no clamping), so a test sees exactly what the caller asked for; non-finite ones are
// refused as the real injector refuses them. Thread-safe, like the real one.
class FakePointerInjector : public PointerInjector
{
public:
    enum class Kind
    {
        RelativeMove,
        LeftDownOnCurrentPoint,
        LeftUpOnCurrentPoint,
        RelativeLeftDrag,
        RightDownOnCurrentPoint,
        RightUpOnCurrentPoint,
        LeftDown,
        LeftDrag,
    };

    struct Event
    {
        Kind kind;
        QPointF value; // the delta or the point; (0, 0) for button events

        bool operator==(const Event& other) const { return kind == other.kind && value == other.value; }
    };

    QList<Event> events() const;
    void clear();
    // Every call fails (as without a display) while set.
    void setAvailable(bool available);

    bool postRelativeMouseMove(double dx, double dy) override;
    bool postLeftMouseDownOnCurrentPoint() override;
    bool postLeftMouseUpOnCurrentPoint() override;
    bool postRelativeLeftMouseDrag(double dx, double dy) override;
    bool postRightMouseDownOnCurrentPoint() override;
    bool postRightMouseUpOnCurrentPoint() override;
    bool postLeftMouseDown(QPointF point) override;
    bool postLeftMouseDrag(QPointF point) override;

private:
    bool record(Kind kind, QPointF value = {});

    mutable std::mutex m_mutex;
    bool m_available = true;
    QList<Event> m_events;
};
