#!/bin/sh
# Runs a Windows program of the build under wine (the emulator of the
# cross-compiled tree). The prefix is the caller's WINEPREFIX; test.sh
# --win32 makes a fresh one for each run.
WINEDEBUG=${WINEDEBUG:--all}
export WINEDEBUG
exec wine "$@"
