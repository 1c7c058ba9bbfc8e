#!/usr/bin/env bash
# The mail request's round trip on Linux (build/) and on Windows under wine
# (build-win32/), measured one after the other, with the ratio. The goal is
# a Windows round trip within three times the Linux one. Both trees must
# have been built (./test.sh and ./test.sh --win32).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v wine >/dev/null || [ ! -x build-win32/lib/mailrequest_bench.exe ]; then
  echo "compare_win32.sh: skipped, no Windows tree built or no wine"
  exit 0
fi
linux=$(cd build && VEL_LIB_DIR=lib bin/mailrequest_bench \
          --benchmark_filter=BM_MailRequestRoundTrip 2>/dev/null |
        awk '/^BM_MailRequestRoundTrip/ {print $2; exit}')
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velmail-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
wineboot --init >/dev/null 2>&1
wineserver -w
windows=$(cd build-win32/lib && VEL_LIB_DIR=. wine mailrequest_bench.exe 2>/dev/null |
          awk '/^BM_MailRequestRoundTrip/ {print $2; exit}')
awk -v l="$linux" -v w="$windows" 'BEGIN {
  printf "mail request round trip: Linux %.0f ns, Windows (wine) %.0f ns, ratio %.2f (goal: at most 3)\n",
         l, w, w / l }'
