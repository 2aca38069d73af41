#!/usr/bin/env bash
# Compares the ABI of the library (the types and functions of its installed
# headers, as abidw reads them from its debug information) with the baseline
# kept in abi/libqmsoaclient.abi.xz, and fails where a program built against
# the baseline would notice the change while the SONAME stayed the same: a
# layout, a signature or a virtual table changed, or something went. The
# values of the headers' enumerators and constants, which a program builds
# in whether or not an exported function carries them, are compared with
# those kept beside it (abi/libqmsoaclient.values): one that changed or went
# fails too. New functions, variables and values pass. Where the SONAME
# differs from the baseline's, the check passes and says to renew the
# baseline. --update writes the library's ABI and values as the new
# baseline; under the baseline's SONAME only where the check passes, to
# record what was added.
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
headers=$(cd "$2" && pwd)
baseline=$3
values=${baseline%.abi.xz}.values

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
# Every enumerator and constant that the headers declare, with its value
# ("<qualified name> <value>" lines), as the compiler's debug information
# gives them for a unit that includes every header and keeps every type (a
# class's constant may stand outside its class there, named by its symbol).
find "$headers" -type f \( -name '*.h' -o -name '*.hh' -o -name '*.hxx' -o -name '*.hpp' \) |
  LC_ALL=C sort | sed 's|.*|#include "&"|' >"$work/headers.cxx"
"${CXX:-c++}" -std=c++17 -w -g -fno-eliminate-unused-debug-types -c -I"$headers" \
  -o "$work/headers.o" "$work/headers.cxx"
llvm-dwarfdump --debug-info "$work/headers.o" | python3 -c '
import re, sys
headers = sys.argv[1] + "/"
scopes = ("DW_TAG_namespace", "DW_TAG_class_type", "DW_TAG_structure_type",
          "DW_TAG_union_type", "DW_TAG_enumeration_type")
dies = []
for line in sys.stdin:
    die = re.match(r"0x[0-9a-f]+:( +)(\w+)", line)
    attribute = re.match(r"\s+(DW_AT_\w+)\s+\((.*)\)$", line)
    if die:
        dies.append(((len(die.group(1)) - 1) // 2, die.group(2), {}))
    elif attribute and dies:
        dies[-1][2][attribute.group(1)] = attribute.group(2).strip("\"")
found = set()
outer = []
for depth, tag, attributes in dies:
    del outer[depth:]
    outer.append((tag, attributes))
    name = attributes.get("DW_AT_name")
    if not name or "DW_AT_const_value" not in attributes:
        continue
    if tag == "DW_TAG_enumerator":
        declared = outer[-2][1]
    elif tag in ("DW_TAG_variable", "DW_TAG_member"):
        declared = attributes
    else:
        continue
    if not declared.get("DW_AT_decl_file", "").startswith(headers):
        continue
    if not all(t in scopes for t, _ in outer[1:-1]):
        continue  # a constant of a function
    value = attributes["DW_AT_const_value"]
    try:
        value = str(int(value, 0))
    except ValueError:
        pass
    names = [a["DW_AT_name"] for _, a in outer[1:] if "DW_AT_name" in a]
    found.add(attributes.get("DW_AT_linkage_name", "::".join(names)) + " " + value)
print("\n".join(found))
' "$headers" | c++filt | LC_ALL=C sort >"$work/values"
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
if [ -f "$values" ]; then
  cp "$values" "$work/baseline.values"
elif [ -f "$baseline" ] && ! $update; then
  echo "no values baseline at $values (bash scripts/abi-check.sh --update writes it)" >&2
  exit 1
else
  : >"$work/baseline.values"
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
    if cmp -s "$work/baseline.values" "$work/values"; then
      echo "ABI baseline of $current unchanged"
      exit 0
    fi
    cp "$work/baseline.abi" "$work/current.abi"
  fi
  # The values that changed or went, each with what it is now.
  LC_ALL=C comm -23 "$work/baseline.values" "$work/values" | awk '
    NR == FNR { now[$1] = $2; next }
    { print $1 ": " $2 " in the baseline, " ($1 in now ? now[$1] : "gone") " now" }
  ' "$work/values" - >"$work/values.txt"
  if ! compare --no-added-syms || [ -s "$work/values.txt" ]; then
    {
      echo "The ABI of $current changed and its SONAME did not: programs built against"
      echo "the baseline would break. Raise the project's major version (the SONAME's),"
      echo "then renew the baseline (bash scripts/abi-check.sh --update)."
      if [ -s "$work/values.txt" ]; then
        echo "Values of the headers:"
        cat "$work/values.txt"
      fi
      lines=$(wc -l <"$work/report.txt")
      if [ "$lines" -gt 0 ]; then
        echo "abidiff:"
        head -n 200 "$work/report.txt"
        [ "$lines" -le 200 ] || echo "... (the first 200 of $lines lines)"
      fi
    } >&2
    exit 1
  fi
fi

if $update; then
  mkdir -p "$(dirname "$baseline")"
  # One thread: the same file gives the same bytes.
  xz -9 -T1 -c "$work/current.abi" >"$work/baseline.xz"
  mv "$work/baseline.xz" "$baseline"
  cp "$work/values" "$values"
  echo "ABI baseline of $current written to $baseline and $values"
elif [ "$current" != "$previous" ]; then
  echo "ABI: the SONAME is $current, the baseline's $previous:" \
    "renew the baseline (bash scripts/abi-check.sh --update)"
else
  echo "ABI: $current as in the baseline, but for what it adds"
fi
