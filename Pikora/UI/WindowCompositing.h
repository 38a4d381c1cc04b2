#pragma once

class QWidget;

// Whether windows can be see-through. On X11 that needs a running compositing manager;
// without one the alpha channel of a window is ignored and its transparent pixels show
// black, so shaped windows are cut out with a mask instead.
namespace WindowCompositing {

// True when a window's alpha channel reaches the screen (always outside X11).
bool isActive();

} // namespace WindowCompositing
