#!/usr/bin/env bash
# The demo: a real projection end to end on one machine.
#
#   a virtual display (Xvfb, 2880x1800) showing an animated desktop-like scene,
#   an emulated receiver on 127.0.0.2 that decodes what it gets,
#   an emulated button accessory on 127.0.0.3, paired with that receiver, on a simulated USB bus,
#   the desktop's screen-saver and login1 inhibitor services, emulated on a private D-Bus,
#   and Pikora pointed at them.
#
# The accessory is plugged in; Pikora links to it, learns the paired receiver, connects and
# starts projecting without a press (as a freshly plugged, paired button does). After
# PIKORA_DEMO_SECONDS (default 15) an emulated short press stops the projection. A summary is
# printed and the receiver's last decoded picture is saved.
#
# With --pair (or PIKORA_DEMO_PAIR=1) the button starts unpaired, the way it comes out of the
# box: Pikora says it finds no pairing, the demo clicks "Device Pairing" in the popover, types
# the receiver's address into the pairing window and presses Enter (with xdotool, on the
# display). Pikora fetches the receiver's pikora_config.json, writes it into the button, and
# the button's answer starts the projection.
#
# All traffic stays on loopback. Set DISPLAY to project an existing X display instead.
#
# PIKORA_DEMO_SOUND=1 forwards sound too: a private PulseAudio server stands in for the
# desktop's, Pikora runs with the "SoundEnable" setting on, and a tone of PIKORA_DEMO_TONE_HZ
# (default 440) is played to the default output while projecting; the summary shows what the
# receiver got and demo-output/received.wav holds it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/xvfb.sh"
source "$root/scripts/lib/pairing_window.sh"
source "$root/scripts/lib/sound.sh"
build="${PIKORA_BUILD_DIR:-$root/build/default}"
out="${PIKORA_DEMO_OUT:-$root/demo-output}"
seconds="${PIKORA_DEMO_SECONDS:-15}"
sound="${PIKORA_DEMO_SOUND:-0}"
tone_hz="${PIKORA_DEMO_TONE_HZ:-440}"
pair="${PIKORA_DEMO_PAIR:-}"
for arg in "$@"; do
  case "$arg" in
  --pair) pair=1 ;;
  *) echo "usage: demo.sh [--pair]" >&2; exit 2 ;;
  esac
done
[ -n "$pair" ] && export PIKORA_DEMO_PAIR=1

if [ -z "${PIKORA_DEMO_NO_INSTALL:-}" ]; then
  "$root/scripts/install-deps.sh"
  "$root/scripts/build.sh" --target Pikora pikora-accessory-emulator pikora-receiver-emulator pikora-demo-desktop \
    pikora-desktop-services-emulator
fi

# Everything below runs inside a private D-Bus session so Pikora's power assertions and the
# permission protocol have a bus without touching the user's; it stands in for the system bus
# (login1) as well.
if [ -z "${PIKORA_DEMO_IN_SESSION:-}" ]; then
  export PIKORA_DEMO_IN_SESSION=1
  exec dbus-run-session -- bash "${BASH_SOURCE[0]}" "$@"
fi
export DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"

rm -rf "$out"
mkdir -p "$out/usb"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# 1. The display.
if [ -z "${DISPLAY:-}" ]; then
  start_xvfb 2880x1800 "$out/xvfb.log" || { echo "demo: Xvfb did not start (see $out/xvfb.log)"; exit 1; }
fi
echo "demo: display $DISPLAY"
"$build/tools/demo-desktop/pikora-demo-desktop" >"$out/desktop.log" 2>&1 &
pids+=($!)

# 2. The screen saver and login1, where Pikora takes its two power assertions.
services_in="$out/services.in"
mkfifo "$services_in"
"$build/tools/desktop-services-emulator/pikora-desktop-services-emulator" \
  <"$services_in" >"$out/services.log" 2>&1 &
pids+=($!)
exec {sin}>"$services_in"

# 2a. With sound: a private sound server, and the setting that switches forwarding on.
receiver_sound=()
if [ "$sound" = 1 ]; then
  start_sound_server "$out/sound" "$out/sound.log" || { echo "demo: no private sound server (see $out/sound.log)"; exit 1; }
  printf '[General]\nSoundEnable=true\n' >"$out/settings.ini"
  receiver_sound=(--pcm-wav "$out/received.wav")
  echo "demo: sound on (private PulseAudio at $PULSE_SERVER)"
fi

