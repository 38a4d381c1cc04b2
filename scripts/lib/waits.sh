# Waiting on log files, picking loopback ports and a road's work directory, shared by the
# whole-road tests, the soak and the demo's helpers. Every wait is bounded; none sleeps longer
# than a tenth of a second at a time.

wait_for() { # file pattern seconds: true once a line of file matches pattern
  for _ in $(seq $(($3 * 10))); do grep -qE "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
count() { # file pattern: how many lines match
  grep -cE "$2" "$1" 2>/dev/null || true
}
wait_count() { # file pattern at-least seconds: true once at least that many lines match
  for _ in $(seq $(($4 * 10))); do [ "$(count "$1" "$2")" -ge "$3" ] && return 0; sleep 0.1; done
  return 1
}
free_port() { # address: a TCP port free on that address now
  python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1])' "$1"
}

road_begin() { # sets `work` (a fresh temporary directory) and `pids`; at exit, stops every pid
  work="$(mktemp -d)"
  pids=()
  trap _road_end EXIT
}
_road_end() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
