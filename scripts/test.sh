#!/usr/bin/env bash
# Builds the program for Linux and Windows, the simulator and the tests, and
# runs every test: the Linux binary natively, the Windows binary under wine,
# the web page in headless Chromium, and the statically linked Linux binary
# on real serial drivers in a guest.
# Then builds the release packages and checks them, runs the static checks,
# the whole suite again under the sanitizers, and each fuzz target briefly.
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

scripts/setup.sh

# The Windows program first: the wine tests of the Linux build run it.
cmake --preset mingw >/dev/null
cmake --build --preset mingw

# A fresh wine prefix for every run, removed at its end (scripts/common.sh);
# scripts/package.sh below runs the packaged .exe in it too.
fresh_wine_prefix
# One wine server for all the tests instead of one start per test.
wineserver -p >/dev/null 2>&1 </dev/null &

cmake --preset default -DHALVORAN_WINDOWS_EXE="$PWD/build/mingw/src/halvoranupdate.exe" >/dev/null
cmake --build --preset default
ctest --preset default

# The web page: the program built with emscripten (scripts/web.sh), and its
# tests in headless Chromium, whose stand-in serial port leads to boxsim
# (tests/web; npm ci installs the pinned playwright-core, no browser).
web_start=$SECONDS
scripts/web.sh
npm ci --prefix tests/web --no-audit --no-fund
node --test tests/web/
echo "Web page tests: $((SECONDS - web_start)) s"

# The rig: every job on the Linux kernel's serial drivers (a 16550 UART and
# an FTDI USB adapter) in a QEMU guest, against boxsim on this host.
scripts/rig.sh

# The release packages: the .deb and the .zip, built and checked.
scripts/package.sh

# Static checks of the program's code: clang-tidy and cppcheck.
scripts/check.sh

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer
# in the program, the simulator and the tests. The wine tests are left out:
# the Windows program is not built with the sanitizers.
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan

# Each fuzz target for a short run from its seed corpus.
scripts/fuzz.sh
