#!/usr/bin/env bash
# Compares the ABI of the library (the types and functions of its installed
# headers, as abidw reads them from its debug information) with the baseline
# kept in abi/libqmsoaclient.abi.xz, and fails where a program built against
# the baseline would notice the change while the SONAME stayed the same: a
# layout, a signature or a virtual table changed, or something went. New
# functions and variables pass. Where the SONAME differs from the
# baseline's, the check passes and says to renew the baseline. --update
# writes the library's ABI as the new baseline; under the baseline's SONAME
# only where the check passes, to record what was added.
# usage: abi-check.sh [--update]
#          the library of the release tree (build/release), built here
#        abi-check.sh [--update] <library> <headers folder> <baseline>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
update=false
if [ "${1:-}" = "--update" ]; then
  update=true
  shift
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $# -eq 0 ]; then
  . "$root/scripts/release-tree.sh"
  configure_release_tree >/dev/null
  cmake --build "$root/build/release" -j "${JOBS:-$(nproc)}" --target qmsoaclient >/dev/null
  # Only the installed headers are the library's public ones.
  cmake --install "$root/build/release" --prefix "$work/prefix" >/dev/null
  set -- "$root/build/release/libqmsoaclient.so" "$work/prefix/include" \
    "$root/abi/libqmsoaclient.abi.xz"
elif [ $# -ne 3 ]; then
  echo "usage: $0 [--update] [<library> <headers folder> <baseline>]" >&2
  exit 2
fi
library=$1
headers=$2
baseline=$3

# Without debug information abidw sees the symbols alone, and no layout.
if ! readelf -S --wide "$library" | grep ' \.debug_info ' >/dev/null; then
  echo "$library has no debug information: its ABI cannot be read" >&2
  exit 1
fi
# Nothing of the lines of the sources or of the libraries that it needs;
# the paths of its sources are made relative to the tree.
abidw --no-show-locs --no-corpus-path --no-comp-dir-path --no-parameter-names \
  --no-elf-needed --drop-undefined-syms --headers-dir "$headers" --drop-private-types \
  --out-file "$work/current.abi" "$library"
sed -i "s|path='$(printf '%s' "$root/" | sed 's/[][\\.*^$|]/\\&/g')|path='|" "$work/current.abi"
soname() { grep -o -m 1 "soname='[^']*'" "$1" | cut -d "'" -f 2; }
current=$(soname "$work/current.abi")

previous=none
if [ -f "$baseline" ]; then
  xz -dc "$baseline" >"$work/baseline.abi"
  previous=$(soname "$work/baseline.abi")
elif ! $update; then
  echo "no ABI baseline at $baseline (bash scripts/abi-check.sh --update writes it)" >&2
  exit 1
fi

# The standard library's templates that the library instantiates are
# exported too, but a program that uses one makes its own: one that the
# library no longer instantiates is no loss.
cat >"$work/suppressions" <<'SUPPRESSIONS'
[suppress_function]
  name_regexp = ^std::
  change_kind = deleted-function
SUPPRESSIONS
# compare [<abidiff option>...]: abidiff's status against the baseline, its
# report in report.txt. The status: bit 0 an error, bit 1 a usage error,
# bit 2 a change, bit 3 a change known to be incompatible.
compare() {
  local status=0
  abidiff "$@" --suppressions "$work/suppressions" \
    "$work/baseline.abi" "$work/current.abi" >"$work/report.txt" || status=$?
  if [ $((status & 3)) -ne 0 ]; then
    cat "$work/report.txt" >&2
    echo "abidiff could not compare the ABI with the baseline (status $status)" >&2
    exit 1
  fi
  return "$status"
}

if [ "$current" = "$previous" ]; then
  # Built elsewhere, the same code gives a file that abidw ordered in
  # another way: a renewal that finds nothing new keeps the file.
  if $update && compare; then
    echo "ABI baseline of $current unchanged"
    exit 0
  fi
  if ! compare --no-added-syms; then
    {
      echo "The ABI of $current changed and its SONAME did not: programs built against"
      echo "the baseline would break. Raise the project's major version (the SONAME's),"
      echo "then renew the baseline (bash scripts/abi-check.sh --update). abidiff:"
      head -n 200 "$work/report.txt"
      lines=$(wc -l <"$work/report.txt")
      [ "$lines" -le 200 ] || echo "... (the first 200 of $lines lines)"
    } >&2
    exit 1
  fi
fi

if $update; then
  mkdir -p "$(dirname "$baseline")"
  # One thread: the same file gives the same bytes.
  xz -9 -T1 -c "$work/current.abi" >"$work/baseline.xz"
  mv "$work/baseline.xz" "$baseline"
  echo "ABI baseline of $current written to $baseline"
elif [ "$current" != "$previous" ]; then
  echo "ABI: the SONAME is $current, the baseline's $previous:" \
    "renew the baseline (bash scripts/abi-check.sh --update)"
else
  echo "ABI: $current as in the baseline, but for what it adds"
fi
