# Sourced by the demo and the whole-road test. Drives Pikora's pairing window on the current
# X display with xdotool, the way a user's clicks and keys arrive: through the X server.
#
#   pair_through_window ADDRESS   clicks "Device Pairing" in the shown popover, types ADDRESS
#                                 into the pairing window and presses Enter. Returns 1 (and
#                                 says why on standard error) when a window is not found.
#                                 Leaves the window's title in PAIRING_WINDOW_TITLE.
#   pairing_window                prints the id of the visible pairing window, if any.

pairing_window() {
  local id
  for id in $(xdotool search --onlyvisible --name "Vistrel Pro Device$" 2>/dev/null); do
    xdotool search --onlyvisible --classname "^Pikora$" 2>/dev/null | grep -qx "$id" && { echo "$id"; return 0; }
  done
}

# The visible Pikora window at least 300 pixels wide that is not the pairing window: the popover.
popover_window() {
  local id w
  for id in $(xdotool search --onlyvisible --classname "^Pikora$" 2>/dev/null); do
    xdotool getwindowname "$id" 2>/dev/null | grep -q "Vistrel Pro Device" && continue
    w=$(xdotool getwindowgeometry --shell "$id" | sed -n 's/^WIDTH=//p')
    [ "${w:-0}" -ge 300 ] && { echo "$id"; return 0; }
  done
  return 1
}

pair_through_window() {
  local address="$1" popover="" window="" X Y WIDTH HEIGHT SCREEN WINDOW
  command -v xdotool >/dev/null || { echo "xdotool is not installed (scripts/install-deps.sh)" >&2; return 1; }
  for _ in $(seq 50); do popover=$(popover_window) && break; sleep 0.1; done
  [ -n "$popover" ] || { echo "no popover on the screen" >&2; return 1; }
  # The "Device Pairing" button sits at the popover's bottom right, 12 pixels in.
  eval "$(xdotool getwindowgeometry --shell "$popover")"
  xdotool mousemove $((X + WIDTH - 40)) $((Y + HEIGHT - 26)) click 1
  for _ in $(seq 50); do window=$(pairing_window) && [ -n "$window" ] && break; sleep 0.1; done
  [ -n "$window" ] || { echo "the Device Pairing button did not open the pairing window" >&2; return 1; }
  PAIRING_WINDOW_TITLE=$(xdotool getwindowname "$window" 2>/dev/null || true)
  # The window takes the focus itself; without a window manager, make sure it has it.
  xdotool windowfocus --sync "$window" 2>/dev/null || true
  sleep 0.3
  xdotool type --delay 20 "$address"
  xdotool key Return
}
