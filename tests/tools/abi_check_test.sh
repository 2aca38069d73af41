#!/usr/bin/env bash
# The ABI check on small libraries of its own, whose baseline it writes with
# --update: an exported class that grows, or an enum of the headers that no
# exported function uses renumbered, under the same SONAME fails it, and
# --update refuses it as a baseline; a new exported function, or the same
# changes under a new SONAME, pass it, the latter saying to renew the
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
enum Unused : int { FIRST = 1, SECOND = 2 };
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
check() { CXX=$cxx bash "$check" "$@" "$work/include" "$work/baseline.abi.xz"; }

library base 1
check --update "$work/base.so" >/dev/null
library added 1 -DADDED
check "$work/added.so"
library grown 1 -DGROWN
# refused <library> <what the report says>: the check and --update fail.
refused() {
  for update in "" --update; do
    if check $update "$1" >"$work/refused.txt" 2>&1; then
      echo "$1 passed the check $update" >&2
      exit 1
    fi
    grep -q "$2" "$work/refused.txt" || { cat "$work/refused.txt" >&2; exit 1; }
  done
}
refused "$work/grown.so" "size changed from 32 to 64"
sed -i 's/FIRST = 1, SECOND = 2/FIRST = 2, SECOND = 1/' "$work/include/Exported.hxx"
refused "$work/base.so" "Unused::FIRST"
library bumped 2 -DGROWN
check "$work/bumped.so" | grep -- "--update"
