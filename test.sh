#!/usr/bin/env bash
# Sets up, builds (warnings as errors) and runs the whole test suite in build/.
#   ./test.sh --sanitizers   the suite under AddressSanitizer + UBSan, and the threaded tests under
#                            ThreadSanitizer (scripts/test-sanitizers.sh)
set -euo pipefail
cd "$(dirname "$0")"
if [ "${1:-}" = "--sanitizers" ]; then
  shift
  exec scripts/test-sanitizers.sh "$@"
fi
scripts/setup-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIRTA_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs" "$@"
