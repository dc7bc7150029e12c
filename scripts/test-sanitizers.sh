#!/usr/bin/env bash
# The test suite under the sanitizers (./test.sh --sanitizers runs this):
#   build-asan/  every test, built with AddressSanitizer + UndefinedBehaviorSanitizer;
#   build-tsan/  the tests of the threaded parts (transport, worker thread, command layer, emulator,
#                logging) under ThreadSanitizer.
# Any report fails the run. The suppressions in scripts/sanitizers/ name only code inside Qt and
# the system libraries, each with the reason. Extra arguments go to both ctest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
supp="$PWD/scripts/sanitizers"

# Tests of the threaded parts, by name (CTest -R): the transport and its worker thread behind the
# command layer (tests/fr: tst_transport, tst_commands), the long run of exchanges with faults
# (tests/fr/tst_soak: FsWrapper, its worker thread and the transport, with the in-process register
# on threads of its own), the emulator's threads (tests/emulator/tst_emulator), and logging from
# several threads with its clean-up on the thread pool (tests/utils/tst_logging). Test peers that
# share state with the emulator's threads guard it with std::mutex, which TSan sees (QMutex it does
# not).
tsan_tests=(tst_transport tst_commands tst_soak tst_logging tst_emulator)

run_suite() {
  local dir=$1
  shift
  (cd "$dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs" "$@")
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: whole suite in build-asan/"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIRTA_WERROR=ON -DVIRTA_BUILD_BENCH=OFF \
  -DVIRTA_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$jobs"
# The program shown on Xvfb (tst_program, tst_package) would load Mesa's GLX through Qt's xcb GL
# integration: the driver's one-time set-up is never freed and the driver is unloaded before the
# leak check, so its stack names nothing a suppression could match. Our widgets draw no OpenGL.
QT_XCB_GL_INTEGRATION=none \
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=0" \
LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$supp/ubsan.supp" \
  run_suite build-asan "$@"

echo "== ThreadSanitizer: ${tsan_tests[*]} in build-tsan/"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIRTA_WERROR=ON -DVIRTA_BUILD_BENCH=OFF \
  -DVIRTA_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs" --target "${tsan_tests[@]}" virta-emulator
regex="^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp" \
  run_suite build-tsan -R "$regex" "$@"
