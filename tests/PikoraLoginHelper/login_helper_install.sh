#!/usr/bin/env bash
# A build installed into a temporary prefix: the installed Pikora registers the installed login
# helper at start; the helper, run against a stand-in Pikora, starts that prefix's Pikora when
# none runs, starts nothing when one runs, starts nothing when it is run from outside the
# installation, and always exits at once.
# Usage: login_helper_install.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"

# Any Pikora process of this user counts as running, including a desktop's or another
# test's: run in a private process namespace with its own /proc when the system allows it.
if [ -z "${PIKORA_HELPER_TEST_ISOLATED:-}" ]; then
  export PIKORA_HELPER_TEST_ISOLATED=1
  for flags in "--pid --fork --mount-proc" "--user --map-root-user --pid --fork --mount-proc"; do
    # shellcheck disable=SC2086
    if unshare $flags true 2>/dev/null; then
      exec unshare $flags "$0" "$@"
    fi
  done
  echo "note: no private process namespace here; running beside this user's other processes"
fi

fail() { echo "FAIL: $*" >&2; exit 1; }
work="$(mktemp -d)"
cleanup() {
  pkill -TERM -u "$(id -u)" -f "^/bin/sh $work/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

pikora_running() { pgrep -u "$(id -u)" -x Pikora >/dev/null; }
if pikora_running; then
  fail "a Pikora process of this user already runs; the helper would (rightly) start nothing"
fi

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
helper="$prefix/libexec/pikora/PikoraLoginHelper"
[ -x "$helper" ] || fail "no helper at $helper"
[ -x "$prefix/bin/Pikora" ] || fail "no Pikora at $prefix/bin/Pikora"

# 0. The installed Pikora registers the installed helper as the user's login item. It runs
#    headless for a few seconds against nothing: an empty simulated USB bus, loopback
#    addresses where nothing answers, no D-Bus, a temporary XDG_CONFIG_HOME.
mkdir -p "$work/usb" "$work/config"
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen \
  DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/pikora-test-session-bus \
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/pikora-test-system-bus \
  timeout 60 "$prefix/bin/Pikora" --usb-sim "$work/usb" --accessory-address 127.0.0.1:9 \
  --scan-target 127.0.0.1 --capture test-pattern --settings "$work/settings.ini" --run-seconds 3 \
  >"$work/pikora.log" 2>&1 || { cat "$work/pikora.log"; fail "the installed Pikora failed"; }
entry="$work/config/autostart/com.tamsic.PikoraLoginHelper.desktop"
[ -f "$entry" ] || { cat "$work/pikora.log"; fail "no autostart entry at $entry"; }
grep -qx "Exec=$helper" "$entry" || { cat "$entry"; fail "the autostart entry does not run $helper"; }
grep -q "Launcher 'com.tamsic.PikoraLoginHelper'" "$work/pikora.log" || fail "registration not logged"
grep -q "SMLoginItemSetEnabled failed" "$work/pikora.log" && fail "the installed Pikora could not register"
echo "ok: the installed Pikora registered $helper"

# The stand-in keeps its command name "Pikora" while it runs and notes every start.
marker="$work/started"
cat >"$prefix/bin/Pikora" <<STUB
#!/bin/sh
echo "\$\$ \$*" >> "$marker"
trap 'exit 0' TERM
while sleep 0.2; do :; done
STUB
chmod +x "$prefix/bin/Pikora"

starts() { [ -f "$marker" ] && wc -l <"$marker" || echo 0; }
run_helper() { # path log
  local rc=0
  QT_LOGGING_RULES="*.info=true" timeout 20 "$1" >"$2" 2>&1 || rc=$?
  [ "$rc" -ne 124 ] || fail "$1 did not exit within 20 s"
  [ "$rc" -eq 0 ] || { cat "$2"; fail "$1 exited with $rc"; }
}

# 1. Pikora is not running: the helper starts it and exits.
run_helper "$helper" "$work/run1.log"
for _ in $(seq 100); do [ "$(starts)" -ge 1 ] && break; sleep 0.1; done
[ "$(starts)" -eq 1 ] || { cat "$work/run1.log"; fail "Pikora was started $(starts) times, not once"; }
pikora_running || fail "the started Pikora is not running"
grep -q "launched .*$prefix/bin/Pikora" "$work/run1.log" || { cat "$work/run1.log"; fail "no launch logged"; }
echo "ok: started $prefix/bin/Pikora"

# 2. Pikora runs: the helper starts nothing.
run_helper "$helper" "$work/run2.log"
grep -q "com.tamsic.Pikora is running already" "$work/run2.log" || { cat "$work/run2.log"; fail "running Pikora not seen"; }
grep -q "launched" "$work/run2.log" && fail "launched a second Pikora"
sleep 0.5
[ "$(starts)" -eq 1 ] || fail "a second Pikora was started"
echo "ok: nothing started while Pikora runs"

# 3. Outside the installation (Pikora stopped): nothing starts.
pkill -TERM -u "$(id -u)" -x Pikora || true
for _ in $(seq 100); do pikora_running || break; sleep 0.1; done
pikora_running && fail "the stand-in did not stop"
for place in "$work/elsewhere" "$prefix/bin" "$prefix/lib/pikora"; do
  mkdir -p "$place"
  cp "$helper" "$place/PikoraLoginHelper"
  run_helper "$place/PikoraLoginHelper" "$work/run3.log"
  grep -q "is not inside a Pikora installation" "$work/run3.log" || { cat "$work/run3.log"; fail "$place: no refusal logged"; }
done
sleep 0.5
[ "$(starts)" -eq 1 ] || fail "a helper outside the installation started Pikora"
pikora_running && fail "Pikora runs after a helper outside the installation"
echo "ok: nothing started from outside the installation"
