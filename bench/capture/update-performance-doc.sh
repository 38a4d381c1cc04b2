#!/usr/bin/env bash
# Builds the capture benchmark, runs it once (about ten minutes with the defaults) and writes
# its tables into docs/performance.md between the "capture-bench" markers.
# Usage: bench/capture/update-performance-doc.sh [benchmark options, e.g. --seconds 10 --reps 3]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${PIKORA_BUILD_DIR:-$root/build/default}"
doc="$root/docs/performance.md"
PIKORA_BUILD_DIR="$build" bash "$root/scripts/build.sh" --target pikora-capture-bench
tables="$(mktemp)"
log="$(mktemp)"
trap 'rm -f "$tables" "$log"' EXIT
"$build/bench/capture/pikora-capture-bench" --markdown "$tables" "$@" | tee "$log"
python3 - "$doc" "$tables" <<'PY'
import sys
doc_path, tables_path = sys.argv[1], sys.argv[2]
doc = open(doc_path, encoding="utf-8").read()
tables = open(tables_path, encoding="utf-8").read().rstrip("\n")
begin, end = "<!-- capture-bench:begin -->", "<!-- capture-bench:end -->"
if begin not in doc or end not in doc:
    sys.exit(f"{doc_path}: the {begin} / {end} markers are missing")
head, rest = doc.split(begin, 1)
_, tail = rest.split(end, 1)
open(doc_path, "w", encoding="utf-8").write(f"{head}{begin}\n{tables}\n{end}{tail}")
PY
echo "updated $doc"
