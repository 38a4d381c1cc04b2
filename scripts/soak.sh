#!/usr/bin/env bash
# Soak: Pikora projecting for MINUTES (default 30) while the emulated peers misbehave in turn:
# the accessory is unplugged and plugged, drops and stalls its link, presses and long-presses;
# the receiver drops and stalls its link and changes its split-screen layout. Whenever the
# projection has stopped, a press starts it again. Every few seconds Pikora's resident memory,
# open descriptors and threads are sampled; at the end the first and last samples and the
# slope of each are printed, and the pairing the accessory emulator stores must be the one it
# started with. Not a CI test: run it by hand (all traffic stays on loopback, on a private
# Xvfb and a private D-Bus).
#
# Usage: scripts/soak.sh [MINUTES]   (PIKORA_BUILD_DIR selects the build, default build/default;
#        PIKORA_SOAK_OUT keeps the logs and samples there instead of a temporary directory)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/xvfb.sh"
source "$root/scripts/lib/waits.sh"
minutes="${1:-30}"
case "$minutes" in '' | *[!0-9.]*) echo "soak.sh: MINUTES must be a number" >&2; exit 2 ;; esac
build="${PIKORA_BUILD_DIR:-$root/build/default}"
for exe in Pikora/Pikora tools/receiver-emulator/pikora-receiver-emulator \
  tools/accessory-emulator/pikora-accessory-emulator tools/desktop-services-emulator/pikora-desktop-services-emulator; do
  [ -x "$build/$exe" ] || { echo "soak.sh: $build/$exe is not built (scripts/build.sh)" >&2; exit 2; }
done

# One private bus for everything, standing in for the system bus too.
if [ -z "${PIKORA_SOAK_PRIVATE_BUS:-}" ]; then
  exec dbus-run-session -- env PIKORA_SOAK_PRIVATE_BUS=1 bash "${BASH_SOURCE[0]}" "$@"
fi
export DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"

work="${PIKORA_SOAK_OUT:-$(mktemp -d "${TMPDIR:-/tmp}/pikora-soak.XXXXXX")}"
mkdir -p "$work/usb"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
say() { echo "soak $(date +%T): $*"; }
fail() {
  echo "soak: FAIL: $*" >&2
  for f in pikora receiver accessory; do echo "---- $f.log" >&2; tail -n 20 "$work/$f.log" 2>/dev/null | cut -c1-400 >&2 || true; done
  echo "logs: $work" >&2
  exit 1
}

receiver_ip=127.0.0.6
accessory_ip=127.0.0.7
pairing="{\"ip_addr\":\"$receiver_ip\",\"hostname\":\"Soak-Receiver\",\"ssid_2.4G\":\"SoakNet\",\"ssid_5G\":\"SoakNet-5G\"}"

start_xvfb 1280x800 "$work/xvfb.log" || fail "Xvfb did not start"
mkfifo "$work/receiver.in" "$work/accessory.in" "$work/services.in"
"$build/tools/desktop-services-emulator/pikora-desktop-services-emulator" \
  <"$work/services.in" >"$work/services.log" 2>&1 &
pids+=($!)
exec {sin}>"$work/services.in"
wait_count "$work/services.log" "^serving" 1 10 || fail "desktop services emulator did not start"

"$build/tools/receiver-emulator/pikora-receiver-emulator" --bind "$receiver_ip" --name Soak-Receiver \
  --max-resolution 1280x720 --discovery-port 0 --control-port 0 --config-port -1 \
  <"$work/receiver.in" >"$work/receiver.log" 2>&1 &
pids+=($!)
exec {rin}>"$work/receiver.in"
wait_count "$work/receiver.log" "listening on" 1 10 || fail "receiver emulator did not start"
discovery_port=$(sed -n 's/.*discovery \([0-9]*\) .*/\1/p' "$work/receiver.log" | head -n1)

accessory_port=$(free_port "$accessory_ip")
# The accessory's stored pairing: it loads it from this file at start and writes it there
# whenever it is told to store another.
echo "$pairing" >"$work/pairing.json"
"$build/tools/accessory-emulator/pikora-accessory-emulator" --listen "$accessory_ip" --port "$accessory_port" \
  --usb-sim "$work/usb" --pairing-file "$work/pairing.json" \
  <"$work/accessory.in" >"$work/accessory.log" 2>&1 &
pids+=($!)
exec {ain}>"$work/accessory.in"

QT_QPA_PLATFORM=xcb "$build/Pikora/Pikora" --usb-sim "$work/usb" \
  --accessory-address "$accessory_ip:$accessory_port" --scan-target "$receiver_ip" \
  --discovery-port "$discovery_port" --capture test-pattern --settings "$work/settings.ini" \
  >"$work/pikora.log" 2>&1 &
pikora=$!
pids+=($pikora)
wait_count "$work/pikora.log" "capture: started" 1 30 || fail "the projection did not start"
say "projecting; pid $pikora, logs in $work, running $minutes min"

