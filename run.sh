#!/usr/bin/env bash
# Sets up, builds and starts the program in build/ (or $VIRTA_BUILD_DIR), next to a substitute register
# (virta-emulator) that the program can be pointed at. Stopping the program stops the emulator.
#
# The emulator keeps its state and its paper tape in one folder (VIRTA_EMULATOR_DIR, default
# ~/.local/state/virta-service/emulator), so the register is the same on the next start;
# delete state.json and state.json.journal there for a fresh "ready" register.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
build=${VIRTA_BUILD_DIR:-build}
scripts/setup-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs" --target virta-service virta-emulator

have_display=1
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  have_display=0
fi
if [ $have_display = 0 ] && command -v Xvfb >/dev/null 2>&1; then
  cmake --build "$build" -j"$jobs" --target virta-screenshots
fi

emu_dir=${VIRTA_EMULATOR_DIR:-${XDG_STATE_HOME:-$HOME/.local/state}/virta-service/emulator}
mkdir -p "$emu_dir"
emu_dir=$(cd "$emu_dir" && pwd)
port=$emu_dir/ttyVIRTA
loader_port=$emu_dir/ttyVIRTA-loader

emu_pid=
app_pid=
xvfb_pid=
work=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  [ -n "$emu_pid" ] && kill "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  [ -n "$work" ] && rm -rf "$work"
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$build/emulator/virta-emulator" --preset ready --state "$emu_dir/state.json" --tape "$emu_dir/tape.txt" \
  --link "$port" --loader-link "$loader_port" --images "$emu_dir/images" \
  >"$emu_dir/emulator.out" 2>"$emu_dir/emulator.log" &
emu_pid=$!
for _ in $(seq 100); do
  [ -e "$port" ] && grep -q '^register: ' "$emu_dir/emulator.out" && break
  kill -0 "$emu_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -e "$port" ] || ! kill -0 "$emu_pid" 2>/dev/null; then
  echo "The register emulator did not start:" >&2
  cat "$emu_dir/emulator.log" >&2
  if grep -q 'cannot load state' "$emu_dir/emulator.log"; then
    echo >&2
    echo "The register's state file $emu_dir/state.json (with its archive $emu_dir/state.json.journal)" >&2
    echo "cannot be used; it is left as it was. Correct the field named above, or move both files away" >&2
    echo "(mv $emu_dir/state.json $emu_dir/state.json.bad; mv $emu_dir/state.json.journal $emu_dir/state.json.journal.bad)" >&2
    echo "to start with a fresh \"ready\" register." >&2
  elif grep -q 'in use by another virta-emulator' "$emu_dir/emulator.log"; then
    echo >&2
    echo "Another emulator already serves $emu_dir: close the program started with it (or stop that" >&2
    echo "emulator), or give this one a folder of its own with VIRTA_EMULATOR_DIR=/some/folder ./run.sh." >&2
  fi
  exit 1
fi

echo "Register emulator: type $port into the port box and press «Открыть» (firmware loader: $loader_port; state and paper tape in $emu_dir)."

if [ $have_display = 1 ]; then
  "$build/src/main/virta-service" &
  app_pid=$!
  wait "$app_pid" || true
  app_pid=
  exit 0
fi

echo "No display here: neither DISPLAY nor WAYLAND_DISPLAY is set, so the window cannot be shown on this machine."
if ! command -v Xvfb >/dev/null 2>&1; then
  echo "Start ./run.sh from a graphical session, or install Xvfb (apt-get install xvfb) to see the window under a virtual display." >&2
  exit 1
fi
echo "Running the program under a virtual display (Xvfb) to take a screenshot of its window instead."
work=$(mktemp -d "${TMPDIR:-/tmp}/virta-run.XXXXXX")
# The screen has the window's size, so the picture is the window. Xvfb picks a free display
# number itself and writes it to the descriptor it is given.
Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
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
export DISPLAY=":$(head -n1 "$work/display")"
"$build/src/main/virta-service" &
app_pid=$!
sleep 4
if ! kill -0 "$app_pid" 2>/dev/null; then
  echo "The program ended on its own under the virtual display." >&2
  exit 1
fi
mkdir -p "$build/screenshots"
shot=$(cd "$build/screenshots" && pwd)/virta-service.png
"$build/tools/screenshots/virta-screenshots" --screen "$shot" >/dev/null
echo "Screenshot of the window: $shot"
kill -TERM "$app_pid"
wait "$app_pid" || true
app_pid=
