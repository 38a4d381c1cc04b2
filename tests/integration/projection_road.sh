#!/usr/bin/env bash
# The whole road with the real processes on loopback: an emulated accessory paired with an
# emulated receiver, plugged into a simulated USB bus, Pikora (test-pattern capture), and the
# desktop's screen-saver and login1 services played on a private D-Bus. Checks that the
# projection starts without a press, that both power assertions are held while projecting,
# that the receiver decodes what it gets, that a press stops it, releases both assertions and
# the accessory hears both projection notifications.
#
#   --jpeg     the receiver announces no H.264 and must get JPEG
#   --unplug   the accessory leaves the USB bus while projecting: capture stops, link dropped
#   --split    the receiver splits its screen in two and back: capture restarts at 800x600
#              and then at the receiver's own size, and the receiver sees both
#   --vanish   the receiver drops the link mid-stream: capture stops and the accessory hears it;
#              a press projects again
#   --pointer  on Xvfb: the receiver's pointer events move the X pointer; malformed ones are
#              dropped; none is posted after the stop
#   --pair     on Xvfb: the accessory starts unpaired; the pairing window is opened from the
#              popover and driven with xdotool (the address typed, Enter); the receiver's first
#              configuration port answers 404, so the file comes from the second; the accessory
#              must get "set-pairing-data" with the file's object byte for byte, then
#              "query-connection-intent", and Pikora then projects to that receiver
#   --hang     the receiver freezes mid-stream (link open, nothing answered): Pikora notices
#              within its idle timeout and ends the projection like a lost receiver
#   --split-flood  600 layout flips from the receiver cost a bounded number of capture restarts,
#              and the layout it settles on wins
#
# Usage: projection_road.sh BUILD_DIR [--jpeg|--unplug|--vanish|--split|--pointer|--pair|--hang|--split-flood]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/xvfb.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/waits.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/pairing_window.sh"

# Everything runs on one private bus, which also stands in for the system bus.
if [ -z "${PIKORA_ROAD_PRIVATE_BUS:-}" ]; then
  exec dbus-run-session -- env PIKORA_ROAD_PRIVATE_BUS=1 "$0" "$@"
fi
export DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"

build="$1"
mode="${2:-h264}"
road_begin
fail() {
  echo "FAIL: $*"
  for f in pikora receiver accessory services; do echo "---- $f.log"; tail -n 25 "$work/$f.log" 2>/dev/null | cut -c1-600 || true; done
  exit 1
}
# Asks an emulator for a JSON line and prints the newest one once it has arrived.
query_json() { # fd log command
  local before
  before=$(count "$2" '^\{')
  echo "$3" >&"$1"
  for _ in $(seq 50); do
    [ "$(count "$2" '^\{')" -gt "$before" ] && { grep -E '^\{' "$2" | tail -n1; return 0; }
    sleep 0.1
  done
  return 1
}
json_field() { # json field
  python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"
}
# Waits (at most 5 s) until the desktop services hold the given numbers of assertions.
expect_power() { # screensaver-held login1-held what
  local status=""
  for _ in $(seq 25); do
    status=$(query_json "$sin" "$work/services.log" status) || fail "no status from the desktop services"
    [ "$(json_field "$status" screenSaverHeld)" = "$1" ] && [ "$(json_field "$status" login1Held)" = "$2" ] &&
      return 0
    sleep 0.2
  done
  fail "$3: expected screen saver $1 / login1 $2 held, got $status"
}

receiver_ip=127.0.0.4
accessory_ip=127.0.0.5
mkdir -p "$work/usb"
extra=()
[ "$mode" = "--jpeg" ] && extra+=(--no-h264)

mkfifo "$work/receiver.in" "$work/accessory.in" "$work/services.in"
"$build/tools/desktop-services-emulator/pikora-desktop-services-emulator" \
  <"$work/services.in" >"$work/services.log" 2>&1 &
pids+=($!)
exec {sin}>"$work/services.in"
wait_for "$work/services.log" "^serving" 10 || fail "desktop services emulator did not start"

# The configuration file the pairing road serves: members in an order no serialiser would
# choose, so that a re-sorted object shows.
pair_body="{\"ssid_5G\":\"RoadNet\",\"hostname\":\"Road-Receiver\",\"ip_addr\":\"$receiver_ip\",\"extra\":{\"z\":[1,2.5,null],\"a\":true}}"
if [ "$mode" = "--pair" ]; then
  extra+=(--config-port 0 --config-first-port 0 --config-body "$pair_body")
else
  extra+=(--config-port -1)
