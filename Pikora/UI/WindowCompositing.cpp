#include "Pikora/UI/WindowCompositing.h"

#include <QGuiApplication>

#if QT_CONFIG(xcb)
#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>
#endif

namespace WindowCompositing {

bool isActive()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return true;
#if QT_CONFIG(xcb)
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    // A compositing manager owns the selection "_NET_WM_CM_S<screen>".
    static constexpr char name[] = "_NET_WM_CM_S0";
    const xcb_intern_atom_cookie_t atomCookie = xcb_intern_atom(connection, 1, sizeof(name) - 1, name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(connection, atomCookie, nullptr), &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false;
    const xcb_get_selection_owner_cookie_t ownerCookie = xcb_get_selection_owner(connection, atom->atom);
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, ownerCookie, nullptr), &std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
#else
    return false;
#endif
}

} // namespace WindowCompositing
