#!/usr/bin/env bash
# Runs every libFuzzer target of the fuzz build for a stated time each, starting from its
# corpus in fuzz/corpus, and prints the executions per target.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
#   SECONDS  time per target (default 60)
#   TARGET   run only these (e.g. fuzz_discovery_reply); default: every fuzz_* executable
# PIKORA_FUZZ_RUNS=N also stops a target after N executions, whichever comes first (a long
# campaign: PIKORA_FUZZ_RUNS=10000000 scripts/fuzz.sh 1800). PIKORA_FUZZ_NICE=N runs the
# targets at that scheduling priority, so a campaign can share a machine.
# Build first (clang, separate build directory):
#   cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#     -DPIKORA_BUILD_FUZZERS=ON -DPIKORA_BUILD_TESTS=OFF -DPIKORA_BUILD_BENCH=OFF
#   cmake --build build/fuzz
# The corpus in the tree is only read: each run works on a copy, and new inputs stay in the
# run's directory (printed at the end). Findings (crash-*, leak-*, timeout-*) are written there
# too, and the script exits non-zero when any target found one.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PIKORA_FUZZ_BUILD_DIR:-$root/build/fuzz}"
seconds="${1:-60}"
shift || true
case "$seconds" in '' | *[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number" >&2; exit 2 ;; esac

if [ $# -gt 0 ]; then
  targets=()
  for t in "$@"; do targets+=("$build/fuzz/$t"); done
else
  mapfile -t targets < <(find "$build/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x | sort)
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets in $build/fuzz (build them first; see the header of this script)" >&2
  exit 2
fi

# The corpus of fuzz_NAME is fuzz/corpus/NAME, or the longest corpus directory NAME starts
# with (fuzz_frame_decoder -> frame); none: the target starts from nothing.
corpus_of() {
  local name="${1#fuzz_}" best="" best_dir="" dir base
  for dir in "$root"/fuzz/corpus/*/; do
    base="$(basename "$dir")"
    base="${base//-/_}" # receiver-link is the corpus of fuzz_receiver_link
    if [ "$name" = "$base" ]; then echo "$dir"; return; fi
    case "$name" in "$base"_*) [ ${#base} -gt ${#best} ] && best="$base" best_dir="$dir" ;; esac
  done
  [ -n "$best_dir" ] && echo "$best_dir"
  return 0
}

run="$(mktemp -d "${TMPDIR:-/tmp}/pikora-fuzz.XXXXXX")"
status=0
results=()
for bin in "${targets[@]}"; do
  name="$(basename "$bin")"
  [ -x "$bin" ] || { echo "fuzz.sh: $bin is not built" >&2; status=1; continue; }
  work="$run/$name"
  mkdir -p "$work/corpus" "$work/findings"
  seed="$(corpus_of "$name")"
  [ -n "$seed" ] && cp -r "$seed". "$work/corpus/"
  echo "== $name for ${seconds}s (corpus: ${seed:-none})"
  runs_arg=()
  [ -n "${PIKORA_FUZZ_RUNS:-}" ] && runs_arg=(-runs="$PIKORA_FUZZ_RUNS")
  # A target's dictionary, when there is one: fuzz/NAME.dict (receiver-link.dict for
  # fuzz_receiver_link).
  dict="$root/fuzz/$(echo "${name#fuzz_}" | tr _ -).dict"
  [ -f "$dict" ] && runs_arg+=(-dict="$dict")
  started="$(date +%s)"
  set +e
  TIMEFORMAT='%U %S'
  cpu="$( { time (cd "$work/findings" &&
    nice -n "${PIKORA_FUZZ_NICE:-0}" "$bin" -max_total_time="$seconds" "${runs_arg[@]}" \
      -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$work/findings/" "$work/corpus" >"$work/log" 2>&1); } 2>&1 )"
  rc=$?
  set -e
  wall=$(($(date +%s) - started))
  cpu_s="$(echo "$cpu" | tail -1 | awk '{ printf "%d", $1 + $2 }')"
  execs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$' | tail -1)"
  cov="$(grep -o 'cov: [0-9]*' "$work/log" | tail -1 | grep -o '[0-9]*$')"
  findings="$(find "$work/findings" -type f | wc -l)"
  if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
    status=1
    echo "   FINDING (exit $rc): see $work/log and $work/findings" >&2
    tail -n 30 "$work/log" >&2
  fi
  results+=("$(printf '%-28s %14s execs  %6s edges  %5ss wall  %5ss cpu  %s' "$name" \
    "${execs:-?}" "${cov:-?}" "$wall" "${cpu_s:-?}" \
    "$([ "$rc" -eq 0 ] && [ "$findings" -eq 0 ] && echo ok || echo FINDING)")")
done

echo
echo "Executions per target (at most ${seconds}s${PIKORA_FUZZ_RUNS:+ or $PIKORA_FUZZ_RUNS runs} each):"
printf '%s\n' "${results[@]}"
echo "Run directory: $run"
exit "$status"
