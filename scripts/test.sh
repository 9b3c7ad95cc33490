#!/usr/bin/env bash
# Builds the program for Linux and Windows, the simulator and the tests, and
# runs every test: the Linux binary natively, the Windows binary under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

# The Windows program first: the wine tests of the Linux build run it.
cmake --preset mingw >/dev/null
cmake --build --preset mingw

# A fresh wine prefix for this run; wine's own chatter stays out of the output.
export WINEPREFIX="${WINEPREFIX:-$(mktemp -d /tmp/halvoran-wine.XXXXXX)}"
export WINEDEBUG=-all
wineboot -i >/dev/null 2>&1 || true
# One wine server for all the tests instead of one start per test.
wineserver -p >/dev/null 2>&1 </dev/null &
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

cmake --preset default -DHALVORAN_WINDOWS_EXE="$PWD/build/mingw/src/halvoranupdate.exe" >/dev/null
cmake --build --preset default
ctest --preset default
