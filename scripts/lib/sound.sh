# Sourced by the demo and the whole-road tests. start_sound_server DIR LOG starts a private
# PulseAudio server with its socket, home, runtime, configuration and state under DIR (no
# D-Bus, no X, nothing of the user's session), with a "Speakers" sink and a "Microphone"
# source as its defaults. It records the server's pid in the caller's `pids` array and
# exports PULSE_SERVER, so pactl, pacat and Pikora started afterwards use it. Returns 1 when
# the server does not answer within 10 s.
start_sound_server() {
  local dir="$1" log="$2"
  mkdir -p "$dir/runtime" "$dir/home" "$dir/config" "$dir/state"
  chmod 700 "$dir/runtime"
  cat >"$dir/server.pa" <<EOF
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/runtime/pulse.sock
load-module module-null-sink sink_name=speakers rate=44100 channels=2 sink_properties=device.description=Speakers
load-module module-null-source source_name=microphone description=Microphone
set-default-sink speakers
set-default-source microphone
EOF
  env -u DISPLAY -u PULSE_SERVER HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" \
    XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" \
    DBUS_SESSION_BUS_ADDRESS=disabled: DBUS_SYSTEM_BUS_ADDRESS=disabled: \
    pulseaudio --daemonize=no --system=false -n -F "$dir/server.pa" --exit-idle-time=-1 \
    --use-pid-file=no --log-target=stderr >"$log" 2>&1 &
  pids+=($!)
  export PULSE_SERVER="unix:$dir/runtime/pulse.sock"
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# play_tone FREQUENCY SECONDS FILE: writes FILE (16-bit stereo 44,100 Hz sine) and plays it
# to the default output in the background; records the player's pid in `pids` and TONE_PID.
play_tone() {
  python3 - "$1" "$2" "$3" <<'PY'
import math, struct, sys
f, seconds, path = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
n = int(seconds * 44100)
with open(path, "wb") as out:
    for i in range(0, n, 4410):
        out.write(b"".join(struct.pack("<hh", v, v) for v in
                           (int(12000 * math.sin(2 * math.pi * f * j / 44100)) for j in range(i, min(n, i + 4410)))))
PY
  pacat --raw --format=s16le --rate=44100 --channels=2 "$3" 2>/dev/null &
  pids+=($!)
  TONE_PID=$!
}
