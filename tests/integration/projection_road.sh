#!/usr/bin/env bash
# The whole road with the real processes on loopback: an emulated accessory paired with an
# emulated receiver, plugged into a simulated USB bus, and Pikora (test-pattern capture,
# offscreen UI, private D-Bus session). Checks that the projection starts without a press,
# that the receiver decodes what it gets, that a press stops it and the accessory hears both
# projection notifications. With --jpeg the receiver announces no H.264 and must get JPEG.
# With --unplug the accessory leaves the USB bus while projecting instead: capture must stop
# and the receiver link must be dropped.
#
# Usage: projection_road.sh BUILD_DIR [--jpeg|--unplug]
set -euo pipefail
build="$1"
mode="${2:-h264}"
work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in pikora receiver accessory; do echo "---- $f.log"; tail -n 25 "$work/$f.log" 2>/dev/null || true; done
  exit 1
}
wait_for() { # file pattern seconds
  for _ in $(seq $(( $3 * 10 ))); do grep -qE "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
free_port() {
  python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1])' "$1"
}

receiver_ip=127.0.0.4
accessory_ip=127.0.0.5
mkdir -p "$work/usb"
extra=()
[ "$mode" = "--jpeg" ] && extra+=(--no-h264)

mkfifo "$work/receiver.in" "$work/accessory.in"
"$build/tools/receiver-emulator/pikora-receiver-emulator" --bind "$receiver_ip" --name Road-Receiver \
  --max-resolution 1280x720 --discovery-port 0 --control-port 0 --config-port -1 "${extra[@]}" \
  <"$work/receiver.in" >"$work/receiver.log" 2>&1 &
pids+=($!)
exec {rin}>"$work/receiver.in"
wait_for "$work/receiver.log" "listening on" 10 || fail "receiver emulator did not start"
discovery_port=$(sed -n 's/.*discovery \([0-9]*\) .*/\1/p' "$work/receiver.log" | head -n1)

accessory_port=$(free_port "$accessory_ip")
"$build/tools/accessory-emulator/pikora-accessory-emulator" --listen "$accessory_ip" --port "$accessory_port" \
  --usb-sim "$work/usb" \
  --pairing "{\"ip_addr\":\"$receiver_ip\",\"hostname\":\"Road-Receiver\",\"ssid_5G\":\"RoadNet\"}" \
  <"$work/accessory.in" >"$work/accessory.log" 2>&1 &
pids+=($!)
exec {ain}>"$work/accessory.in"

QT_QPA_PLATFORM=offscreen dbus-run-session -- "$build/Pikora/Pikora" --usb-sim "$work/usb" \
  --accessory-address "$accessory_ip:$accessory_port" --scan-target "$receiver_ip" \
  --discovery-port "$discovery_port" --capture test-pattern --settings "$work/settings.ini" \
  >"$work/pikora.log" 2>&1 &
pids+=($!)

wait_for "$work/pikora.log" "capture: started" 30 || fail "the projection did not start without a press"
wait_for "$work/accessory.log" 'received .*"notify-projection-started"' 5 || fail "no notify-projection-started"
sleep 3
if [ "$mode" = "--unplug" ]; then
  echo unplug >&"$ain"
  wait_for "$work/pikora.log" "capture summary" 10 || fail "unplugging did not stop the projection"
else
  echo press >&"$ain"
  wait_for "$work/pikora.log" "capture summary" 10 || fail "the press did not stop the projection"
  wait_for "$work/accessory.log" 'received .*"notify-projection-stopped"' 10 || fail "no notify-projection-stopped"
fi
sleep 0.5
echo stats >&"$rin"
wait_for "$work/receiver.log" '^\{' 5 || fail "no statistics from the receiver"

python3 - "$work/receiver.log" "$work/pikora.log" "$mode" <<'PY' || fail "stream checks"
import json, re, sys
stats = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")][-1]
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
# After the stop nothing more is sent: the capture summary says how many pictures were handed over.
m = re.search(r"capture summary: .* sent (\d+)", pikora)
if not m: errors.append("no capture summary")
for e in errors: print("check failed:", e)
print(f"frames h264={stats['h264Frames']} jpeg={stats['jpegFrames']} decoded={stats['decodedPictures']} size={w}x{h}")
sys.exit(1 if errors else 0)
PY
echo "1 passed, 0 failed"
