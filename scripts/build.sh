#!/usr/bin/env bash
# Configures and builds Pikora (release with debug info) into build/default.
# Usage: scripts/build.sh [extra cmake --build args]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PIKORA_BUILD_DIR:-$root/build/default}"
jobs="${PIKORA_JOBS:-$(nproc)}"
# Let ccache share objects between checkouts in different folders (CI clones afresh each run).
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j "$jobs" "$@"
