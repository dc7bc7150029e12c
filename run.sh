#!/usr/bin/env bash
# Sets up, builds and starts the program in build/.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" --target virta-service virta-emulator
exec build/src/main/virta-service
