#pragma once

#include "Pikora/Platform/PointerInjector.h"

#include <QPointF>
#include <QSize>
#include <functional>
#include <mutex>

// The receiver's pointer in a Wayland session, through the desktop portal's RemoteDesktop
// interface on the session that also casts the screen. The portal moves the pointer only to
// absolute points of the shared stream, so this keeps the pointer's position itself: it starts
// in the middle of the stream when a session is attached, relative moves are added to it, and
// every point is clamped to the stream. Events go to the sender the capture attaches while its
// session runs; the sender must not block (it queues to the portal's thread). Without an
// attached session every call returns false. Thread-safe.
class PortalPointerInjector : public PointerInjector
{
public:
    struct Event
    {
        enum class Kind
        {
            MotionAbsolute,
            Button,
        };
        Kind kind = Kind::MotionAbsolute;
        double x = 0, y = 0; // stream coordinates (MotionAbsolute)
        int button = 0;      // Linux input button code (Button)
        bool pressed = false;
    };
    // False when the event could not be queued.
    using Sender = std::function<bool(const Event&)>;

    static constexpr int kButtonLeft = 0x110;
    static constexpr int kButtonRight = 0x111;

    // A session with a pointer started on a stream of `streamSize`; replaces any earlier one.
    void attach(QSize streamSize, Sender sender);
    // The session ended; no sender call runs any more once this returns.
    void detach();
    bool isAttached() const;
    QPointF position() const;

    bool postRelativeMouseMove(double dx, double dy) override;
    bool postLeftMouseDownOnCurrentPoint() override;
    bool postLeftMouseUpOnCurrentPoint() override;
    bool postRelativeLeftMouseDrag(double dx, double dy) override;
    bool postRightMouseDownOnCurrentPoint() override;
    bool postRightMouseUpOnCurrentPoint() override;
    bool postLeftMouseDown(QPointF point) override;
    bool postLeftMouseDrag(QPointF point) override;

private:
    bool moveBy(double dx, double dy);
    bool moveTo(QPointF point, bool thenPressLeft);
    bool button(int code, bool pressed);

    mutable std::mutex m_mutex;
    QSize m_size;
    QPointF m_position;
    Sender m_sender;
};
