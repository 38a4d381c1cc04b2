// The portal pointer keeps the position itself (the portal takes only absolute points): moves
// add up and stay inside the stream, touches land on clamped pixels, nothing is sent without a
// session, and a sender that cannot queue is reported as a failure.
#include "Pikora/Platform/PortalPointerInjector.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <limits>

namespace {

using Event = PortalPointerInjector::Event;

QString describe(const Event& e)
{
    if (e.kind == Event::Kind::MotionAbsolute)
        return QStringLiteral("move %1,%2").arg(e.x).arg(e.y);
    return QStringLiteral("button %1 %2").arg(e.button, 0, 16).arg(e.pressed ? "down" : "up");
}

struct Recorder
{
    QStringList events;
    bool accept = true;
    PortalPointerInjector::Sender sender()
    {
        return [this](const Event& e) {
            events << describe(e);
            return accept;
        };
    }
};

TEST(PortalPointerInjector, RelativeMovesAddUpFromTheMiddleAndStayInsideTheStream)
{
    PortalPointerInjector pointer;
    Recorder rec;
    pointer.attach(QSize(1000, 600), rec.sender());
    EXPECT_TRUE(pointer.postRelativeMouseMove(0.25, 0));
    EXPECT_TRUE(pointer.postRelativeMouseMove(0.25, -10));
    EXPECT_TRUE(pointer.postRelativeLeftMouseDrag(1e9, -1e9)); // far beyond: the corner
    EXPECT_TRUE(pointer.postRelativeMouseMove(-5, 5));
    EXPECT_EQ(rec.events, (QStringList{"move 500.25,300", "move 500.5,290", "move 999,0", "move 994,5"}));

    rec.events.clear();
    EXPECT_FALSE(pointer.postRelativeMouseMove(std::numeric_limits<double>::quiet_NaN(), 1));
    EXPECT_TRUE(rec.events.isEmpty()) << "a move that is not a number sends nothing";
    EXPECT_EQ(pointer.position(), QPointF(994, 5));
}

TEST(PortalPointerInjector, ButtonsAndTouchesUseLinuxCodesAndClampedPoints)
{
    PortalPointerInjector pointer;
    Recorder rec;
    pointer.attach(QSize(1280, 720), rec.sender());
    EXPECT_TRUE(pointer.postLeftMouseDown({1280.4, -3}));
    EXPECT_TRUE(pointer.postLeftMouseDrag({100.6, 200.2}));
    EXPECT_TRUE(pointer.postLeftMouseUpOnCurrentPoint());
    EXPECT_TRUE(pointer.postRightMouseDownOnCurrentPoint());
    EXPECT_TRUE(pointer.postRightMouseUpOnCurrentPoint());
    EXPECT_EQ(rec.events, (QStringList{"move 1279,0", "button 110 down", "move 101,200", "button 110 up",
                                       "button 111 down", "button 111 up"}));
    rec.events.clear();
    EXPECT_FALSE(pointer.postLeftMouseDown({std::numeric_limits<double>::infinity(), 1}));
    EXPECT_TRUE(rec.events.isEmpty()) << "no press without a place to press";
}

TEST(PortalPointerInjector, NothingIsSentWithoutASessionAndAFullQueueIsAFailure)
{
    PortalPointerInjector pointer;
    EXPECT_FALSE(pointer.isAttached());
    EXPECT_FALSE(pointer.postRelativeMouseMove(1, 1));
    EXPECT_FALSE(pointer.postLeftMouseDownOnCurrentPoint());

    Recorder rec;
    rec.accept = false;
    pointer.attach(QSize(800, 600), rec.sender());
    EXPECT_TRUE(pointer.isAttached());
    EXPECT_FALSE(pointer.postLeftMouseDown({10, 10}));
    EXPECT_EQ(rec.events, QStringList{"move 10,10"}) << "no press after a move that could not be queued";

    pointer.detach();
    rec.events.clear();
    EXPECT_FALSE(pointer.postRightMouseDownOnCurrentPoint());
    EXPECT_TRUE(rec.events.isEmpty());

    pointer.attach(QSize(), rec.sender()); // a stream without a size drives nothing
    EXPECT_FALSE(pointer.isAttached());
}

} // namespace
