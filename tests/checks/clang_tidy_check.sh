#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the sources of every module
# with the compile commands of a clang build tree, and fails on any finding.
# Compiler diagnostics count as findings too: in ./test.sh's tree, configured
# with VEL_THREAD_SAFETY, a lock the analysis finds not held is an error.
# Usage: tests/checks/clang_tidy_check.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:?usage: clang_tidy_check.sh BUILD_DIR}
if ! command -v clang-tidy >/dev/null; then
  if [ -n "${CI:-}" ]; then
    echo "clang_tidy_check: clang-tidy is not installed" >&2
    exit 1
  fi
  echo "clang_tidy_check: skipped, clang-tidy not installed"
  exit 0
fi
# Every module's sources that the build tree compiles (tests excluded; the
# Windows-only files have no compile command here).
modules='lib|platform|client|hosts/runtime|hosts/velhost|hosts/pgext|messages|providers|tools'
mapfile -t files < <(python3 - "$build/compile_commands.json" "$PWD" "$modules" <<'PY'
import json, os, re, sys
db, root, modules = sys.argv[1], sys.argv[2], sys.argv[3]
wanted = re.compile(r"^(%s)/" % modules)
seen = set()
for entry in json.load(open(db)):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if wanted.match(path) and "/test/" not in path and "/tests/" not in path:
        seen.add(path)
print("\n".join(sorted(seen)))
PY
)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
printf '%s\n' "${files[@]}" |
  xargs -P "$(nproc 2>/dev/null || echo 2)" -n 4 clang-tidy -p "$build" --quiet \
    --header-filter="^$PWD/($modules)/" >"$log" 2>/dev/null || true
if grep -q 'warning:\|error:' "$log"; then
  cat "$log"
  echo "clang_tidy_check: findings above" >&2
  exit 1
fi
echo "clang_tidy_check: ${#files[@]} files, no findings"
