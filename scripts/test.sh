#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with ctest.
# Every test talks only to loopback or to private D-Bus/X servers it starts itself.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PIKORA_BUILD_DIR:-$root/build/default}"

"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
cd "$build"
ctest --output-on-failure --timeout 300 -j "${PIKORA_TEST_JOBS:-2}" "$@"
