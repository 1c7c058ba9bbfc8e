#!/bin/sh
# Fails when a C++ file of the tree is not laid out as .clang-format says
# (clang-format --dry-run --Werror). Outside CI a missing clang-format
# skips (exit 77) with its reason; in CI it fails.
root=${1:-.}
if ! command -v clang-format >/dev/null 2>&1; then
  echo "format check: clang-format is not installed (package clang-format)"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
cd "$root" || exit 1
find . \( -path './build*' -o -path './.git' \) -prune -o \
  \( -name '*.cc' -o -name '*.h' \) -type f -print | sort |
  xargs clang-format --dry-run --Werror
