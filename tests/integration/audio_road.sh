#!/usr/bin/env bash
# The sound's whole road with the real processes: a private PulseAudio server, an emulated
# accessory paired with an emulated receiver on loopback, Pikora with the "SoundEnable" setting
# on. While projecting full screen the defaults are the Sonvex device and a tone played to
# the default output reaches the receiver (its frequency is checked there); a split screen
# stops the sound and puts the user's devices back, a single screen forwards again; a press
# stops everything. Then Pikora is killed while forwarding: the defaults stay switched until
# the next start, which puts them back and removes the device it had created. Last, a run that
# quits on its own while forwarding puts the devices back before it ends.
#
# Usage: audio_road.sh BUILD_DIR
set -euo pipefail
here="$(dirname "${BASH_SOURCE[0]}")"
source "$here/../../scripts/lib/sound.sh"
source "$here/../../scripts/lib/waits.sh"

# Pikora's power assertions and the permission protocol go to a private bus.
if [ -z "${PIKORA_ROAD_PRIVATE_BUS:-}" ]; then
  exec dbus-run-session -- env PIKORA_ROAD_PRIVATE_BUS=1 "$0" "$@"
fi
export DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"

build="$1"
road_begin
fail() {
  echo "FAIL: $*"
  for f in pikora pikora2 pikora3 receiver accessory sound; do echo "---- $f.log"; tail -n 30 "$work/$f.log" 2>/dev/null | cut -c1-400 || true; done
  exit 1
}
query_stats() {
  local before
  before=$(count "$work/receiver.log" '^\{')
  echo stats >&"$rin"
  for _ in $(seq 50); do
    [ "$(count "$work/receiver.log" '^\{')" -gt "$before" ] && { grep -E '^\{' "$work/receiver.log" | tail -n1; return 0; }
    sleep 0.1
  done
  return 1
}
field() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }
expect_defaults() { # sink source what
  local sink source
  for _ in $(seq 30); do
    sink=$(pactl get-default-sink); source=$(pactl get-default-source)
    [ "$sink" = "$1" ] && [ "$source" = "$2" ] && return 0
    sleep 0.1
  done
  fail "$3: defaults are $sink / $source, expected $1 / $2"
}
# Waits until the receiver has at least N bytes of PCM and its tone is within 3 Hz of F.
expect_tone() { # frequency min-bytes what
  local stats=""
  for _ in $(seq 60); do
    stats=$(query_stats) || fail "no statistics from the receiver"
    python3 - "$stats" "$1" "$2" <<'PY' && return 0
import json, sys
s = json.loads(sys.argv[1])
sys.exit(0 if s["pcmBytes"] >= int(sys.argv[3]) and abs(s["pcmFrequencyHz"] - float(sys.argv[2])) <= 3 else 1)
PY
    sleep 0.25
  done
  fail "$3: the receiver did not get the $1 Hz tone ($stats)"
}

sonvex=com_tamsic_Vistrel_Sonvex
start_sound_server "$work/sound" "$work/sound.log" || fail "no private sound server"
expect_defaults speakers microphone "at the start"

receiver_ip=127.0.0.6
accessory_ip=127.0.0.7
mkdir -p "$work/usb" "$work/state"
mkfifo "$work/receiver.in" "$work/accessory.in"
"$build/tools/receiver-emulator/pikora-receiver-emulator" --bind "$receiver_ip" --name Audio-Receiver \
  --max-resolution 1280x720 --discovery-port 0 --control-port 0 --config-port -1 --pcm-wav "$work/received.wav" \
  <"$work/receiver.in" >"$work/receiver.log" 2>&1 &
pids+=($!)
exec {rin}>"$work/receiver.in"
wait_for "$work/receiver.log" "listening on" 10 || fail "receiver emulator did not start"
discovery_port=$(sed -n 's/.*discovery \([0-9]*\) .*/\1/p' "$work/receiver.log" | head -n1)

accessory_port=$(free_port "$accessory_ip")
"$build/tools/accessory-emulator/pikora-accessory-emulator" --listen "$accessory_ip" --port "$accessory_port" \
  --usb-sim "$work/usb" \
  --pairing "{\"ip_addr\":\"$receiver_ip\",\"hostname\":\"Audio-Receiver\",\"ssid_5G\":\"RoadNet\"}" \
  <"$work/accessory.in" >"$work/accessory.log" 2>&1 &
pids+=($!)
exec {ain}>"$work/accessory.in"

start_pikora() { # log sound-enable [more options]
  printf '[General]\nSoundEnable=%s\n' "$2" >"$work/settings-$1.ini"
  XDG_STATE_HOME="$work/state" QT_QPA_PLATFORM=offscreen "$build/Pikora/Pikora" --usb-sim "$work/usb" \
    --accessory-address "$accessory_ip:$accessory_port" --scan-target "$receiver_ip" \
    --discovery-port "$discovery_port" --capture test-pattern --settings "$work/settings-$1.ini" "${@:3}" \
    >"$work/$1.log" 2>&1 &
  pids+=($!)
  PIKORA_PID=$!
}
unset DISPLAY

