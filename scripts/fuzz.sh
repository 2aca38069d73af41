#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them side by side, each for a fixed
# time on top of its seed corpus in tests/fuzz/corpus. A crash, a leak, an
# input slower than the time-out or a memory blow-up fails the run; what
# failed is left under build/fuzz/runs/<target>-*.
#
#   FUZZ_SECONDS   time per target (30)
#   FUZZ_TARGETS   the targets to run (all five)
#   JOBS           build jobs (all processors)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
seconds=${FUZZ_SECONDS:-30}
targets=${FUZZ_TARGETS:-reply conversions pipe_replies fast_cache parser_differential}
build=$root/build/fuzz

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMSOA_WERROR=ON -DQMSOA_FUZZ=ON \
  -DQMSOA_BUILD_TESTS=OFF -DQMSOA_BUILD_BENCH=OFF -DQMSOA_BUILD_EXAMPLES=OFF
cmake --build "$build" -j "$jobs" --target \
  reply_fuzzer conversions_fuzzer pipe_replies_fuzzer fast_cache_fuzzer parser_differential_fuzzer
# Every target over its seeds first.
ctest --test-dir "$build" --output-on-failure -j "$jobs"

runs=$build/runs
rm -rf "$runs"
mkdir -p "$runs"
declare -A pids
for target in $targets; do
  mkdir -p "$runs/$target"
  dict=$root/tests/fuzz/$target.dict
  # Standard output closed: the fast cache reports every damage it meets there.
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$runs/$target-")
  [[ -f $dict ]] && args+=(-dict="$dict")
  # New inputs go to the first folder; the seeds in the tree stay as they are.
  "$build/tests/fuzz/${target}_fuzzer" "${args[@]}" "$runs/$target" \
    "$root/tests/fuzz/corpus/$target" >"$runs/$target.log" 2>&1 &
  pids[$target]=$!
done

failed=0
for target in $targets; do
  if wait "${pids[$target]}"; then
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$runs/$target.log")
    echo "fuzz $target: ${executed:-?} inputs in ${seconds} s, clean"
  else
    echo "fuzz $target: FAILED (log and input: $runs/$target*)"
    tail -n 40 "$runs/$target.log"
    failed=1
  fi
done
exit $failed