fi
"$build/tools/receiver-emulator/pikora-receiver-emulator" --bind "$receiver_ip" --name Road-Receiver \
  --max-resolution 1280x720 --discovery-port 0 --control-port 0 "${extra[@]}" \
  <"$work/receiver.in" >"$work/receiver.log" 2>&1 &
pids+=($!)
exec {rin}>"$work/receiver.in"
wait_for "$work/receiver.log" "listening on" 10 || fail "receiver emulator did not start"
discovery_port=$(sed -n 's/.*discovery \([0-9]*\) .*/\1/p' "$work/receiver.log" | head -n1)
config_port=$(sed -n 's/.* config \([0-9]*\).*/\1/p' "$work/receiver.log" | head -n1)
config_first_port=$(sed -n 's/.* config-first \([0-9]*\).*/\1/p' "$work/receiver.log" | head -n1)

accessory_port=$(free_port "$accessory_ip")
pairing=(--pairing "{\"ip_addr\":\"$receiver_ip\",\"hostname\":\"Road-Receiver\",\"ssid_5G\":\"RoadNet\"}")
[ "$mode" = "--pair" ] && pairing=()
"$build/tools/accessory-emulator/pikora-accessory-emulator" --listen "$accessory_ip" --port "$accessory_port" \
  --usb-sim "$work/usb" "${pairing[@]}" \
  <"$work/accessory.in" >"$work/accessory.log" 2>&1 &
pids+=($!)
exec {ain}>"$work/accessory.in"

platform=offscreen
if [ "$mode" = "--pointer" ] || [ "$mode" = "--pair" ]; then
  start_xvfb 1280x800 "$work/xvfb.log" || fail "Xvfb did not start"
  platform=xcb
else
  unset DISPLAY
fi

# Only the pairing road fetches configuration files: from the receiver emulator's two ports.
config_ports=()
[ "$mode" = "--pair" ] && config_ports=(--config-ports "$config_first_port,$config_port")
QT_QPA_PLATFORM=$platform "$build/Pikora/Pikora" --usb-sim "$work/usb" \
  --accessory-address "$accessory_ip:$accessory_port" --scan-target "$receiver_ip" \
  --discovery-port "$discovery_port" --capture test-pattern --settings "$work/settings.ini" \
  "${config_ports[@]}" >"$work/pikora.log" 2>&1 &
pids+=($!)

if [ "$mode" = "--pair" ]; then
  command -v xdotool >/dev/null || fail "xdotool is not installed (scripts/install-deps.sh)"
  wait_for "$work/pikora.log" "notification: No pairing data is found" 30 ||
    fail "an unpaired accessory did not lead to the no-pairing notice"
  echo "config status $config_first_port 404" >&"$rin"
  pair_through_window "$receiver_ip" 2>"$work/xdotool.log" || fail "pairing window: $(cat "$work/xdotool.log")"
  [ "$PAIRING_WINDOW_TITLE" = "$(printf 'Pairing\u00a0with\u00a0Vistrel Pro Device')" ] ||
    fail "pairing window title '$PAIRING_WINDOW_TITLE'"
  wait_for "$work/accessory.log" 'received .*"set-pairing-data"' 15 || fail "the accessory got no set-pairing-data"
  python3 - "$work/accessory.log" "$pair_body" <<'PY' || fail "set-pairing-data / query-connection-intent"
import sys
lines = open(sys.argv[1], errors="replace").read().splitlines()
body = sys.argv[2]
writes = [i for i, l in enumerate(lines) if "received" in l and '"method":"set-pairing-data"' in l]
if len(writes) != 1: sys.exit(f"expected one set-pairing-data, got {len(writes)}")
if '"params":' + body not in lines[writes[0]]:
    sys.exit("the params are not the file's object byte for byte: " + lines[writes[0]][:400])
later = [l for l in lines[writes[0] + 1:] if "received" in l and '"method":"query-connection-intent"' in l]
if not later: sys.exit("no query-connection-intent after set-pairing-data")
print("accessory got the file's object byte for byte, then query-connection-intent")
PY
  grep -q "notification: Pairing.*Pikora.*with.*Vistrel Pro Device" "$work/pikora.log" || fail "no pairing start notice"
  stats=$(query_json "$rin" "$work/receiver.log" "config stats") || fail "no configuration statistics"
  [ "$(json_field "$stats" "$config_first_port")" = 1 ] && [ "$(json_field "$stats" "$config_port")" = 1 ] ||
    fail "expected one request on each configuration port, got $stats"
  for _ in $(seq 30); do [ -z "$(pairing_window)" ] && break; sleep 0.1; done
  [ -z "$(pairing_window)" ] || fail "the pairing window stayed open after pairing"
fi

