#!/usr/bin/env bash
# Fails when a C++ source of the project is not in the project's clang-format
# style (.clang-format); `clang-format -i FILE` mends one.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- '*.cc' '*.h' '*.c' 2>/dev/null || true)
[ "${#files[@]}" -gt 0 ] || exit 0
if ! clang-format --dry-run -Werror "${files[@]}"; then
  echo "check-format: the files above are not formatted; run clang-format -i on them" >&2
  exit 1
fi
