#!/usr/bin/env bash
# Runs the capture benchmark's portal path in a headless Wayland session (sway, PipeWire, the
# real xdg-desktop-portal with the test screen-cast backend, as in the Wayland road test),
# next to the X11 path the benchmark measures anyway. As root it runs as "pikora-wayland".
#
# Usage: bench/capture/portal_bench.sh BUILD_DIR [benchmark options, e.g. --seconds 5 --no-ffmpeg]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/lib/wayland.sh"
build="$(cd "$1" && pwd)"
shift

if [ "${PIKORA_WAYLAND_INNER:-}" != 1 ]; then
  work="$(mktemp -d)"
  chmod 755 "$work"
  [ "$(id -u)" -eq 0 ] && { wayland_as_user true; chown "$wayland_user" "$work"; }
  status=0
  wayland_as_user dbus-run-session -- env PIKORA_WAYLAND_INNER=1 PIKORA_WAYLAND_WORK="$work" \
    "$here/portal_bench.sh" "$build" "$@" || status=$?
  rm -rf "$work"
  exit $status
fi

work="$PIKORA_WAYLAND_WORK"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true' EXIT
size=1920x1080
start_wayland_session "$work" "$size" "#3060a0" \
  "$build/tools/screencast-portal-emulator/pikora-screencast-portal-emulator" || exit 1
"$build/bench/capture/pikora-capture-bench" "$@" --portal "$size"
