#!/usr/bin/env bash
# Sets up the machine, builds the library and its tests twice (warnings as
# errors; AddressSanitizer + UndefinedBehaviorSanitizer), checks the first
# library's ABI against its baseline and runs the whole test suite on both
# builds, then the fuzz targets for a short time and the test programs that
# start threads under ThreadSanitizer. The layout of the sources and the
# links of the documents are checked first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
# The proxy-library doubles and launch scripts that the tests make are
# refused when users other than their owner may write them: whatever the
# caller's umask, the trees made here are written by their owner alone.
umask 022

bash "$root/scripts/install-deps.sh"

# The layout of the sources, before anything is built.
bash "$root/scripts/check-format.sh"
# The README and docs/: every link and anchor resolves, and the README stays
# within its length.
python3 "$root/scripts/check-docs.py"

. "$root/scripts/release-tree.sh"
configure_release_tree
cmake --build "$root/build/release" -j "$jobs"
# The library's ABI against the baseline kept in the tree.
bash "$root/scripts/abi-check.sh"
ctest --test-dir "$root/build/release" --output-on-failure -j "$jobs"

cmake -S "$root" -B "$root/build/sanitize" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DQMSOA_WERROR=ON -DQMSOA_SANITIZE=ON \
  -DQMSOA_BUILD_BENCH=OFF -DQMSOA_BUILD_EXAMPLES=OFF
cmake --build "$root/build/sanitize" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build/sanitize" --output-on-failure -j "$jobs"

# Fuzz targets: built with clang and run side by side for a short fixed time
# on top of their seed corpora (the gcc builds above ran them over the
# corpora as tests).
bash "$root/scripts/fuzz.sh"

# ThreadSanitizer over the test programs that start threads: the file-cache
# client with its loader and runtime, the fast cache, the first connections
# of a process made on two threads at once, the programs whose requests go
# to a loopback server on a thread of its own, IIOP connections made on
# several threads at once, and the wire values, whose objects share heap
# blocks across threads. Only these are built; each test carries its
# program's name as a label.
cmake -S "$root" -B "$root/build/tsan" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DQMSOA_WERROR=ON -DQMSOA_TSAN=ON \
  -DQMSOA_BUILD_BENCH=OFF -DQMSOA_BUILD_EXAMPLES=OFF
cmake --build "$root/build/tsan" -j "$jobs" --target qmsoa_threaded_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
  ctest --test-dir "$root/build/tsan" --output-on-failure -j "$jobs" \
    -L '^(fcc_|fastcache_|first_connections_tests|http_|iiop_threaded_tests|e2e_tests|model_tests|wire_tests)'