# --- sampling -------------------------------------------------------------------------------
sample() { # seconds-since-start -> "t rss_kib fds threads"
  local rss threads fds
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pikora/status")
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$pikora/status")
  fds=$(find "/proc/$pikora/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
  echo "$1 $rss $fds $threads"
}
echo "seconds rss_kib fds threads" >"$work/samples.txt"

# --- the disturbances, in turn --------------------------------------------------------------
projecting() { # the last capture line says started
  grep -oE "capture: (started|stopped)" "$work/pikora.log" | tail -n1 | grep -q started
}
actions=(
  "accessory:long-press"
  "receiver:split 2 1"
  "receiver:split 1 1"
  "accessory:drop"
  "receiver:stall on|receiver:stall off"
  "accessory:press"
  "accessory:stall|accessory:resume"
  "receiver:drop"
  "accessory:unplug|accessory:plug"
  "receiver:split 2"
  "receiver:split 1"
)
send() { # target:command
  case "$1" in
  accessory:*) echo "${1#accessory:}" >&"$ain" ;;
  receiver:*) echo "${1#receiver:}" >&"$rin" ;;
  esac
}

start=$(date +%s)
end=$(python3 -c "import sys; print(int($start + float(sys.argv[1]) * 60))" "$minutes")
next_sample=$start
i=0
declare -A done_count=()
while :; do
  now=$(date +%s)
  [ "$now" -ge "$end" ] && break
  kill -0 "$pikora" 2>/dev/null || fail "Pikora exited"
  if [ "$now" -ge "$next_sample" ]; then
    sample $((now - start)) >>"$work/samples.txt"
    next_sample=$((now + 5))
  fi
  action="${actions[$((i % ${#actions[@]}))]}"
  i=$((i + 1))
  IFS='|' read -r -a steps <<<"$action"
  for step in "${steps[@]}"; do
    send "$step"
    sleep 2
  done
  done_count[$action]=$((${done_count[$action]:-0} + 1))
  sleep 1
  # Back to projecting whenever a disturbance (or a press) ended it.
  if ! projecting; then
    sleep 2
    projecting || send "accessory:press"
    sleep 2
  fi
done
sample $(( $(date +%s) - start )) >>"$work/samples.txt"
kill -0 "$pikora" 2>/dev/null || fail "Pikora exited"

# --- the pairing must have survived everything ----------------------------------------------
python3 - "$work/pairing.json" "$pairing" "$work/accessory.log" <<'PY' || fail "the accessory's stored pairing changed"
import json, re, sys
expected = json.loads(sys.argv[2])
stored = json.load(open(sys.argv[1]))
if stored != expected:
    print("stored pairing:", stored); sys.exit(1)
# ... and it is what the accessory last told Pikora.
answers = re.findall(r'sent #\d+ (\{.*"id":"query-connection-intent"\})', open(sys.argv[3], errors="replace").read())
if not answers or json.loads(answers[-1]).get("result") != expected:
    print("last query-connection-intent answer:", answers[-1] if answers else None); sys.exit(1)
print(f"  pairing intact: stored file and the last of {len(answers)} query-connection-intent answers")
PY

echo
say "done after $i disturbances:"
for a in "${!done_count[@]}"; do printf '  %-36s %s\n' "$a" "${done_count[$a]}"; done
printf '  projection starts %s, stops %s, accessory links %s, receiver links %s\n' \
  "$(count "$work/pikora.log" 'capture: started')" "$(count "$work/pikora.log" 'capture: stopped')" \
  "$(count "$work/accessory.log" 'received .*"method":"handshake"')" "$(count "$work/pikora.log" 'connecting to')"
python3 - "$work/samples.txt" <<'PY'
import sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]).read().splitlines()[1:] if l.strip()]
if len(rows) < 2:
    print("too few samples"); sys.exit(0)
def slope(xs, ys):
    n = len(xs); mx = sum(xs) / n; my = sum(ys) / n
    den = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den if den else 0.0
t = [r[0] for r in rows]
print(f"  samples: {len(rows)} over {t[-1] - t[0]:.0f} s")
print(f"  {'':10s} {'first':>10s} {'last':>10s} {'min':>10s} {'max':>10s} {'slope/min':>12s}")
for i, name in ((1, "RSS KiB"), (2, "fds"), (3, "threads")):
    ys = [r[i] for r in rows]
    print(f"  {name:10s} {ys[0]:10.0f} {ys[-1]:10.0f} {min(ys):10.0f} {max(ys):10.0f} {slope(t, ys) * 60:12.2f}")
# The second half's slope says whether growth continues once the process has warmed up.
half = len(rows) // 2
if len(rows) - half >= 3:
    ys = [r[1] for r in rows[half:]]
    print(f"  RSS slope over the second half: {slope(t[half:], ys) * 60:.2f} KiB/min")
PY
say "pairing intact; logs and samples in $work"
echo quit >&"$rin" || true