# 1. Full screen: the defaults switch and the tone reaches the receiver.
start_pikora pikora true
wait_for "$work/pikora.log" "start sending audio" 30 || fail "sound forwarding did not start with the projection"
expect_defaults "$sonvex" "$sonvex.monitor" "while forwarding"
play_tone 523 60 "$work/tone.raw"
expect_tone 523 $((2 * 176400)) "full screen"

# 2. Split screen: no sound, the user's devices; one screen again: sound again.
echo "split 2 1" >&"$rin"
wait_for "$work/pikora.log" "stop sending audio" 10 || fail "a split screen did not stop the sound"
expect_defaults speakers microphone "while the screen is split"
sleep 0.5
before=$(field "$(query_stats)" pcmBytes)
sleep 1
after=$(field "$(query_stats)" pcmBytes)
[ "$after" = "$before" ] || fail "sound kept arriving while the screen was split ($before -> $after bytes)"
echo "split 1 1" >&"$rin"
wait_count "$work/pikora.log" "start sending audio" 2 10 || fail "one screen again did not restart the sound"
expect_defaults "$sonvex" "$sonvex.monitor" "back on the whole screen"
expect_tone 523 $((after + 2 * 176400)) "back on the whole screen"

# 3. A press stops the projection: the user's devices come back and the device goes.
echo press >&"$ain"
wait_for "$work/pikora.log" "capture: stopped" 10 || fail "the press did not stop the projection"
expect_defaults speakers microphone "after the stop"
pactl list short sinks | grep -q "$sonvex" && fail "the Sonvex device was left after the stop"
[ -e "$work/state/pikora/audio-devices.json" ] && fail "a state file was left after a clean stop"

# 4. Killed while forwarding: the next start puts the devices back.
echo press >&"$ain"
wait_count "$work/pikora.log" "start sending audio" 3 20 || fail "a press did not project with sound again"
expect_defaults "$sonvex" "$sonvex.monitor" "forwarding again"
kill -9 "$PIKORA_PID"
wait "$PIKORA_PID" 2>/dev/null || true
expect_defaults "$sonvex" "$sonvex.monitor" "right after the kill (nothing ran to restore them)"
[ -s "$work/state/pikora/audio-devices.json" ] || fail "no state file after the kill"
start_pikora pikora2 false
wait_for "$work/pikora2.log" "a previous run left audio devices switched" 15 || fail "the next start did not restore"
expect_defaults speakers microphone "after the next start"
for _ in $(seq 30); do pactl list short sinks | grep -q "$sonvex" || break; sleep 0.1; done
pactl list short sinks | grep -q "$sonvex" && fail "the next start left the Sonvex device"
[ -e "$work/state/pikora/audio-devices.json" ] && fail "the state file outlived the restore"
wait_for "$work/pikora2.log" "capture: started" 30 || fail "the second run did not project"
sleep 1
[ "$(count "$work/pikora2.log" "start sending audio")" = 0 ] || fail "sound was forwarded without SoundEnable"
expect_defaults speakers microphone "projecting without SoundEnable"

# 5. Quitting while forwarding puts the devices back before the process ends.
kill -9 "$PIKORA_PID"
wait "$PIKORA_PID" 2>/dev/null || true
start_pikora pikora3 true --run-seconds 10
wait_for "$work/pikora3.log" "start sending audio" 9 || fail "the third run did not forward sound before quitting"
expect_defaults "$sonvex" "$sonvex.monitor" "the third run forwarding"
# Quitting stops capture, waits for the receiver link and the sound capture to close (each
# bounded), then restores the devices: allow for a loaded machine.
for _ in $(seq 300); do kill -0 "$PIKORA_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$PIKORA_PID" 2>/dev/null && fail "Pikora did not end within 30 s of --run-seconds"
wait "$PIKORA_PID" || fail "Pikora ended with status $? after --run-seconds"
grep -q "stop sending audio" "$work/pikora3.log" || fail "quitting did not stop the sound"
expect_defaults speakers microphone "after quitting"
pactl list short sinks | grep -q "$sonvex" && fail "quitting left the Sonvex device"
[ -e "$work/state/pikora/audio-devices.json" ] && fail "quitting left a state file"

stats=$(query_stats)
echo "received: $(field "$stats" pcmBytes) bytes of PCM in $(field "$stats" pcmChunks) chunks," \
  "$(field "$stats" pcmRejected) rejected, tone $(field "$stats" pcmFrequencyHz) Hz"
[ "$(field "$stats" pcmRejected)" = 0 ] || fail "the receiver rejected PCM"
echo "1 passed, 0 failed"
