#!/usr/bin/env bash
# Builds and runs the whole test suite; as root it first installs what the
# tests need (.ci/deps.sh), as another user it says what is missing. With
# VEL_SANITIZERS=1 every module's locking is checked with clang's
# thread-safety analysis and its sources with clang-tidy, and the same tests
# then run again under AddressSanitizer + UndefinedBehaviorSanitizer and
# under ThreadSanitizer (each in a build of its own).
#
# ./test.sh --win32 instead builds the 32-bit Windows tree (build-win32/,
# cross-compiled with mingw-w64) and runs its suite under wine, in a fresh
# wine prefix of its own that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

# What the tests need from Debian (.ci/deps.sh): installed when run as root;
# otherwise one line says what is missing and which tests skip for it.
if [ "$(id -u)" = "0" ]; then
  .ci/deps.sh install
else
  .ci/deps.sh check | sed 's/^/test.sh: /' || true
fi

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300
}

run_win32() {
  local missing=()
  command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686)
  command -v wine >/dev/null || missing+=(wine)
  if [ ${#missing[@]} -gt 0 ]; then
    if [ -n "${CI:-}" ]; then
      echo "test.sh --win32: missing ${missing[*]}" >&2
      exit 1
    fi
    echo "test.sh --win32: skipped, ${missing[*]} not installed"
    return 0
  fi
  # A prefix of our own; its wineserver is stopped by that prefix at the end.
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velmail-wine.XXXXXX")
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
  wineboot --init >/dev/null 2>&1
  wineserver -w
  # Discovery runs the test programs under wine while building.
  cmake -S . -B build-win32 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake "$@"
  cmake --build build-win32 -j"$jobs"
  # Keep one wineserver up for the whole run instead of one per program,
  # and let the prefix finish starting its own services first.
  wineserver -p
  wine cmd /c exit >/dev/null 2>&1 || true
  ctest --test-dir build-win32 --output-on-failure -j"$jobs" --timeout 120
}

if [ "${1:-}" = "--win32" ]; then
  shift
  run_win32 "$@"
  exit 0
fi

run_suite build -DVEL_BUILD_BENCH=ON -DVEL_STRICT=ON
if [ "${VEL_SANITIZERS:-0}" = "1" ]; then
  # The locking of every module, checked by clang's thread-safety analysis
  # (-Werror=thread-safety in this tree's compile commands), and its
  # sources, checked by clang-tidy's checks (.clang-tidy): one clang-tidy
  # run over the library, the platform layer, the host runtime and
  # programs, the client stand-in, the messages, every provider and tool
  # and the database extension does both (tests and benchmarks are left
  # out), failing on any finding or error; nothing needs building for it.
  CC=clang CXX=clang++ cmake -S . -B build-tsa -G Ninja -DVEL_THREAD_SAFETY=ON -DVEL_BUILD_BENCH=OFF \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
  tests/checks/clang_tidy_check.sh build-tsa
  # GLib (under the maildir provider) keeps a few bytes for good.
  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0" \
    run_suite build-asan -DVEL_SANITIZE=address -DVEL_BUILD_BENCH=OFF
  G_SLICE=always-malloc TSAN_OPTIONS="halt_on_error=1:suppressions=$PWD/tests/support/tsan.supp" \
    run_suite build-tsan -DVEL_SANITIZE=thread -DVEL_BUILD_BENCH=OFF
fi
