#!/usr/bin/env bash
# Screenshots of the main window, driven against a fresh emulator under a virtual display,
# into docs/screenshots/ (one PNG per picture a scene takes; see tools/screenshots/scene.h).
#
#   scripts/screenshots.sh                      every scene
#   scripts/screenshots.sh --only main_window   one scene (repeatable); --list shows them
#
# VIRTA_BUILD_DIR picks the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VIRTA_BUILD_DIR:-build}

scripts/setup-deps.sh
if ! command -v Xvfb >/dev/null 2>&1; then
  echo "Xvfb is needed for the screenshots (apt-get install xvfb)." >&2
  exit 1
fi
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$jobs" --target virta-screenshots virta-emulator >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/virta-screenshots.XXXXXX")
emu_pid=
xvfb_pid=
cleanup() {
  [ -n "$emu_pid" ] && kill "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A fresh register for every run, so that the pictures do not depend on earlier runs.
"$build/emulator/virta-emulator" --preset ready --state "$work/state.json" --tape "$work/tape.txt" \
  --link "$work/ttyVIRTA" --loader-link "$work/ttyVIRTA-loader" --images "$work/images" --install-seconds 1 \
  >"$work/emulator.out" 2>"$work/emulator.err" &
emu_pid=$!
for _ in $(seq 100); do
  [ -e "$work/ttyVIRTA" ] && break
  kill -0 "$emu_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -e "$work/ttyVIRTA" ]; then
  echo "The emulator did not start:" >&2
  cat "$work/emulator.err" >&2
  exit 1
fi

# Xvfb picks a free display number itself and writes it to the descriptor it is given.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "Xvfb did not start:" >&2
  cat "$work/xvfb.err" >&2
  exit 1
fi

# The firmware tab uploads a small signed image (14 blocks) to the emulator's loader.
seq 1 3000 >"$work/firmware.bin"
"$build/emulator/virta-emulator" --sign-image "$work/firmware.bin" "$work/firmware.signed.img" >/dev/null

mkdir -p "$root/docs/screenshots"
DISPLAY=":$(head -n1 "$work/display")" QT_QPA_PLATFORM=xcb \
  VIRTA_LOADER_PORT="$work/ttyVIRTA-loader" VIRTA_FIRMWARE_IMAGE="$work/firmware.signed.img" \
  "$build/tools/screenshots/virta-screenshots" --port "$work/ttyVIRTA" --out "$root/docs/screenshots" "$@"
