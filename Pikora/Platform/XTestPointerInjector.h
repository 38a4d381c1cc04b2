#pragma once

#include "Pikora/Platform/PointerInjector.h"

#include <QString>
#include <memory>

// Pointer events through the X server's XTEST extension. Connects to the display on first
// use (and again after the connection broke); the display name is the X display string,
// empty for $DISPLAY. Fractions of a pixel in relative moves are carried over to the next
// move rather than lost. Thread-safe.
class XTestPointerInjector : public PointerInjector
{
public:
    explicit XTestPointerInjector(QString displayName = {});
    ~XTestPointerInjector() override;

    XTestPointerInjector(const XTestPointerInjector&) = delete;
    XTestPointerInjector& operator=(const XTestPointerInjector&) = delete;

    // True when the display is reachable and supports XTEST.
    bool isAvailable();
    // Where the pointer is on the root window; nothing without a display.
    std::optional<QPoint> pointerPosition();
    // The root window's size; empty without a display.
    QSize screenSize();

    bool postRelativeMouseMove(double dx, double dy) override;
    bool postLeftMouseDownOnCurrentPoint() override;
    bool postLeftMouseUpOnCurrentPoint() override;
    bool postRelativeLeftMouseDrag(double dx, double dy) override;
    bool postRightMouseDownOnCurrentPoint() override;
    bool postRightMouseUpOnCurrentPoint() override;
    bool postLeftMouseDown(QPointF point) override;
    bool postLeftMouseDrag(QPointF point) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
