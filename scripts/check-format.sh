#!/usr/bin/env bash
# Checks that every C and C++ source of the tree is laid out as .clang-format
# says; lists the files that are not and fails. `--fix` lays them out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.c' '*.cxx' '*.hxx' '*.h' '*.cc' '*.hh')
else
  mapfile -t files < <(find . -path ./build -prune -o -type f \
    \( -name '*.c' -o -name '*.cxx' -o -name '*.hxx' -o -name '*.h' -o -name '*.cc' \) -print)
fi

if [ "${1:-}" = "--fix" ]; then
  printf '%s\0' "${files[@]}" | xargs -0 -n 20 -P "$(nproc)" clang-format -i
  exit 0
fi

unformatted=()
for f in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
    unformatted+=("$f")
  fi
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "Not laid out as .clang-format says (bash scripts/check-format.sh --fix):"
  printf '  %s\n' "${unformatted[@]}"
  exit 1
fi
echo "Layout: ${#files[@]} sources as .clang-format says"
