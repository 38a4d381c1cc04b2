#pragma once

// Pointer input from the receiver, delivered on Beamline's link thread. Every operation is
// optional: the defaults do nothing. Deltas are relative moves in pixels; touch points are
// in the receiver's base (`base` is its size, never empty).

#include <QPointF>
#include <QSizeF>

class GenericDeviceHIDEventListener
{
public:
    virtual ~GenericDeviceHIDEventListener() = default;

    virtual void mousePluggedIn() {}
    virtual void mousePluggedOut() {}
    virtual void mouseMoveDetected(QPointF delta) { (void)delta; }
    virtual void LeftMouseDownDetected() {}
    virtual void LeftMouseUpDetected() {}
    virtual void leftMouseDragged(QPointF delta) { (void)delta; }
    virtual void RightMouseDownDetected() {}
    virtual void RightMouseUpDetected() {}
    virtual void touchEventConvertedToSingleMouseEvent_Down(QPointF point, QSizeF base)
    {
        (void)point;
        (void)base;
    }
    virtual void touchEventConvertedToSingleMouseEvent_Up(QPointF point, QSizeF base)
    {
        (void)point;
        (void)base;
    }
    virtual void touchEventConvertedToSingleMouseEvent_Dragged(QPointF point, QSizeF base)
    {
        (void)point;
        (void)base;
    }
    virtual void wheelDownDetected() {}
    virtual void wheelUpDetected() {}
    virtual void wheelScrollDetected(QPointF delta) { (void)delta; }
};
