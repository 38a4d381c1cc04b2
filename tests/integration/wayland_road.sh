#!/usr/bin/env bash
# The whole road in a headless Wayland session: sway (headless, software rendering) shows a
# picture whose left half is red and right half blue; PipeWire, WirePlumber, a screen-cast
# portal backend and the real xdg-desktop-portal run on a private D-Bus session. Pikora,
# started without --capture, must pick the portal by itself, capture through it and stream to
# the receiver emulator, whose decoded picture must show the two colours where they are on
# screen. A press stops; the next press projects again, and that second screen cast must start
# with the stored restore token: the backend restores its output from the saved choice and
# shows no chooser.
#
# The backend is pikora-screencast-portal-emulator (it grabs sway's screen with grim): Debian
# 12's xdg-desktop-portal-wlr 0.7.0 cannot start a stream without a DMA-BUF capable renderer
# ("unable to receive a valid format from wlr_screencopy"), which a machine without a GPU does
# not have.
#
#   --stale-token  the settings start with a token the portal never issued: the portal ignores
#                  it and the chooser is shown as on a first run; the projection must still
#                  start and the settings must end up with a fresh token
#   --portal-wlr   the real xdg-desktop-portal-wlr: its Start fails here (see above); Pikora
#                  must stop the projection cleanly, say why in the popover and tell the
#                  accessory. Fails if that backend ever starts a stream (then this test should
#                  check pictures instead).
#   --pointer      the settings allow the pointer even where the desktop cannot remember the
#                  choice (PortalPointer=always; Debian 12's portal has RemoteDesktop version 1):
#                  the screen cast runs on a remote-desktop session, the receiver emulator's
#                  pointer events must reach the backend as absolute motion and buttons on the
#                  session's own stream while projecting, and none after the stop; the second
#                  projection asks again (that portal cannot persist remote-desktop sessions)
#                  and its pointer works too.
#   --cursor-metadata  the backend offers the pointer only as metadata beside the picture (a
#                  green 16x16 square at 100,100): Pikora must ask for it and draw it in, so the
#                  receiver's picture shows it there.
#
# sway refuses to run as root: as root, everything runs as the user "pikora-wayland" (created
# on first use). The test fails (never skips) when the session cannot be set up.
#
# Usage: wayland_road.sh BUILD_DIR [--stale-token|--portal-wlr|--pointer|--cursor-metadata]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/lib/waits.sh"
source "$here/../../scripts/lib/wayland.sh"

build="$(cd "$1" && pwd)"
mode="${2:-}"

