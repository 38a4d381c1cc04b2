// pikora-x-pointer-probe: prints where the pointer is on the X display's root window as
// "X Y", so shell tests can follow what was injected. Exit status 1 without a display.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

int main()
{
    int screenIndex = 0;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(
        xcb_connect(nullptr, &screenIndex), &xcb_disconnect);
    if (xcb_connection_has_error(connection.get())) {
        std::fprintf(stderr, "cannot open the X display\n");
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenIndex && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return 1;
    std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> pointer(
        xcb_query_pointer_reply(connection.get(), xcb_query_pointer(connection.get(), screens.data->root),
                                nullptr),
        &std::free);
    if (!pointer)
        return 1;
    std::printf("%d %d\n", pointer->root_x, pointer->root_y);
    return 0;
}
