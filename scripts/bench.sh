#!/usr/bin/env bash
# Sets up the machine, builds the benchmarks (release build) and runs every
# benchmark program, then prints one table of all their figures: each
# figure, its value, its budget and whether it is within. Arguments are
# passed to every program (e.g. --rounds=9, --benchmark_filter=...).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
build="$root/build/release"

bash "$root/scripts/install-deps.sh"
. "$root/scripts/release-tree.sh"
configure_release_tree >/dev/null
cmake --build "$build" -j "$jobs" --target benchmarks

figures="$build/bench/figures.tsv"
rm -f "$figures"
while read -r program; do
  [ -n "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" --figures="$figures" "$@"
done < "$build/bench/programs.txt"

echo
echo "== All figures"
"$build/bench/bench_table" "$figures" || true
