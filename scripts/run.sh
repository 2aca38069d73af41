#!/usr/bin/env bash
# Sets up the machine, builds the library and runs the example application.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}

bash "$root/scripts/install-deps.sh"
. "$root/scripts/release-tree.sh"
configure_release_tree >/dev/null
cmake --build "$root/build/release" -j "$jobs" --target qmsoa_example
"$root/build/release/examples/qmsoa_example" "$@"