wait_for "$work/pikora.log" "capture: started" 30 || fail "the projection did not start without a press"
[ "$mode" = "--pair" ] && echo "paired through the window; projecting to $receiver_ip"
wait_for "$work/accessory.log" 'received .*"notify-projection-started"' 5 || fail "no notify-projection-started"
expect_power 1 1 "while projecting"
sleep 2

decoded_size() {
  local stats
  stats=$(query_json "$rin" "$work/receiver.log" stats) || fail "no statistics from the receiver"
  echo "$(json_field "$stats" lastDecodedWidth)x$(json_field "$stats" lastDecodedHeight)"
}
# Waits until the receiver has decoded pictures of a size that satisfies a python condition on w, h.
wait_decoded_size() { # condition what
  local size=""
  for _ in $(seq 30); do
    size=$(decoded_size)
    python3 -c "import sys; w,h=map(int,sys.argv[1].split('x')); sys.exit(0 if ($1) else 1)" "$size" && return 0
    sleep 0.2
  done
  fail "$2 (the receiver decodes $size)"
}
pointer_at() { "$build/tests/integration/pikora-x-pointer-probe"; }
wait_pointer() { # "X Y" what
  local at=""
  for _ in $(seq 30); do
    at=$(pointer_at)
    [ "$at" = "$1" ] && return 0
    sleep 0.1
  done
  fail "$2: the pointer is at $at, expected $1"
}

case "$mode" in
--split-flood)
  starts=$(count "$work/pikora.log" "capture: started")
  for i in $(seq 300); do echo "split 2 1"; echo "split 1 1"; done >&"$rin"
  echo "split 2 1" >&"$rin"
  # The flood settles on two screens: capture runs at the split size in the end.
  wait_decoded_size "h <= 600" "the layout the receiver settled on was not applied"
  sleep 2
  restarts=$(( $(count "$work/pikora.log" "capture: started") - starts ))
  echo "601 layout changes: $restarts capture restart(s)"
  [ "$restarts" -ge 1 ] && [ "$restarts" -le 8 ] || fail "601 layout changes cost $restarts capture restarts"
  ;;
--split)
  native=$(decoded_size)
  starts=$(count "$work/pikora.log" "capture: started")
  echo "split 2 1" >&"$rin"
  wait_count "$work/pikora.log" "capture: started" $((starts + 1)) 5 || fail "a two-screen layout did not restart capture"
  # The fit is made on the 800x600 limit's shorter side: a wide capture keeps its shape at 600
  # lines. The receiver must see exactly what the restarted encoder produces (the encoder
  # logs its size before capture logs that it started).
  encoded=$(grep -oE "encoding [0-9]+x[0-9]+ with" "$work/pikora.log" | tail -n1 | cut -d' ' -f2)
  wait_decoded_size "'%dx%d' % (w, h) == '$encoded' and h <= 600" "the two-screen picture is not the encoder's $encoded"
  split_size=$(decoded_size)
  echo "split 1 1" >&"$rin"
  wait_decoded_size "'%dx%d' % (w, h) == '$native'" "back on the whole screen the picture is not $native again"
  echo "sizes: whole $native, split $split_size"
  ;;
--pointer)
  start=$(pointer_at) || fail "cannot read the X pointer"
  read -r x0 y0 <<<"$start"
  echo 'pointer {"event":"move","dx":100,"dy":50}' >&"$rin"
  wait_pointer "$((x0 + 100)) $((y0 + 50))" "a relative move"
  # A touch in the receiver's 1280x720 base lands scaled on the 1280x800 main screen.
  echo 'pointer {"event":"touchDown","x":320,"y":180,"baseWidth":1280,"baseHeight":720}' >&"$rin"
  echo 'pointer {"event":"touchUp","x":320,"y":180,"baseWidth":1280,"baseHeight":720}' >&"$rin"
  wait_pointer "320 200" "a touch"
  # Malformed events are dropped; the next good one still arrives.
  echo 'pointer {"event":"move","dx":1e300,"dy":0}' >&"$rin"
  echo 'pointer {"event":"touchDown","x":10,"y":10,"baseWidth":0,"baseHeight":720}' >&"$rin"
  echo 'pointer {"event":"move","dx":"far","dy":0}' >&"$rin"
  echo 'pointer {"event":"move","dx":-20,"dy":-20}' >&"$rin"
  wait_pointer "300 180" "a move after malformed events"
  ;;
esac

if [ "$mode" = "--unplug" ]; then
  echo unplug >&"$ain"
  wait_for "$work/pikora.log" "capture summary" 10 || fail "unplugging did not stop the projection"
  # The stop request goes out before the link is dropped.
  sleep 1
  stats=$(query_json "$rin" "$work/receiver.log" stats) || fail "no statistics from the receiver"
  [ "$(json_field "$stats" stopRequests)" -ge 1 ] || fail "the receiver never got the stop request before the link closed"