if [ "${PIKORA_WAYLAND_INNER:-}" != 1 ]; then
  work="$(mktemp -d)"
  chmod 755 "$work"
  [ "$(id -u)" -eq 0 ] && { wayland_as_user true || exit 1; chown "$wayland_user" "$work"; }
  # The unprivileged user runs the build's programs and this script. A checkout it cannot
  # reach (a clone under root's private home, as on CI) is staged: this script, its helpers,
  # the four programs and the build's shared libraries are copied into the work directory.
  script="$here/wayland_road.sh" run_build="$build" libs=()
  if ! wayland_as_user test -x "$build/Pikora/Pikora" -a -r "$here/wayland_road.sh"; then
    stage="$work/stage"
    mkdir -p "$stage/tests/integration" "$stage/scripts/lib" "$stage/build/lib"
    cp "$here/wayland_road.sh" "$stage/tests/integration/"
    cp "$here/../../scripts/lib/"*.sh "$stage/scripts/lib/"
    for program in Pikora/Pikora tools/accessory-emulator/pikora-accessory-emulator \
      tools/receiver-emulator/pikora-receiver-emulator \
      tools/screencast-portal-emulator/pikora-screencast-portal-emulator; do
      mkdir -p "$stage/build/$(dirname "$program")"
      cp "$build/$program" "$stage/build/$program"
    done
    cp -P "$build"/lib/*.so* "$stage/build/lib/" 2>/dev/null || true
    chown -R "$wayland_user" "$stage"
    script="$stage/tests/integration/wayland_road.sh" run_build="$stage/build"
    libs=(LD_LIBRARY_PATH="$stage/build/lib")
    wayland_as_user test -x "$run_build/Pikora/Pikora" -a -r "$script" || {
      echo "FAIL: $wayland_user cannot run the staged programs in $stage"
      rm -rf "$work"
      exit 1
    }
  fi
  status=0
  wayland_as_user dbus-run-session -- env PIKORA_WAYLAND_INNER=1 PIKORA_WAYLAND_WORK="$work" \
    "${libs[@]}" "$script" "$run_build" "$mode" || status=$?
  [ -n "${PIKORA_KEEP_WORK:-}" ] || rm -rf "$work"
  exit $status
fi

work="$PIKORA_WAYLAND_WORK"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in pikora receiver accessory portal-backend portal-wlr portal sway pipewire; do
    echo "---- $f.log"; tail -n 25 "$work/$f.log" 2>/dev/null | cut -c1-400 || true
  done
  exit 1
}

# The picture on screen: left half red, right half blue.
ffmpeg -loglevel error -f lavfi -i "color=c=0xc02020:s=640x720[a];color=c=0x2060c0:s=640x720[b];[a][b]hstack" \
  -frames:v 1 -y "$work/screen.png" || fail "cannot draw the screen picture"
backend="$build/tools/screencast-portal-emulator/pikora-screencast-portal-emulator"
[ "$mode" = "--portal-wlr" ] && backend=wlr
[ "$mode" = "--cursor-metadata" ] && export PIKORA_PORTAL_CURSOR=metadata
start_wayland_session "$work" 1280x720 "#000000" "$backend" 2>"$work/session.err" || fail "$(cat "$work/session.err")"
swaymsg output HEADLESS-1 bg "$work/screen.png" stretch >/dev/null 2>&1 || fail "sway did not take the background"

receiver_ip=127.0.0.4
accessory_ip=127.0.0.5
mkdir -p "$work/usb"
mkfifo "$work/receiver.in" "$work/accessory.in"
"$build/tools/receiver-emulator/pikora-receiver-emulator" --bind "$receiver_ip" --name Road-Receiver \
  --max-resolution 1280x720 --discovery-port 0 --control-port 0 --config-port -1 \
  <"$work/receiver.in" >"$work/receiver.log" 2>&1 &
pids+=($!)
exec {rin}>"$work/receiver.in"
wait_for "$work/receiver.log" "listening on" 10 || fail "receiver emulator did not start"
discovery_port=$(sed -n 's/.*discovery \([0-9]*\) .*/\1/p' "$work/receiver.log" | head -n1)

accessory_port=$(free_port "$accessory_ip")
"$build/tools/accessory-emulator/pikora-accessory-emulator" --listen "$accessory_ip" --port "$accessory_port" \
  --usb-sim "$work/usb" --pairing "{\"ip_addr\":\"$receiver_ip\",\"hostname\":\"Road-Receiver\"}" \
  <"$work/accessory.in" >"$work/accessory.log" 2>&1 &
pids+=($!)
exec {ain}>"$work/accessory.in"

settings="$work/settings.ini"
if [ "$mode" = "--stale-token" ]; then
  printf '[General]\nPortalRestoreToken=11111111-2222-3333-4444-555555555555\n' >"$settings"
elif [ "$mode" = "--pointer" ]; then
  printf '[General]\nPortalPointer=always\n' >"$settings"
fi

# No --capture: a Wayland session must lead to the portal. The status item uses Qt's Wayland
# plugin; sway here runs no StatusNotifier host, so it is the fallback window.
QT_QPA_PLATFORM=wayland "$build/Pikora/Pikora" --usb-sim "$work/usb" \
  --accessory-address "$accessory_ip:$accessory_port" --scan-target "$receiver_ip" \
  --discovery-port "$discovery_port" --settings "$settings" >"$work/pikora.log" 2>&1 &
pids+=($!)

wait_for "$work/pikora.log" "capture: through the desktop portal" 15 || fail "Pikora did not choose the portal"
wait_for "$work/pikora.log" "capture: started" 30 || fail "the projection did not start"
[ "$mode" = "--portal-wlr" ] ||
  wait_for "$work/pikora.log" "portal: screen cast started" 20 || fail "the portal's screen cast did not start"

