#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the library's own sources
# with the compile commands of a clang build tree, and fails on any finding.
# Usage: tests/clang_tidy_check.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: clang_tidy_check.sh BUILD_DIR}
if ! command -v clang-tidy >/dev/null; then
  if [ -n "${CI:-}" ]; then
    echo "clang_tidy_check: clang-tidy is not installed" >&2
    exit 1
  fi
  echo "clang_tidy_check: skipped, clang-tidy not installed"
  exit 0
fi
files=(lib/library.cc lib/frame/*.cc lib/mapi/*.cc lib/send/*.cc lib/read/*.cc platform/platform_posix.cc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
printf '%s\n' "${files[@]}" |
  xargs -P "$(nproc 2>/dev/null || echo 2)" -n 4 clang-tidy -p "$build" --quiet >"$log" 2>/dev/null || true
if grep -q 'warning:\|error:' "$log"; then
  cat "$log"
  echo "clang_tidy_check: findings above" >&2
  exit 1
fi
echo "clang_tidy_check: ${#files[@]} files, no findings"
