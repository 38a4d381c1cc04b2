#!/usr/bin/env bash
# Host control and the long press with the real processes on loopback. Every Pikora runs with its
# own emulated accessory, settings file, HOME and XDG directories, D-Bus session (also standing in
# for the system bus) and Xvfb, against one receiver emulator in conference mode. The popover's
# dialogs are answered the way a user does it: a click on the button, through the X server.
#
#   --conference  Pikora A projects and hosts the conference. Pikora B's projection request asks
#                 A: A's dialog offers Replace Screen / Share Screen / Deny, B waits. Deny: B shows
#                 the denied dialog, whose OK closes it. B's button press asks again and B cancels:
#                 A's question is withdrawn. B's next press asks again; Share Screen:
#                 both project on half the screen (A's capture restarts at the split size, B starts
#                 at it). B's long press asks A for the whole screen; Allow: B has it alone, A's
#                 projection ends. A's dialogs never take the keyboard focus from the window that
#                 had it; the popover A's user opens from the status item does.
#   --version-1   a receiver of conference version 1 (no split screen): A's question offers Allow /
#                 Deny only, and Allow gives B the whole screen while A's projection ends.
#   --long-press  one Pikora: a press stops the projection; a long press from idle asks for full
#                 screen and projects; a long press while it has the whole screen does nothing
#                 visible (no capture restart, no second "notify-projection-started").
#
# Usage: conference_road.sh BUILD_DIR --conference|--version-1|--long-press
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/xvfb.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/waits.sh"

build="$1"
mode="${2:---conference}"
road_begin
fail() {
  echo "FAIL: $*"
  for f in "$work"/receiver.log "$work"/*/pikora.log "$work"/*/accessory.log; do
    [ -f "$f" ] || continue
    echo "---- ${f#"$work"/}"
    tail -n 30 "$f" | cut -c1-400
  done
  exit 1
}
command -v xdotool >/dev/null || fail "xdotool is not installed (scripts/install-deps.sh)"

# Asks the receiver for a JSON line and prints the newest one once it has arrived.
query_json() { # command
  local before
  before=$(count "$work/receiver.log" '^\{')
  echo "$1" >&"$rin"
  for _ in $(seq 50); do
    [ "$(count "$work/receiver.log" '^\{')" -gt "$before" ] && { grep -E '^\{' "$work/receiver.log" | tail -n1; return 0; }
    sleep 0.1
  done
  return 1
}
json_field() { # json field
  python3 -c 'import json,sys; print(json.loads(sys.argv[1]).get(sys.argv[2]))' "$1" "$2"
}

receiver_ip=127.0.0.10
conference_version=2
[ "$mode" = "--version-1" ] && conference_version=1
mkfifo "$work/receiver.in"
"$build/tools/receiver-emulator/pikora-receiver-emulator" --bind "$receiver_ip" --name Conference-Room \
  --max-resolution 1280x720 --discovery-port 0 --control-port 0 --config-port -1 --conference-version "$conference_version" \
  <"$work/receiver.in" >"$work/receiver.log" 2>&1 &
pids+=($!)
exec {rin}>"$work/receiver.in"
wait_for "$work/receiver.log" "listening on" 10 || fail "receiver emulator did not start"
discovery_port=$(sed -n 's/.*discovery \([0-9]*\) .*/\1/p' "$work/receiver.log" | head -n1)