query_json() { # fd log command: the newest JSON line after sending command
  local before
  before=$(count "$2" '^\{')
  echo "$3" >&"$1"
  for _ in $(seq 50); do
    [ "$(count "$2" '^\{')" -gt "$before" ] && { grep -E '^\{' "$2" | tail -n1; return 0; }
    sleep 0.1
  done
  return 1
}
decoded() { # the receiver's decoded picture count
  local stats
  stats=$(query_json "$rin" "$work/receiver.log" stats) || fail "no statistics from the receiver"
  python3 -c 'import json,sys; print(json.loads(sys.argv[1])["decodedPictures"])' "$stats"
}
# Waits until the receiver has decoded more pictures, then checks the snapshot's colours.
check_picture() { # what
  local base n=0
  base=$(decoded)
  for _ in $(seq 50); do
    n=$(decoded)
    [ "$n" -ge $((base + 5)) ] && break
    sleep 0.2
  done
  [ "$n" -ge $((base + 5)) ] || fail "$1: the receiver decoded only $((n - base)) new pictures"
  rm -f "$work/snap.png"
  echo "snapshot $work/snap.png" >&"$rin"
  for _ in $(seq 30); do [ -s "$work/snap.png" ] && break; sleep 0.1; done
  [ -s "$work/snap.png" ] || fail "$1: no snapshot from the receiver"
  ffmpeg -loglevel error -i "$work/snap.png" -f rawvideo -pix_fmt rgb24 -y "$work/snap.rgb" ||
    fail "$1: cannot read the snapshot"
  local size
  size=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$work/snap.png")
  python3 - "$work/snap.rgb" "$size" "$1" <<'PY' || fail "$1: the picture does not show the screen"
import sys
data = open(sys.argv[1], "rb").read()
w, h = map(int, sys.argv[2].split("x"))
def at(fx, fy):
    x, y = int(w * fx), int(h * fy)
    i = (y * w + x) * 3
    return tuple(data[i:i + 3])
def near(c, want, tol=40):
    return all(abs(a - b) <= tol for a, b in zip(c, want))
red, blue = (0xc0, 0x20, 0x20), (0x20, 0x60, 0xc0)
checks = [(0.25, 0.5, red), (0.1, 0.2, red), (0.75, 0.5, blue), (0.9, 0.8, blue)]
bad = [(fx, fy, at(fx, fy), want) for fx, fy, want in checks if not near(at(fx, fy), want)]
if bad:
    sys.exit(f"{sys.argv[3]}: {w}x{h} picture, wrong colours at {bad}")
print(f"{sys.argv[3]}: {w}x{h} picture, left red and right blue as on screen")
PY
}

if [ "$mode" = "--portal-wlr" ]; then
  wait_for "$work/pikora.log" "portal: failed" 20 || fail "the portal's failure was not noticed"
  grep -q "unable to receive a valid format" "$work/portal-wlr.log" ||
    fail "xdg-desktop-portal-wlr failed for another reason than the missing DMA-BUF format"
  wait_for "$work/pikora.log" "notification: Screen sharing did not start" 10 || fail "the user was not told"
  wait_for "$work/pikora.log" "capture: stopped" 10 || fail "capture was not stopped"
  wait_for "$work/accessory.log" 'received .*"notify-projection-stopped"' 10 ||
    fail "the accessory did not hear that the projection stopped"
  echo "wayland road (xdg-desktop-portal-wlr): Start fails without DMA-BUF; projection stopped, user told"
  exit 0
fi

backend_log="$work/portal-backend.log"