elif [ "$mode" = "--hang" ]; then
  echo "hang on" >&"$rin"
  wait_for "$work/pikora.log" "sent nothing for" 30 || fail "a frozen receiver was not noticed"
  wait_for "$work/pikora.log" "capture: stopped" 5 || fail "losing the frozen receiver did not stop capture"
  wait_for "$work/accessory.log" 'received .*"notify-projection-stopped"' 10 || fail "no notify-projection-stopped"
  echo "hang off" >&"$rin"
  echo press >&"$ain"
  wait_count "$work/pikora.log" "capture: started" 2 15 || fail "a press after the frozen receiver did not project again"
  sleep 1
  echo press >&"$ain"
  wait_for "$work/pikora.log" "capture summary" 10 || fail "the press did not stop the projection"
elif [ "$mode" = "--vanish" ]; then
  echo drop >&"$rin"
  wait_for "$work/pikora.log" "capture: stopped" 10 || fail "losing the receiver did not stop capture"
  wait_for "$work/pikora.log" "notification: Disconnect WiFi Display" 5 || fail "no disconnect message"
  wait_for "$work/accessory.log" 'received .*"notify-projection-stopped"' 10 || fail "no notify-projection-stopped"
  # The assertions stay until the next stop; a press projects again and takes fresh ones.
  expect_power 1 1 "after losing the receiver"
  echo press >&"$ain"
  wait_count "$work/pikora.log" "capture: started" 2 10 || fail "a press after losing the receiver did not project again"
  expect_power 1 1 "projecting again"
  sleep 1
  echo press >&"$ain"
  wait_for "$work/pikora.log" "capture summary" 10 || fail "the press did not stop the projection"
else
  echo press >&"$ain"
  wait_for "$work/pikora.log" "capture summary" 10 || fail "the press did not stop the projection"
  wait_for "$work/accessory.log" 'received .*"notify-projection-stopped"' 10 || fail "no notify-projection-stopped"
fi
sleep 0.5
expect_power 0 0 "after the stop"
inhibitors=1
[ "$mode" = "--vanish" ] || [ "$mode" = "--hang" ] && inhibitors=2
[ "$(count "$work/services.log" '^screensaver inhibit cookie')" = $inhibitors ] &&
  [ "$(count "$work/services.log" '^login1 inhibit id')" = $inhibitors ] ||
  fail "expected exactly $inhibitors inhibitor(s) of each kind"

if [ "$mode" = "--pointer" ]; then
  before=$(pointer_at)
  echo 'pointer {"event":"move","dx":40,"dy":40}' >&"$rin"
  sleep 1
  [ "$(pointer_at)" = "$before" ] || fail "a pointer event was posted after the stop"
fi

stats=$(query_json "$rin" "$work/receiver.log" stats) || fail "no statistics from the receiver"
python3 - "$stats" "$work/pikora.log" "$mode" <<'PY' || fail "stream checks"
import json, re, sys
stats = json.loads(sys.argv[1])
pikora = open(sys.argv[2]).read()
mode = sys.argv[3]
errors = []
if mode == "--jpeg":
    if stats["jpegFrames"] < 20: errors.append(f"expected JPEG pictures, got {stats['jpegFrames']}")
    if stats["h264Frames"] != 0: errors.append("a JPEG-only receiver got H.264")
else:
    if stats["h264Frames"] < 20: errors.append(f"too few H.264 frames: {stats['h264Frames']}")
    if stats["h264KeyFrames"] < 1: errors.append("no key frame")
if mode == "--unplug" and stats["connectedSenders"] != 0:
    errors.append(f"the receiver link was not dropped on unplug ({stats['connectedSenders']} senders)")
if stats["decodeErrors"] != 0: errors.append(f"decode errors: {stats['decodeErrors']}")
if stats["decodedPictures"] < 20: errors.append(f"too few decoded pictures: {stats['decodedPictures']}")
w, h = stats["lastDecodedWidth"], stats["lastDecodedHeight"]
if w > 1280 or h > 720 or w == 0: errors.append(f"picture {w}x{h} outside the receiver's 1280x720 limit")
if not re.search(r"capture summary: .* sent (\d+)", pikora): errors.append("no capture summary")
for e in errors: print("check failed:", e)
print(f"frames h264={stats['h264Frames']} jpeg={stats['jpegFrames']} decoded={stats['decodedPictures']} size={w}x{h}")
sys.exit(1 if errors else 0)
PY
echo "1 passed, 0 failed"
