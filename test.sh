#!/usr/bin/env bash
# Builds and runs the whole test suite. With VEL_SANITIZERS=1 the library's
# locking is checked with clang's thread-safety analysis, and the same tests
# then run again under AddressSanitizer + UndefinedBehaviorSanitizer and
# under ThreadSanitizer (each in a build of its own).
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300
}

run_suite build -DVEL_BUILD_BENCH=ON
if [ "${VEL_SANITIZERS:-0}" = "1" ]; then
  # The library's locking, checked by clang's thread-safety analysis.
  CC=clang CXX=clang++ cmake -S . -B build-tsa -G Ninja -DVEL_THREAD_SAFETY=ON -DVEL_BUILD_BENCH=OFF
  cmake --build build-tsa -j"$jobs" --target velmail_objs
  # GLib (under the maildir provider) keeps a few bytes for good.
  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
    run_suite build-asan -DVEL_SANITIZE=address -DVEL_BUILD_BENCH=OFF
  G_SLICE=always-malloc TSAN_OPTIONS="halt_on_error=1:suppressions=$PWD/tests/tsan.supp" \
    run_suite build-tsan -DVEL_SANITIZE=thread -DVEL_BUILD_BENCH=OFF
fi
