#!/usr/bin/env bash
# Builds every benchmark (release build in build-bench/) and runs each one, then prints one table
# of the headline figures. The full output of each program is kept in build-bench/bench-<name>.txt.
#   bench/run.sh [quick]     quick: fewer repetitions (a smoke run, not figures to report)
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh || exit 1
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIRTA_BUILD_TESTS=ON >/dev/null || exit 1
benches=(bench_exchange bench_network bench_testreceipt bench_logpane bench_logging bench_firmware bench_soak bench_emustate bench_cli bench_collector)
cmake --build "$build" -j2 --target "${benches[@]}" || exit 1
export QT_QPA_PLATFORM=offscreen

if [ "${1:-}" = quick ]; then
  args_bench_exchange=200 args_bench_network=400 args_bench_testreceipt=5 args_bench_logpane=1000 args_bench_logging=5000
  args_bench_firmware=1 args_bench_soak=500 args_bench_emustate="2000 200" args_bench_cli=5 args_bench_collector=16
else
  args_bench_exchange=2000 args_bench_network=4000 args_bench_testreceipt=30 args_bench_logpane=10000 args_bench_logging=50000
  args_bench_firmware=3 args_bench_soak=10000 args_bench_emustate="20000 2000" args_bench_cli=30 args_bench_collector=64
fi

# name | what | figure | floor or reference | ratio | target
rows=()
status=0
for b in "${benches[@]}"; do
  arg_var="args_$b"
  out="$build/bench-$b.txt"
  start=$(date +%s)
  # shellcheck disable=SC2086 # some benchmarks take two arguments
  "$build/bench/$b" ${!arg_var} >"$out" 2>"$build/bench-$b.err"
  rc=$?
  secs=$(( $(date +%s) - start ))
  [ $rc -eq 0 ] || status=1
  case $b in
  bench_exchange)
    figure=$(awk '/^FsWrapper::exec/ {print $2 " us median"}' "$out")
    floor=$(awk '/reopened \(floor\)/ {print $5 " us"}' "$out")
    ratio=$(sed -n 's/^median ratio exec \/ floor (reopened): \([0-9.]*\).*/\1/p' "$out")
    target="<= 1.5" ;;
  bench_network)
    figure=$(sed -n 's/.*RESULT network exec_us=\([0-9.]*\).*/\1 us median over TCP/p' "$out")
    floor=$(sed -n 's/.*RESULT network.* bare_us=\([0-9.]*\).*/\1 us bare socket/p' "$out")
    ratio=$(sed -n 's/.*RESULT network.* ratio=\([0-9.]*\) threaded.*/\1/p' "$out")
    target="<= 1.2" ;;
  bench_testreceipt)
    figure=$(sed -n 's/.*RESULT testreceipt median_ms=\([0-9.]*\).*/\1 ms median/p' "$out")
    floor=$(sed -n 's/.*floor_ms=\([0-9.]*\).*/\1 ms/p' "$out")
    ratio=$(sed -n 's/.*RESULT testreceipt.* ratio=\([0-9.]*\).*/\1/p' "$out")
    target="-" ;;
  bench_logpane)
    figure=$(sed -n 's/.*RESULT logpane .* frame[0-9]*_us=\([0-9.]*\) ratio.*/\1 us last frame/p' "$out")
    floor=$(sed -n 's/.*frame100_us=\([0-9.]*\).*/\1 us frame 100/p' "$out")
    ratio=$(sed -n 's/.*RESULT logpane.* ratio=\([0-9.]*\).*/\1/p' "$out")
    target="<= 2" ;;
  bench_logging)
    figure=$(sed -n 's/.*cached_per_s=\([0-9]*\).*/\1 entries\/s/p' "$out")
    floor=$(sed -n 's/.*floor_per_s=\([0-9]*\).*/\1 entries\/s/p' "$out")
    ratio=$(sed -n 's/.*RESULT logging.* ratio=\([0-9.]*\).*/\1/p' "$out")
    target=">= 50000/s, <= 2" ;;
  bench_firmware)
    figure=$(sed -n 's/^ *median upload: *\([0-9.]*\) s.*/\1 s median/p' "$out")
    floor=$(sed -n 's/^ *floor (pauses + wire): *\([0-9.]*\) s.*/\1 s/p' "$out")
    ratio=$(sed -n 's/^ *ratio to floor: *\([0-9.]*\).*/\1/p' "$out")
    target="<= 1.2" ;;
  bench_soak)
    figure=$(sed -n 's/.*RESULT soak \(.*\)/\1/p' "$out")
    floor="-"
    ratio="-"
    target="0 mismatched, < 2048 KiB" ;;
  bench_emustate)
    figure=$(sed -n 's/^status request, *\([0-9]*\) documents: *\([0-9.]*\) us.*/\2 us status, \1 documents/p' "$out")
    floor=$(sed -n 's/^status request, no archive: *\([0-9.]*\) us.*/\1 us, no archive/p' "$out")
    ratio=$(sed -n 's/.*RESULT emustate status_ratio=\([0-9.]*\).*/\1/p' "$out")
    target="<= 1.2" ;;
  bench_cli)
    figure=$(sed -n 's/.*RESULT cli status_ms=\([0-9.]*\).*find16_ms=\([0-9.]*\).*/status \1 ms, find 16 ports \2 ms/p' "$out")
    floor=$(sed -n 's/.*floor_ms=\([0-9.]*\).*/\1 ms/p' "$out")
    ratio=$(sed -n 's/.*RESULT cli.* ratio=\([0-9.]*\).*/\1/p' "$out")
    target="<= 2, find < 1000 ms" ;;
  bench_collector)
    figure=$(sed -n 's/.*RESULT collector kb=\([0-9]*\) worst_s=\([0-9.]*\).*/\2 s CPU behind \1 KB of junk/p' "$out")
    floor="-"
    ratio="-"
    target="grows with the junk" ;;
  esac
  [ $rc -eq 0 ] || figure="FAILED (rc $rc, see $out)"
  rows+=("$b|${figure:-?}|${floor:-?}|${ratio:-?}|$target|${secs}s")
done

printf '%-18s | %-52s | %-22s | %-6s | %-24s | %s\n' benchmark figure "floor / reference" ratio target time
for r in "${rows[@]}"; do
  IFS='|' read -r n f fl ra t s <<<"$r"
  printf '%-18s | %-52s | %-22s | %-6s | %-24s | %s\n' "$n" "$f" "$fl" "$ra" "$t" "$s"
done
exit $status