# 3. The receiver, answering discovery on 127.0.0.2.
receiver_in="$out/receiver.in"
mkfifo "$receiver_in"
"$build/tools/receiver-emulator/pikora-receiver-emulator" --bind 127.0.0.2 --name Demo-Receiver \
  --max-resolution 1920x1080 --discovery-port 46330 --control-port 0 --config-port 0 --config-first-port 0 \
  --ssid-24 DemoNet --ssid-5 DemoNet-5G --snapshot "$out/receiver.png" --raw-stream "$out/stream.h264" "${receiver_sound[@]}" \
  <"$receiver_in" >"$out/receiver.log" 2>&1 &
pids+=($!)
exec {rin}>"$receiver_in"
for _ in $(seq 100); do grep -q "^listening on" "$out/receiver.log" 2>/dev/null && break; sleep 0.1; done
config_port=$(sed -n 's/.* config \([0-9]*\).*/\1/p' "$out/receiver.log" | head -n1)
config_first_port=$(sed -n 's/.* config-first \([0-9]*\).*/\1/p' "$out/receiver.log" | head -n1)

# 4. The accessory, paired with that receiver (or, with --pair, not paired yet), plugged into
#    the simulated bus.
accessory_in="$out/accessory.in"
mkfifo "$accessory_in"
pairing=(--pairing '{"ip_addr":"127.0.0.2","hostname":"Demo-Receiver","ssid_2.4G":"DemoNet","ssid_5G":"DemoNet-5G"}')
[ -n "$pair" ] && pairing=()
"$build/tools/accessory-emulator/pikora-accessory-emulator" --listen 127.0.0.3 --port 53630 \
  --usb-sim "$out/usb" --pairing-file "$out/pairing.json" "${pairing[@]}" \
  <"$accessory_in" >"$out/accessory.log" 2>&1 &
pids+=($!)
exec {ain}>"$accessory_in"

# 5. Pikora.
XDG_STATE_HOME="$out/state" "$build/Pikora/Pikora" --usb-sim "$out/usb" --accessory-address 127.0.0.3:53630 \
  --scan-target 127.0.0.2 --discovery-port 46330 --capture x11 --settings "$out/settings.ini" \
  --config-ports "$config_first_port,$config_port" \
  >"$out/pikora.log" 2>&1 &
pikora=$!
pids+=($pikora)

# 6. With --pair: pair the button through the pairing window, as a user would.
if [ -n "$pair" ]; then
  noticed=""
  for _ in $(seq 300); do
    grep -q "notification: No pairing data is found" "$out/pikora.log" 2>/dev/null && { noticed=1; break; }
    kill -0 "$pikora" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$noticed" ] || { echo "demo: Pikora did not report the unpaired button; logs in $out"; exit 1; }
  echo "demo: the button is not paired; pairing through the window (typing 127.0.0.2, Enter)"
  sleep 1
  pair_through_window 127.0.0.2 || { echo "demo: could not drive the pairing window; logs in $out"; exit 1; }
  for _ in $(seq 100); do grep -q 'received .*"set-pairing-data"' "$out/accessory.log" && break; sleep 0.1; done
  grep -q 'received .*"set-pairing-data"' "$out/accessory.log" ||
    { echo "demo: pairing did not reach the button; logs in $out"; exit 1; }
  echo "demo: paired; the button now holds $(cat "$out/pairing.json" 2>/dev/null || echo '(see accessory.log)')"
fi

# Wait for the stream to start (at most 30 s), project, then press the button.
started=""
for _ in $(seq 300); do
  if grep -q "capture: started" "$out/pikora.log" 2>/dev/null; then started=1; break; fi
  kill -0 "$pikora" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$started" ]; then
  echo "demo: projection did not start; logs in $out"
  tail -n 30 "$out/pikora.log"
  exit 1
fi
echo "demo: projecting for $seconds s"
if [ "$sound" = 1 ]; then
  for _ in $(seq 100); do grep -q "start sending audio" "$out/pikora.log" && break; sleep 0.1; done
  play_tone "$tone_hz" "$((seconds + 5))" "$out/tone.raw"
  echo "demo: playing a $tone_hz Hz tone to the default output ($(pactl get-default-sink))"
fi
sleep "$seconds"
echo "status" >&"$sin"
sleep 0.3
echo "press" >&"$ain"
for _ in $(seq 50); do
  grep -q "capture summary" "$out/pikora.log" && break
  sleep 0.1
