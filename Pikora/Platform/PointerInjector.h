#pragma once

#include <QPoint>
#include <QPointF>
#include <QSize>
#include <optional>

// Posts synthetic pointer events, as the receiver's pointer drives this machine's pointer.
// Points are global screen coordinates (origin at the top left of the screen); relative
// moves and drags are deltas from the current position. Drags assume the left button is
// down (after a left-button press). Every call returns false (and logs) when the event could
// not be posted: non-finite coordinates, no display, no injection support. Coordinates
// beyond the screen are clamped to it. Implementations may be called from any thread.
class PointerInjector
{
public:
    virtual ~PointerInjector() = default;

    virtual bool postRelativeMouseMove(double dx, double dy) = 0;
    virtual bool postLeftMouseDownOnCurrentPoint() = 0;
    virtual bool postLeftMouseUpOnCurrentPoint() = 0;
    virtual bool postRelativeLeftMouseDrag(double dx, double dy) = 0;
    virtual bool postRightMouseDownOnCurrentPoint() = 0;
    virtual bool postRightMouseUpOnCurrentPoint() = 0;
    // Moves the pointer to `point` and presses the left button there.
    virtual bool postLeftMouseDown(QPointF point) = 0;
    // Moves the pointer to `point` with the left button held.
    virtual bool postLeftMouseDrag(QPointF point) = 0;

    // The pixel of a screen of `screenSize` nearest to `point`, rounding to the nearest whole
    // pixel; nothing when a coordinate is not finite or the screen is empty.
    static std::optional<QPoint> clampToScreen(QPointF point, QSize screenSize);
    // A delta limited to the screen's extent in each direction (no move can cross more than
    // the whole screen); nothing when a coordinate is not finite.
    static std::optional<QPointF> clampDelta(double dx, double dy, QSize screenSize);
};
