#include "Pikora/Platform/XTestPointerInjector.h"

#include "Pikora/App/AppLogging.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <utility>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace {

struct ConnectionDeleter
{
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

template <typename Reply> struct ReplyDeleter
{
    void operator()(Reply* reply) const { std::free(reply); }
};
template <typename Reply> using ReplyPtr = std::unique_ptr<Reply, ReplyDeleter<Reply>>;

constexpr std::uint8_t kLeftButton = 1;
constexpr std::uint8_t kRightButton = 3;

} // namespace

struct XTestPointerInjector::Impl
{
    QString displayName;
    std::mutex mutex;
    Connection connection;
    xcb_window_t root = XCB_WINDOW_NONE;
    bool reportedUnavailable = false;
    // Sub-pixel parts of relative moves not yet posted.
    double carryX = 0;
    double carryY = 0;

    // Connects when there is no healthy connection. Call with `mutex` held.
    bool ensureConnected()
    {
        if (connection && !xcb_connection_has_error(connection.get()))
            return true;
        connection.reset();
        const QByteArray name = displayName.toLocal8Bit();
        int screenNumber = 0;
        Connection candidate(xcb_connect(name.isEmpty() ? nullptr : name.constData(), &screenNumber));
        if (!candidate || xcb_connection_has_error(candidate.get()))
            return unavailable("cannot connect to the X display");
        const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(candidate.get(), &xcb_test_id);
        if (!xtest || !xtest->present)
            return unavailable("the X display has no XTEST extension");

        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(candidate.get()));
        for (int i = 0; i < screenNumber && screens.rem; ++i)
            xcb_screen_next(&screens);
        if (!screens.rem)
            return unavailable("the X display has no such screen");
        root = screens.data->root;
        connection = std::move(candidate);
        if (reportedUnavailable)
            qCInfo(lcPlatform) << "pointer injection available again";
        reportedUnavailable = false;
        return true;
    }

    bool unavailable(const char* why)
    {
        // Once per outage: pointer events come many a second.
        if (!reportedUnavailable)
            qCWarning(lcPlatform) << "pointer injection unavailable:" << why << displayName;
        reportedUnavailable = true;
        return false;
    }

    QSize rootSize()
    {
        xcb_get_geometry_cookie_t cookie = xcb_get_geometry(connection.get(), root);
        ReplyPtr<xcb_get_geometry_reply_t> reply(xcb_get_geometry_reply(connection.get(), cookie, nullptr));
        if (!reply)
            return {};
        return {reply->width, reply->height};
    }

    bool fakeInput(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0)
    {
        xcb_void_cookie_t cookie =
            xcb_test_fake_input_checked(connection.get(), type, detail, XCB_CURRENT_TIME, root, x, y, 0);
        ReplyPtr<xcb_generic_error_t> error(xcb_request_check(connection.get(), cookie));
        if (error) {
            qCWarning(lcPlatform) << "XTEST refused a pointer event, error code" << error->error_code;
            return false;
        }
        return true;
    }

    bool button(std::uint8_t buttonNumber, bool press)
    {
        std::lock_guard lock(mutex);
        if (!ensureConnected())
            return false;
        return fakeInput(press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, buttonNumber);
    }

    bool relativeMove(double dx, double dy)
    {
        std::lock_guard lock(mutex);
        if (!std::isfinite(dx) || !std::isfinite(dy)) {
            qCWarning(lcPlatform) << "ignoring a pointer move by a non-finite delta";
            return false;
        }
        if (!ensureConnected())
            return false;
        const QSize screen = rootSize();
        const auto delta = PointerInjector::clampDelta(dx, dy, screen);
        if (!delta || screen.isEmpty())
            return false;
        const double x = delta->x() + carryX;
        const double y = delta->y() + carryY;
        const double wholeX = std::trunc(x);
        const double wholeY = std::trunc(y);
        carryX = x - wholeX;
        carryY = y - wholeY;
        if (wholeX == 0 && wholeY == 0)
            return true; // less than a pixel so far: it is carried over
        // The clamped delta is within the screen, which X keeps below 32768 pixels.
        return fakeInput(XCB_MOTION_NOTIFY, 1 /* relative */, static_cast<std::int16_t>(wholeX),
                         static_cast<std::int16_t>(wholeY));
    }

    bool absoluteMove(QPointF point)
    {
        if (!ensureConnected())
            return false;
        const auto target = PointerInjector::clampToScreen(point, rootSize());
        if (!target) {
            qCWarning(lcPlatform) << "ignoring a pointer event at" << point;
            return false;
        }
        carryX = carryY = 0;
        return fakeInput(XCB_MOTION_NOTIFY, 0 /* absolute */, static_cast<std::int16_t>(target->x()),
                         static_cast<std::int16_t>(target->y()));
    }
};

XTestPointerInjector::XTestPointerInjector(QString displayName) : d(std::make_unique<Impl>())
{
    d->displayName = std::move(displayName);
}

XTestPointerInjector::~XTestPointerInjector() = default;

bool XTestPointerInjector::isAvailable()
{
    std::lock_guard lock(d->mutex);
    return d->ensureConnected();
}

std::optional<QPoint> XTestPointerInjector::pointerPosition()
{
    std::lock_guard lock(d->mutex);
    if (!d->ensureConnected())
        return std::nullopt;
    xcb_query_pointer_cookie_t cookie = xcb_query_pointer(d->connection.get(), d->root);
    ReplyPtr<xcb_query_pointer_reply_t> reply(xcb_query_pointer_reply(d->connection.get(), cookie, nullptr));
    if (!reply)
        return std::nullopt;
    return QPoint(reply->root_x, reply->root_y);
}

QSize XTestPointerInjector::screenSize()
{
    std::lock_guard lock(d->mutex);
    if (!d->ensureConnected())
        return {};
    return d->rootSize();
}

bool XTestPointerInjector::postRelativeMouseMove(double dx, double dy)
{
    return d->relativeMove(dx, dy);
}

bool XTestPointerInjector::postLeftMouseDownOnCurrentPoint()
{
    return d->button(kLeftButton, true);
}

bool XTestPointerInjector::postLeftMouseUpOnCurrentPoint()
{
    return d->button(kLeftButton, false);
}

bool XTestPointerInjector::postRelativeLeftMouseDrag(double dx, double dy)
{
    // With the button held, X turns pointer motion into a drag by itself.
    return d->relativeMove(dx, dy);
}

bool XTestPointerInjector::postRightMouseDownOnCurrentPoint()
{
    return d->button(kRightButton, true);
}

bool XTestPointerInjector::postRightMouseUpOnCurrentPoint()
{
    return d->button(kRightButton, false);
}

bool XTestPointerInjector::postLeftMouseDown(QPointF point)
{
    std::lock_guard lock(d->mutex);
    return d->absoluteMove(point) && d->fakeInput(XCB_BUTTON_PRESS, kLeftButton);
}

bool XTestPointerInjector::postLeftMouseDrag(QPointF point)
{
    std::lock_guard lock(d->mutex);
    return d->absoluteMove(point);
}