done
sleep 1
echo "status" >&"$sin"
echo "stats" >&"$rin"
echo "snapshot $out/receiver.png" >&"$rin"
[ "$sound" = 1 ] && echo "save-pcm $out/received.wav" >&"$rin"
sleep 0.5

python3 - "$out" "$seconds" "$sound" "$tone_hz" <<'PY'
import json, re, sys, pathlib
out = pathlib.Path(sys.argv[1]); seconds = float(sys.argv[2])
sound, tone_hz = sys.argv[3] == "1", float(sys.argv[4])
stats = None
for line in (out / "receiver.log").read_text(errors="replace").splitlines():
    if line.startswith("{"):
        try: stats = json.loads(line)
        except ValueError: pass
pikora = (out / "pikora.log").read_text(errors="replace")
power = []
for line in (out / "services.log").read_text(errors="replace").splitlines():
    if line.startswith("{"):
        try: power.append(json.loads(line))
        except ValueError: pass
summary = re.search(r"capture summary: (.*)", pikora)
accessory = (out / "accessory.log").read_text(errors="replace")
print("\n==== Pikora demo summary ====")
for label, pattern in [("handshake", r'received .*"method":"handshake"'),
                       ("set-pairing-data", r'received .*"method":"set-pairing-data"'),
                       ("heartbeats", r'received .*"method": ?"heartbeat"'),
                       ("notify-projection-started", r'received .*"notify-projection-started"'),
                       ("notify-projection-stopped", r'received .*"notify-projection-stopped"')]:
    print(f"accessory heard {label:26s}: {len(re.findall(pattern, accessory))}")
if summary:
    fields = summary.group(1).split()
    vals = dict(zip(fields[0::2], fields[1::2]))
    print(f"Pikora capture ticks            : {vals.get('ticks')}")
    print(f"Pikora frames encoded           : {vals.get('compressed')}")
    print(f"Pikora pictures sent            : {vals.get('sent')}  (dropped not-ready: {vals.get('not-ready')})")
    m = re.search(r"handover-ms p50 (\S+) p99 (\S+)", summary.group(0))
    if m:
        print(f"tick-to-hand-over latency (ms)  : p50 {m.group(1)}  p99 {m.group(2)}")
if len(power) >= 2:
    during, after = power[-2], power[-1]
    held = lambda p: p["screenSaverHeld"] + p["login1Held"]
    print(f"power assertions held           : {held(during)} while projecting, {held(after)} after the stop"
          " (screen saver + login1)")
if stats:
    frames = stats.get("h264Frames", 0) + stats.get("jpegFrames", 0)
    span = (stats.get("lastArrivalMs", 0) - stats.get("firstArrivalMs", 0)) / 1000.0
    keys = stats.get("h264KeyFrames", 0)
    print(f"receiver frames received        : {frames} (H.264 {stats.get('h264Frames')}, JPEG {stats.get('jpegFrames')})")
    print(f"receiver pictures decoded       : {stats.get('decodedPictures')}  (decode errors {stats.get('decodeErrors')})")
    if span > 0:
        print(f"receiver frame rate             : {frames / span:.1f} fps over {span:.1f} s")
    print(f"receiver bit rate               : {stats.get('bitRate', 0) / 1e6:.2f} Mbit/s")
    if keys:
        print(f"key-frame spacing               : every {stats.get('h264Frames', 0) / keys:.1f} frames on average")
    print(f"picture size                    : {stats.get('lastDecodedWidth')}x{stats.get('lastDecodedHeight')}")
    lat = stats.get("tickToDecodedMs") or {}
    if lat.get("samples"):
        print(f"tick-to-decoded latency         : p50 {lat['p50']:.1f} ms, p99 {lat['p99']:.1f} ms ({lat['samples']} samples)")
    else:
        print("tick-to-decoded latency         : no samples")
if sound and stats:
    print(f"sound forwarded                 : {'yes' if 'start sending audio' in pikora else 'no'}")
    print(f"receiver sound received         : {stats.get('pcmBytes')} bytes in {stats.get('pcmChunks')} chunks"
          f" ({stats.get('pcmBytes', 0) / 176400:.1f} s; rejected {stats.get('pcmRejected')})")
    print(f"receiver sound frequency        : {stats.get('pcmFrequencyHz', 0):.1f} Hz (played {tone_hz:g} Hz)")
    print(f"receiver sound file             : {out / 'received.wav'}")
png = out / "receiver.png"
print(f"receiver picture                : {png if png.exists() else '(not saved)'}")
print(f"logs                            : {out}")
PY
echo "quit" >&"$rin"
echo "quit" >&"$sin"
