#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs each one for SECONDS (default 60), one after the other, on a copy of its
# seed corpus. Crashes land in build-fuzz/artifacts/<target>/; the script ends non-zero if any did.
#   fuzz/run.sh [SECONDS] [target ...]
# SECONDS is a whole number of at least 1: libFuzzer reads 0 as "no limit", which would leave an
# unattended run going for ever.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ $((10#$seconds)) -lt 1 ]; then
  echo "fuzz/run.sh: SECONDS must be a whole number of at least 1 (got '$seconds'); 0 would fuzz without limit" >&2
  exit 64
fi
seconds=$((10#$seconds))
VIRTA_WITH_CLANG=1 scripts/setup-deps.sh || exit 1

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIRTA_FUZZ=ON \
  -DVIRTA_BUILD_TESTS=OFF -DVIRTA_BUILD_BENCH=OFF >/dev/null || exit 1
cmake --build "$build" --target fuzz_all -j2 || exit 1

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_frame fuzz_collector fuzz_tlv fuzz_fixnumber fuzz_records fuzz_catalog fuzz_decoder fuzz_emurequest fuzz_emuloader fuzz_emustate fuzz_emujournal)
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
printf '%-18s %8s %12s %10s %8s %s\n' target seconds runs exec/s corpus result
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  log="$build/$t.log"
  max_len=4096
  # A state file or a journal is larger than any frame: their seeds must not be cut.
  case "$t" in fuzz_emustate | fuzz_emujournal) max_len=32768 ;; esac
  "$build/fuzz/$t" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  size=$(find "$corpus" -type f | wc -l)
  if [ $rc -eq 0 ]; then
    result=ok
  else
    result="FAILED (rc $rc, see $log)"
    failed=1
  fi
  printf '%-18s %8s %12s %10s %8s %s\n' "$t" "$seconds" "${runs:-?}" "${speed:-?}" "$size" "$result"
done
exit $failed
