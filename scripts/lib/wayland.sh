# Sourced by the Wayland whole-road test and the capture benchmark's portal mode.
#
# wayland_as_user SCRIPT ARGS...: sway refuses to run as root, so when called by root this
# creates (once) the unprivileged user "pikora-wayland" and runs SCRIPT as that user with a
# clean environment; otherwise runs SCRIPT directly. Returns SCRIPT's status.
#
# start_wayland_session WORK SIZE COLOUR [BACKEND]: inside a private D-Bus session (the caller
# runs under dbus-run-session), starts headless sway with one output of SIZE (WIDTHxHEIGHT)
# filled with COLOUR (#rrggbb), PipeWire, WirePlumber, a screen-cast portal backend and
# xdg-desktop-portal. BACKEND is "wlr" (default: xdg-desktop-portal-wlr, its output chooser set
# to the headless output, so no one has to pick) or the path of
# pikora-screencast-portal-emulator (then the only backend, for ScreenCast and RemoteDesktop;
# its log is WORK/portal-backend.log).
# Everything keeps its state under WORK (runtime dir, config, data); logs go to WORK/*.log.
# Records pids in the caller's `pids` array. Returns 1, with the reason on stderr, when a part
# did not come up in time.
wayland_user=pikora-wayland

wayland_as_user() {
  if [ "$(id -u)" -ne 0 ]; then
    "$@"
    return
  fi
  if ! id -u "$wayland_user" >/dev/null 2>&1; then
    useradd --system --create-home --shell /bin/bash "$wayland_user" ||
      { echo "wayland: cannot create user $wayland_user" >&2; return 1; }
  fi
  runuser -u "$wayland_user" -- env -i PATH="$PATH" HOME="$(getent passwd "$wayland_user" | cut -d: -f6)" \
    LANG=C.UTF-8 "$@"
}

_wayland_wait_file() { # path seconds
  for _ in $(seq $(($2 * 10))); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}

_wayland_wait_name() { # dbus-name seconds
  for _ in $(seq $(($2 * 10))); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q "boolean true" && return 0
    sleep 0.1
  done
  return 1
}

start_wayland_session() { # work size colour [backend]
  local work="$1" size="$2" colour="$3" backend="${4:-wlr}"
  mkdir -p "$work/run" "$work/config/xdg-desktop-portal-wlr" "$work/data" "$work/state"
  chmod 700 "$work/run"
  export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
  export XDG_STATE_HOME="$work/state" XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland
  export WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1
  unset DISPLAY WAYLAND_DISPLAY

  cat >"$work/sway.conf" <<EOF
output HEADLESS-1 resolution $size position 0 0 bg $colour solid_color
default_border none
EOF
  cat >"$work/config/xdg-desktop-portal-wlr/config" <<EOF
[screencast]
chooser_type=none
output_name=HEADLESS-1
max_fps=30
EOF
  sway -c "$work/sway.conf" >"$work/sway.log" 2>&1 &
  pids+=($!)
  local socket=""
  for _ in $(seq 100); do
    socket=$(cd "$XDG_RUNTIME_DIR" && ls wayland-* 2>/dev/null | grep -v lock | head -n1) || true
    [ -n "$socket" ] && break
    sleep 0.1
  done
  [ -n "$socket" ] || { echo "wayland: sway did not start" >&2; return 1; }
  export WAYLAND_DISPLAY="$socket"
  export SWAYSOCK
  SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock 2>/dev/null | head -n1) || true

  pipewire >"$work/pipewire.log" 2>&1 &
  pids+=($!)
  _wayland_wait_file "$XDG_RUNTIME_DIR/pipewire-0" 10 || { echo "wayland: pipewire did not start" >&2; return 1; }
  wireplumber >"$work/wireplumber.log" 2>&1 &
  pids+=($!)
  if [ "$backend" = wlr ]; then
    /usr/libexec/xdg-desktop-portal-wlr -l DEBUG >"$work/portal-wlr.log" 2>&1 &
    pids+=($!)
    _wayland_wait_name org.freedesktop.impl.portal.desktop.wlr 10 ||
      { echo "wayland: xdg-desktop-portal-wlr did not start" >&2; return 1; }
  else
    mkdir -p "$work/portals"
    printf '[portal]\nDBusName=org.freedesktop.impl.portal.desktop.pikora\nInterfaces=%s\nUseIn=sway\n' \
      'org.freedesktop.impl.portal.ScreenCast;org.freedesktop.impl.portal.RemoteDesktop;' >"$work/portals/pikora.portal"
    export XDG_DESKTOP_PORTAL_DIR="$work/portals"
    "$backend" >"$work/portal-backend.log" 2>&1 &
    pids+=($!)
    _wayland_wait_name org.freedesktop.impl.portal.desktop.pikora 10 ||
      { echo "wayland: the screen-cast portal backend did not start" >&2; return 1; }
  fi
  /usr/libexec/xdg-desktop-portal -v >"$work/portal.log" 2>&1 &
  pids+=($!)
  _wayland_wait_name org.freedesktop.portal.Desktop 15 ||
    { echo "wayland: xdg-desktop-portal did not start" >&2; return 1; }
  return 0
}