declare -A display accessory_in
# start_sender NAME ACCESSORY_IP: an accessory paired with the receiver, an Xvfb and Pikora.
start_sender() {
  local name="$1" ip="$2" dir="$work/$1" port fd
  mkdir -p "$dir/usb" "$dir/home" "$dir/config" "$dir/data" "$dir/cache" "$dir/runtime"
  chmod 700 "$dir/runtime"
  mkfifo "$dir/accessory.in"
  port=$(free_port "$ip")
  "$build/tools/accessory-emulator/pikora-accessory-emulator" --listen "$ip" --port "$port" \
    --usb-sim "$dir/usb" --pairing "{\"ip_addr\":\"$receiver_ip\",\"hostname\":\"Conference-Room\"}" \
    <"$dir/accessory.in" >"$dir/accessory.log" 2>&1 &
  pids+=($!)
  exec {fd}>"$dir/accessory.in"
  accessory_in[$name]=$fd
  start_xvfb 1280x800 "$dir/xvfb.log" || fail "Xvfb for $name did not start"
  display[$name]="$DISPLAY"
  # A private bus of its own, which also stands in for the system bus; ended by its pid.
  dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$dir/bus.address" >/dev/null 2>&1 &
  pids+=($!)
  wait_for "$dir/bus.address" "^unix:" 10 || fail "the D-Bus daemon for $name did not start"
  bus=$(head -n1 "$dir/bus.address")
  HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" XDG_DATA_HOME="$dir/data" XDG_CACHE_HOME="$dir/cache" \
    XDG_RUNTIME_DIR="$dir/runtime" DISPLAY="${display[$name]}" QT_QPA_PLATFORM=xcb \
    QT_LOGGING_RULES="pikora.ui.debug=true" DBUS_SESSION_BUS_ADDRESS="$bus" DBUS_SYSTEM_BUS_ADDRESS="$bus" \
    "$build/Pikora/Pikora" --usb-sim "$dir/usb" --accessory-address "$ip:$port" \
    --scan-target "$receiver_ip" --discovery-port "$discovery_port" --capture test-pattern \
    --settings "$dir/settings.ini" >"$dir/pikora.log" 2>&1 &
  pids+=($!)
}
log_of() { echo "$work/$1/pikora.log"; }

# Waits for the NTH showing of a dialog titled TITLE (a regular expression) with OPTIONS.
wait_dialog() { # sender nth title options what
  wait_count "$(log_of "$1")" "\[pikora.ui\] dialog: $3 options: $4\$" "$2" 15 || fail "$5"
}
# Clicks the button captioned CAPTION, where Pikora drew it, once it has drawn it NTH times.
click_option() { # sender caption nth
  local log line x y
  log=$(log_of "$1")
  wait_count "$log" "dialog option \"$2\" at " "$3" 5 || fail "$1: no button \"$2\" on the screen"
  line=$(grep -E "dialog option \"$2\" at " "$log" | tail -n1)
  read -r x y <<<"${line##* at }"
  DISPLAY="${display[$1]}" xdotool mousemove "$x" "$y" click 1
}
# The focus holder: a window on the sender's display that has the keyboard focus, as the
# application the user types in would.
hold_focus() { # sender
  mkfifo "$work/$1/focus.in"
  DISPLAY="${display[$1]}" "$build/tests/integration/pikora-x-focus-probe" hold \
    <"$work/$1/focus.in" >"$work/$1/focus.out" 2>&1 &
  pids+=($!)
  exec {focus_fd}>"$work/$1/focus.in"
  wait_for "$work/$1/focus.out" '^[0-9]+$' 5 || fail "the focus holder did not get the focus"
  focus_window=$(head -n1 "$work/$1/focus.out")
}
expect_focus_kept() { # sender what
  local now
  now=$(DISPLAY="${display[$1]}" "$build/tests/integration/pikora-x-focus-probe" query)
  [ "$now" = "$focus_window" ] || fail "$2 took the keyboard focus (window $now has it, not $focus_window)"
}
# The status item: Pikora's small window (without a system tray, a button at the top right).
status_item_window() { # sender
  local id w
  for id in $(DISPLAY="${display[$1]}" xdotool search --onlyvisible --classname "^Pikora$" 2>/dev/null); do
    w=$(DISPLAY="${display[$1]}" xdotool getwindowgeometry --shell "$id" | sed -n 's/^WIDTH=//p')
    [ "${w:-999}" -lt 100 ] && { echo "$id"; return 0; }
  done
  return 1
}
encoded_height() { # sender: height of the newest H.264 encoder
  grep -oE "h264: encoding [0-9]+x[0-9]+" "$(log_of "$1")" | tail -n1 | sed 's/.*x//'
}

