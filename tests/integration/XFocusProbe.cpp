// pikora-x-focus-probe: stands in for the application the user is typing in, so shell tests
// can check that Pikora's popover leaves the keyboard focus where it was.
//
//   pikora-x-focus-probe hold    maps a window at the screen's bottom left, gives it the input
//                                focus, prints its id and keeps it until standard input ends
//   pikora-x-focus-probe query   prints the id of the window that has the input focus
//
// Exit status 1 without a display.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

using Connection = std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)>;

xcb_window_t focusedWindow(xcb_connection_t* c)
{
    std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)> focus(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr), &std::free);
    return focus ? focus->focus : XCB_NONE;
}

} // namespace

int main(int argc, char** argv)
{
    const bool hold = argc == 2 && std::strcmp(argv[1], "hold") == 0;
    const bool query = argc == 2 && std::strcmp(argv[1], "query") == 0;
    if (!hold && !query) {
        std::fprintf(stderr, "usage: pikora-x-focus-probe hold|query\n");
        return 2;
    }
    int screenIndex = 0;
    Connection connection(xcb_connect(nullptr, &screenIndex), &xcb_disconnect);
    xcb_connection_t* c = connection.get();
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "cannot open the X display\n");
        return 1;
    }
    if (query) {
        std::printf("%u\n", focusedWindow(c));
        return 0;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenIndex && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return 1;
    const xcb_screen_t* screen = screens.data;
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {screen->white_pixel,
                               XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_KEY_PRESS};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0,
                      int16_t(screen->height_in_pixels - 120), 200, 100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c, window);
    xcb_flush(c);
    // The focus can go to a window only once it is viewable.
    while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
        const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
        std::free(event);
        if (mapped)
            break;
    }
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    xcb_flush(c);
    if (focusedWindow(c) != window)
        return 1;
    std::printf("%u\n", window);
    std::fflush(stdout);
    char buffer[256];
    while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    return 0;
}