if [ "$mode" = "--pointer" ]; then
  pointer_round() { # what: the stream starts with the pointer in its middle (640,360)
    wait_count "$work/pikora.log" "portal: the receiver's pointer drives" "$2" 20 ||
      fail "$1: the pointer was not attached to the session"
    local before
    before=$(count "$backend_log" "^pointer ")
    echo 'pointer {"event":"move","dx":100,"dy":50}' >&"$rin"
    wait_count "$backend_log" "^pointer motion 740,410 on stream .*the session's stream" "$2" 10 ||
      fail "$1: the relative move did not reach the desktop as absolute motion on the session's stream"
    echo 'pointer {"event":"touchDown","x":320,"y":180,"baseWidth":1280,"baseHeight":720}' >&"$rin"
    echo 'pointer {"event":"touchUp","x":320,"y":180,"baseWidth":1280,"baseHeight":720}' >&"$rin"
    wait_count "$backend_log" "^pointer button 0x110 released" "$2" 10 || fail "$1: the touch did not click"
    grep "^pointer " "$backend_log" | tail -n +$((before + 1)) | sed 's/ (event [0-9]*)//' >"$work/round.txt"
    printf '%s\n' "pointer motion 740,410" "pointer motion 320,180" "pointer button 0x110 pressed" \
      "pointer button 0x110 released" >"$work/want.txt"
    sed -i 's/ on stream .*//' "$work/round.txt"
    diff "$work/want.txt" "$work/round.txt" >"$work/round.diff" ||
      fail "$1: unexpected pointer events at the desktop: $(cat "$work/round.diff")"
  }
  check_picture "projection with the pointer"
  grep -q "remote desktop started: pointer granted" "$backend_log" || fail "no remote-desktop session was started"
  pointer_round "first projection" 1

  echo press >&"$ain"
  wait_for "$work/pikora.log" "capture summary" 10 || fail "the press did not stop the projection"
  wait_for "$backend_log" "session closed" 10 || fail "the portal session was not closed after the stop"
  events=$(count "$backend_log" "^pointer ")
  sent=$(query_json "$rin" "$work/receiver.log" stats | python3 -c 'import json,sys; print(json.load(sys.stdin)["pointerEventsSent"])')
  echo 'pointer {"event":"move","dx":40,"dy":40}' >&"$rin"
  for _ in $(seq 50); do
    now=$(query_json "$rin" "$work/receiver.log" stats | python3 -c 'import json,sys; print(json.load(sys.stdin)["pointerEventsSent"])')
    [ "$now" -gt "$sent" ] && break
    sleep 0.1
  done
  [ "$now" -gt "$sent" ] || echo "note: the receiver emulator had no link to send the move on after the stop"
  sleep 1 # nothing to wait for: the move must not arrive
  [ "$(count "$backend_log" "^pointer ")" = "$events" ] || fail "a pointer event reached the desktop after the stop"

  echo press >&"$ain"
  wait_count "$work/pikora.log" "portal: screen cast started" 2 20 || fail "the second screen cast did not start"
  # The receiver sends pointer events only for a stream it shows.
  check_picture "second projection with the pointer"
  pointer_round "second projection" 2
  [ "$(count "$backend_log" "chooser shown")" = 2 ] ||
    fail "a remote-desktop session of this portal cannot be remembered: each projection asks"
  echo "wayland road (pointer): receiver pointer reached the desktop as absolute motion and buttons on the cast's stream, only while projecting"
  exit 0
fi

check_picture "first projection"
if [ "$mode" = "--cursor-metadata" ]; then
  grep -q "cursor mode 4" "$backend_log" || fail "Pikora did not ask for the pointer as metadata"
  python3 - "$work/snap.rgb" "$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height \
    -of csv=p=0:s=x "$work/snap.png")" <<'PY' || fail "the pointer from the metadata is not in the picture"
import sys
data = open(sys.argv[1], "rb").read()
w, h = map(int, sys.argv[2].split("x"))
def at(x, y):  # screen pixel (1280x720) in the decoded picture
    x, y = int(x * w / 1280), int(y * h / 720)
    i = (y * w + x) * 3
    return tuple(data[i:i + 3])
near = lambda c, want: all(abs(a - b) <= 40 for a, b in zip(c, want))
green, red = (0x20, 0xd0, 0x20), (0xc0, 0x20, 0x20)
if not near(at(108, 108), green) or not near(at(140, 140), red):
    sys.exit(f"at the pointer {at(108, 108)}, beside it {at(140, 140)}")
print("cursor metadata: the pointer is drawn where the stream put it")
PY
  echo "wayland road (cursor metadata): pointer drawn into the picture from the stream's metadata"
  exit 0
fi
[ "$(count "$backend_log" "chooser shown")" = 1 ] || fail "the first projection should show the chooser once"
[ "$(count "$backend_log" "restored")" = 0 ] || fail "the first projection cannot restore anything"
token=$(sed -n 's/^PortalRestoreToken=//p' "$settings")
[ -n "$token" ] || fail "no restore token was stored after the first projection"
[ "$token" != "11111111-2222-3333-4444-555555555555" ] || fail "the stale token was kept"

echo press >&"$ain"
wait_for "$work/pikora.log" "capture summary" 10 || fail "the press did not stop the projection"
wait_for "$backend_log" "session closed" 10 || fail "the portal session was not closed after the stop"
echo press >&"$ain"
wait_count "$work/pikora.log" "capture: started" 2 20 || fail "a second press did not project again"
wait_count "$work/pikora.log" "portal: screen cast started" 2 20 || fail "the second screen cast did not start"
grep "portal: screen cast started" "$work/pikora.log" | tail -n1 | grep -q "saved permission" ||
  fail "the second screen cast did not start with the stored token"
[ "$(count "$backend_log" "restored")" = 1 ] || fail "the portal did not restore the output from the token"
[ "$(count "$backend_log" "chooser shown")" = 1 ] || fail "the second projection showed the chooser again"
check_picture "second projection"

echo "wayland road: portal chosen automatically, pictures match the screen, second projection restored"
