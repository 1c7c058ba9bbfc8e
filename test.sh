#!/usr/bin/env bash
# Builds and runs the whole test suite: a normal build, then the same tests
# under AddressSanitizer + UndefinedBehaviorSanitizer and under
# ThreadSanitizer. Set VEL_SANITIZERS=0 to skip the sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300
}

run_suite build
if [ "${VEL_SANITIZERS:-1}" != "0" ]; then
  ASAN_OPTIONS=detect_leaks=1 run_suite build-asan -DVEL_SANITIZE=address -DVEL_BUILD_BENCH=OFF
  TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan -DVEL_SANITIZE=thread -DVEL_BUILD_BENCH=OFF
fi
