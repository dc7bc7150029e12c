#!/usr/bin/env bash
# Screenshots of the status, registration, shift and receipt tabs after a newcomer's first day
# (fresh register registered, shift opened, a sale, counters read, shift closed), taken under Xvfb
# by the tst_fiscaltour test. Usage: scripts/fiscal-screenshots.sh [BUILD_DIR] [OUT_DIR]
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
out="${2:-$root/docs/screenshots}"

cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target tst_fiscaltour -j2
mkdir -p "$out"
VIRTA_SCREENSHOTS="$out" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests/tst_fiscaltour"
ls -1 "$out"/tab-*.png
