#!/usr/bin/env bash
# Builds the library alone from scratch in a build folder of its own, and
# reports the time the build took, the size of the stripped shared library
# and the parts of the library that contribute most to it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
build="$root/build/size-report"

bash "$root/scripts/install-deps.sh"
rm -rf "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQMSOA_BUILD_TESTS=OFF -DQMSOA_BUILD_BENCH=OFF -DQMSOA_BUILD_EXAMPLES=OFF >/dev/null
start=$(date +%s%N)
cmake --build "$build" -j "$jobs" --target qmsoaclient >/dev/null
end=$(date +%s%N)

library=$(find "$build" -maxdepth 1 -name 'libqmsoaclient.so.*.*.*' | head -n 1)
strip -o "$build/stripped.so" "$library"
echo "clean build of the library with $jobs jobs: $(awk -v t=$((end - start)) 'BEGIN { printf "%.1f", t / 1e9 }') s"
echo "stripped library: $(stat -c %s "$build/stripped.so") bytes"
echo
echo "largest sections of the stripped library (bytes):"
size -A "$build/stripped.so" | awk 'NR > 2 && $2 > 0 { printf "%10d  %s\n", $2, $1 }' | sort -rn | head -8
echo
# Object files by folder of their sources (generated sources by the folder
# they are generated for).
object_sizes() {
  find "$build" -name '*.o' -print0 | xargs -0 size | awk -v root="$build/" 'NR > 1 {
    file = $6; sub(root, "", file)
    if (match(file, /generated\//)) { rel = substr(file, RSTART + RLENGTH); tag = " (generated)" }
    else { rel = file; sub(/CMakeFiles\/[^\/]*\.dir\//, "", rel); tag = "" }
    print $1 + $2, rel, tag }'
}
echo "code and data by folder (bytes, from the object files):"
object_sizes | awk '{ dir = $2; sub(/\/[^\/]*$/, "", dir); total[dir ($3 == "" ? "" : " " $3)] += $1 }
  END { for (d in total) printf "%10d  %s\n", total[d], d }' | sort -rn | head -10
echo
echo "largest object files:"
object_sizes | awk '{ printf "%10d  %s %s\n", $1, $2, $3 }' | sort -rn | head -10
