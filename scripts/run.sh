#!/usr/bin/env bash
# Sets up the machine, builds the library and runs the example application.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/release" -j "$jobs" --target qmsoa_example
"$root/build/release/examples/qmsoa_example" "$@"
