#!/usr/bin/env bash
# The ABI check on small libraries of its own, whose baseline it writes with
# --update: an exported class that grows under the same SONAME fails it, and
# --update refuses it as a baseline; a new exported function, or the same
# growth under a new SONAME, passes it, the latter saying to renew the
# baseline.
# usage: abi_check_test.sh <C++ compiler> <scratch folder>
set -euo pipefail
cxx=$1
work=$2
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/abi-check.sh
rm -rf "$work"
mkdir -p "$work/include"
cat >"$work/include/Exported.hxx" <<'HEADER'
struct __attribute__((visibility("default"))) Exported {
  Exported();
  int first;
#ifdef GROWN
  int added;
#endif
};
#ifdef ADDED
__attribute__((visibility("default"))) int added();
#endif
HEADER
cat >"$work/Exported.cxx" <<'SOURCE'
#include "Exported.hxx"
Exported::Exported() : first(1) {}
#ifdef ADDED
int added() { return 2; }
#endif
SOURCE
# library <name> <SONAME's version> <definitions>...
library() {
  "$cxx" -shared -fPIC -g -fvisibility=hidden -I"$work/include" "${@:3}" \
    -Wl,-soname,libexported.so."$2" -o "$work/$1.so" "$work/Exported.cxx"
}
check() { bash "$check" "$@" "$work/include" "$work/baseline.abi.xz"; }

library base 1
check --update "$work/base.so" >/dev/null
library added 1 -DADDED
check "$work/added.so"
library grown 1 -DGROWN
for update in "" --update; do
  if check $update "$work/grown.so" >"$work/grown.txt" 2>&1; then
    echo "a class that grew under the same SONAME passed the check $update" >&2
    exit 1
  fi
  grep -q "size changed from 32 to 64" "$work/grown.txt" || { cat "$work/grown.txt" >&2; exit 1; }
done
library bumped 2 -DGROWN
check "$work/bumped.so" | grep -- "--update"
