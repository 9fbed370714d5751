#!/usr/bin/env bash
# Checks that every C++ file is as clang-format writes it with the
# repository's .clang-format, and names the files that are not.
# `scripts/check-format.sh --fix` formats them in place instead.
# clang-format 14 (Debian 12) and 19 (Debian 13) agree on this tree.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./tests/web/node_modules -prune -o -path './build*' -prune \
    -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run -Werror "${files[@]}"; then
  echo "velmor: the files above are not formatted; scripts/check-format.sh --fix formats them" >&2
  exit 1
fi
echo "velmor: ${#files[@]} files formatted as .clang-format says"