case "$mode" in
--conference)
  start_sender A 127.0.0.11
  a=$(log_of A)
  wait_for "$a" "capture: started" 30 || fail "A did not project"
  hold_focus A

  # B's link comes up and asks to project: A is asked, B waits.
  start_sender B 127.0.0.12
  b=$(log_of B)
  wait_dialog A 1 "Allow guest's request\?" "Replace Screen \| Share Screen \| Deny" "A was not asked"
  wait_dialog B 1 "Waiting for host's reply" "Cancel" "B shows no waiting dialog"
  sleep 0.3
  expect_focus_kept A "the host's question"

  click_option A "Deny" 1
  wait_dialog B 1 "Host denied your request" "OK" "B shows no denied dialog"
  stats=$(query_json stats) || fail "no statistics from the receiver"
  [ "$(json_field "$stats" lastHostAnswer)" = False ] || fail "the receiver did not hear a denial: $stats"
  [ "$(count "$b" "capture: started")" = 0 ] || fail "B projects although it was denied"
  click_option B "OK" 1
  wait_for "$b" "user did press OK" 5 || fail "B's OK did nothing"

  # B's button asks A again; B withdraws its request: A's question goes away unanswered.
  echo press >&"${accessory_in[B]}"
  wait_dialog A 2 "Allow guest's request\?" "Replace Screen \| Share Screen \| Deny" "B's press did not ask A"
  wait_dialog B 2 "Waiting for host's reply" "Cancel" "B does not wait for A after its press"
  click_option B "Cancel" 2
  wait_for "$a" "\[pikora.hostcontrol\] withdrawn: " 10 || fail "B's cancel did not withdraw A's question"
  [ "$(count "$a" "\[pikora.hostcontrol\] answered ")" = 1 ] || fail "A answered the withdrawn question"
  [ "$(count "$b" "capture: started")" = 0 ] || fail "B projects although it cancelled"

  # B's button once more: A shares the screen.
  restarts_a=$(count "$a" "capture: receiver shows 2 screens")
  echo press >&"${accessory_in[B]}"
  wait_dialog A 3 "Allow guest's request\?" "Replace Screen \| Share Screen \| Deny" "B's press did not ask A"
  wait_dialog B 3 "Waiting for host's reply" "Cancel" "B does not wait for A after its press"
  click_option A "Share Screen" 3
  wait_for "$b" "capture: started" 15 || fail "B did not project after A shared the screen"
  wait_count "$a" "capture: receiver shows 2 screens" $((restarts_a + 1)) 10 ||
    fail "A's capture did not restart for the split screen"
  wait_count "$a" "capture: started" 2 10 || fail "A's capture did not start again"
  stats=$(query_json stats) || fail "no statistics from the receiver"
  [ "$(json_field "$stats" streamingSenders)" = 2 ] || fail "the receiver does not show both: $stats"
  [ "$(json_field "$stats" lastHostAnswerMode)" = 1 ] || fail "share was not answered with mode 1: $stats"
  ha=$(encoded_height A)
  hb=$(encoded_height B)
  [ -n "$ha" ] && [ "$ha" -le 600 ] && [ -n "$hb" ] && [ "$hb" -le 600 ] ||
    fail "not both at the split size: A encodes ${ha:-?} lines, B ${hb:-?}"
  expect_focus_kept A "the host's dialogs"

  # B's long press asks A for the whole screen; allowed, B has it alone and A's projection ends.
  echo long-press >&"${accessory_in[B]}"
  wait_dialog A 1 "Allow guest's fullscreen request\?" "Allow \| Deny" "B's long press did not ask A"
  wait_dialog B 4 "Waiting for host's reply" "Cancel" "B does not wait for A after its long press"
  click_option A "Allow" 1
  wait_for "$a" "notification: Disconnect WiFi Display" 10 || fail "A's projection did not end for B's full screen"
  wait_for "$b" "capture: receiver shows 1 screens" 10 || fail "B's capture did not follow the whole screen"
  wait_for "$work/A/accessory.log" 'received .*"notify-projection-stopped"' 10 || fail "A's accessory did not hear the stop"
  [ "$(count "$work/B/accessory.log" 'received .*"notify-projection-started"')" = 1 ] ||
    fail "B's accessory heard of a second start"
  stats=$(query_json stats) || fail "no statistics from the receiver"
  [ "$(json_field "$stats" streamingSenders)" = 1 ] || fail "the receiver still shows both: $stats"
  [ "$(json_field "$stats" lastHostAnswerMode)" = 2 ] || fail "full screen was not answered with mode 2: $stats"
  wait_for "$b" "h264: encoding 1280x720" 10 || fail "B does not encode the whole screen"

  # The other way round, the probe's own check: a popover the user opens does take the focus.
  item=$(status_item_window A) || fail "A shows no status item"
  for _ in 1 2; do
    DISPLAY="${display[A]}" xdotool mousemove --window "$item" 10 10 click 1
    for _ in $(seq 20); do
      [ "$(DISPLAY="${display[A]}" "$build/tests/integration/pikora-x-focus-probe" query)" != "$focus_window" ] && break 2
      sleep 0.1
    done
  done
  [ "$(DISPLAY="${display[A]}" "$build/tests/integration/pikora-x-focus-probe" query)" != "$focus_window" ] ||
    fail "the popover opened from the status item did not take the focus"
  echo "deny, then share: A and B encode $ha and $hb lines"
  ;;
