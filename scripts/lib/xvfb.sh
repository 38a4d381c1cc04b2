# Sourced by the demo and the whole-road test. start_xvfb SIZE LOG starts a private Xvfb of
# SIZE (WIDTHxHEIGHT) on the first free display number, records its pid in the caller's
# `pids` array and exports DISPLAY. Returns 1 when the server did not come up within 10 s.
start_xvfb() {
  local size="$1" log="$2" dfd display=""
  exec {dfd}<> <(:)
  Xvfb -displayfd "$dfd" -screen 0 "${size}x24" -nolisten tcp >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    read -r -t 0.1 -u "$dfd" display || true
    [ -n "$display" ] && break
  done
  exec {dfd}<&-
  [ -n "$display" ] || return 1
  export DISPLAY=":$display"
}
