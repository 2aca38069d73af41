#!/usr/bin/env bash
# The installed library as an application developer meets it. Installs the
# built library into a scratch prefix, then:
#   1. checks that everything the installed headers declare for a caller
#      links against the installed library, and that each header outside
#      the typed model compiles on its own, with C++17 and with C++20;
#   2. builds an application that includes every installed header, with
#      C++17 and with C++20, through the CMake package and through
#      pkg-config, and runs each build as a user would (no LD_LIBRARY_PATH);
#   3. follows the README's section "A first application" word for word:
#      its commands (on a free port in place of 8642, with HOME in the
#      scratch folder), its two files saved in the walk-through's folder,
#      and the output it shows;
#   4. follows its section "Moving files" in the same way (with the pipes
#      in a scratch folder of their own);
#   5. checks that the two left nothing in the checkout but its build tree.
# usage: run.sh <build tree> <scratch folder>
set -euo pipefail
build=$(cd "$1" && pwd)
work=$2
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../.." && pwd)
jobs=${JOBS:-3}

# expect_printed <what> <output the README shows> <what was printed> <times>:
# the README's output stands in what was printed exactly <times> times, but
# for the milliseconds that libcurl's reasons count ("after 0 ms").
expect_printed() {
  if ! python3 -c 'import re, sys
expected, seen = (re.sub(r" after \d+ ms", " after N ms", open(p).read()) for p in sys.argv[1:3])
sys.exit(seen.count(expected) != int(sys.argv[3]))' "$2" "$3" "$4"; then
    echo "$1's output differs from the README's:" >&2
    cat "$3" >&2
    exit 1
  fi
}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
unset LD_LIBRARY_PATH
export PKG_CONFIG_PATH=$(ls -d "$prefix"/lib*/pkgconfig | head -n 1)
read -r -a cflags <<<"$(pkg-config --cflags qmsoaclient)"
read -r -a libs <<<"$(pkg-config --libs qmsoaclient)"
libdir=$(pkg-config --variable=libdir qmsoaclient)

# 1. What the headers declare, against what the library exports.
(cd "$prefix/include" && find . -type f \( -name '*.hxx' -o -name '*.hh' -o -name '*.h' \) |
  sed 's|^\./||' | LC_ALL=C sort) >"$work/headers.txt"
sed 's|.*|#include <&>|' "$work/headers.txt" >"$work/all_headers.cxx"
clang++ -std=c++17 -fsyntax-only -Wno-everything "${cflags[@]}" -Xclang -ast-dump=json \
  -Xclang -ast-dump-filter=Quillomark "$work/all_headers.cxx" >"$work/ast.json"
nm -D --defined-only "$libdir/libqmsoaclient.so" | awk '{print $NF}' >"$work/exported.txt"
if ! python3 "$here/linkable.py" "$work/ast.json" "$work/exported.txt" >"$work/unlinkable.txt"; then
  echo "installed headers declare what the library does not export:" >&2
  cat "$work/unlinkable.txt" >&2
  exit 1
fi
for std in 17 20; do
  grep -v '^soa/client/model/[^/]*$' "$work/headers.txt" |
    xargs -P "$jobs" -I{} sh -c 'echo "#include <{}>" |
      c++ -std=c++'"$std"' -Wall -Wextra -Werror -fsyntax-only -x c++ "$@" - ||
      { echo "{} does not compile on its own (C++'"$std"')" >&2; exit 255; }' sh "${cflags[@]}"
done

# The installed headers declare the wire types' members by name, with none
# of the macros that once pasted them together.
grep -q "getPropertieArray()" "$prefix/include/soa/schemas/base/ModelObject.hxx"
if grep -rl "QMSOA_WIRE_" "$prefix/include"; then
  echo "installed headers define or use QMSOA_WIRE_ macros" >&2
  exit 1
fi

# 2. An application that includes every installed header.
for std in 17 20; do
  cmake -S "$here/app" -B "$work/app$std" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_STANDARD=$std -DCONSUMER_SOURCES="$work/all_headers.cxx" >/dev/null
  cmake --build "$work/app$std" >/dev/null
  "$work/app$std/consumer" >/dev/null

  c++ -std=c++$std -DCONSUMER_CXX_STANDARD=$std -Wall -Wextra -Werror \
    -o "$work/consumer-pc$std" "$here/app/main.cxx" \
    "$work/all_headers.cxx" "${cflags[@]}" "${libs[@]}" -Wl,-rpath,"$libdir"
  "$work/consumer-pc$std" >/dev/null
done

# 3. The README's first application. The commands run at the top of a
# stand-in checkout whose build tree is the one under test; the files go
# into the folders that the README makes for them before it saves them.
first=$work/readme
checkout=$work/checkout
walkthrough=$work/home/qmsoa-walkthrough
mkdir -p "$checkout/build"
ln -s "$build" "$checkout/build/release"
python3 "$here/readme_blocks.py" "$source/README.md" "$first"
(HOME=$work/home && . "$first/first-folder.sh" && . "$first/transfer-folder.sh")
cp -r "$first/first" "$first/transfer" "$walkthrough/"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
sed -i "s/8642/$port/g" "$first/commands.sh"
(
  cd "$checkout"
  export HOME=$work/home
  unset PKG_CONFIG_PATH
  # The service runs in the background: it must end with the commands.
  trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
  set -e
  . "$first/commands.sh"
) >"$first/stdout.txt"
# Each of the two builds printed the output that the README shows.
expect_printed "the first application" "$first/output.txt" "$first/stdout.txt" 2

# 4. The README's file-transfer example, in the same folder after the first.
ipc=$(mktemp -d)
trap 'rm -rf "$ipc"' EXIT
(
  cd "$checkout"
  export HOME=$work/home FMS_IPC_DIR=$ipc
  unset PKG_CONFIG_PATH FMS_HOME FCC_PROXYPIPENAME FMS_FCCPROXYLOG
  trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
  set -e
  . "$first/transfer-commands.sh"
) >"$first/transfer-stdout.txt"
expect_printed "the file-transfer example" "$first/transfer-output.txt" \
  "$first/transfer-stdout.txt" 1

# 5. The walk-throughs wrote into their own folder, not into the checkout.
if [ "$(ls -A "$checkout")" != build ] || [ "$(ls -A "$checkout/build")" != release ]; then
  echo "the README's walk-throughs left files in the checkout:" >&2
  ls -AR "$checkout" | grep -v '^$' >&2
  exit 1
fi