--version-1)
  start_sender A 127.0.0.11
  a=$(log_of A)
  wait_for "$a" "capture: started" 30 || fail "A did not project"
  start_sender B 127.0.0.12
  b=$(log_of B)
  wait_dialog A 1 "Allow guest's request\?" "Allow \| Deny" "A was not asked with the version-1 question"
  wait_dialog B 1 "Waiting for host's reply" "Cancel" "B shows no waiting dialog"
  click_option A "Allow" 1
  wait_for "$b" "capture: started" 15 || fail "B did not project after A allowed it"
  wait_for "$a" "notification: Disconnect WiFi Display" 10 || fail "A's projection did not end"
  stats=$(query_json stats) || fail "no statistics from the receiver"
  [ "$(json_field "$stats" streamingSenders)" = 1 ] || fail "the receiver shows more than B: $stats"
  [ "$(json_field "$stats" lastHostAnswerMode)" = 2 ] || fail "Allow was not answered with mode 2: $stats"
  hb=$(encoded_height B)
  [ "${hb:-0}" -gt 600 ] || fail "B does not have the whole screen (${hb:-?} lines)"
  echo "version 1: Allow gave B the whole screen ($hb lines)"
  ;;
--long-press)
  start_sender A 127.0.0.11
  a=$(log_of A)
  acc="$work/A/accessory.log"
  wait_for "$a" "capture: started" 30 || fail "A did not project"
  hold_focus A
  wait_for "$acc" 'received .*"notify-projection-started"' 5 || fail "no notify-projection-started"
  echo press >&"${accessory_in[A]}"
  wait_for "$acc" 'received .*"notify-projection-stopped"' 10 || fail "the press did not stop the projection"

  # From idle: full screen, then the projection starts on the whole screen.
  echo long-press >&"${accessory_in[A]}"
  wait_count "$a" "capture: started" 2 15 || fail "a long press from idle did not project"
  wait_count "$acc" 'received .*"notify-projection-started"' 2 5 || fail "no notify-projection-started"
  h=$(encoded_height A)
  [ "${h:-0}" -gt 600 ] || fail "the long press did not project full screen (${h:-?} lines)"
  expect_focus_kept A "the projection's notices"

  # On the whole screen: nothing visible.
  starts=$(count "$a" "capture: started")
  echo long-press >&"${accessory_in[A]}"
  wait_for "$a" "long press: this computer has the whole screen already" 15 ||
    fail "the second long press was not recognised as full screen"
  sleep 1 # nothing may follow; give it the time to show if it did
  [ "$(count "$a" "capture: started")" = "$starts" ] || fail "a long press on the whole screen restarted capture"
  [ "$(count "$acc" 'received .*"notify-projection-started"')" = 2 ] ||
    fail "a long press on the whole screen sent another notify-projection-started"
  [ "$(count "$a" "capture: receiver shows")" = 0 ] || fail "the layout changed"
  stats=$(query_json stats) || fail "no statistics from the receiver"
  [ "$(json_field "$stats" startRequests)" = 2 ] || fail "expected two stream requests: $stats"
  [ "$(json_field "$stats" streamingSenders)" = 1 ] || fail "the projection ended: $stats"
  echo "long press: projected full screen from idle ($h lines), then nothing on the whole screen"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
echo "1 passed, 0 failed"
