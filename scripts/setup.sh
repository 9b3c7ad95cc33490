#!/usr/bin/env bash
# Installs what a group of tasks needs, only what is missing (Debian).
#
#   scripts/setup.sh [GROUP] [PACKAGE...]
#
# Groups, each a part of the next:
#   demo   the compiler, CMake, Ninja and GoogleTest: the default build
#          (the program, the simulator and the tests), all that
#          scripts/demo.sh needs;
#   bench  demo, and binutils and gnuplot for the benchmark's profile and plot;
#   rig    demo, and QEMU, the static busybox, cpio and the unpackers for
#          scripts/rig.sh (the kernel it fetches itself);
#   web    apart from the others: CMake, Ninja, emscripten (the web page,
#          scripts/web.sh) and Chromium (its tests; Node.js and npm are the
#          machine's own);
#   all    everything scripts/test.sh runs (the default), the rig's included.
# Further arguments are extra packages.
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

group=all
case "${1:-}" in
  demo | bench | rig | web | all) group=$1; shift ;;
esac

packages=(cmake ninja-build g++ libgtest-dev)
# The rig: the guest's machine, its userland, the initramfs's packer, and
# what takes the kernel and its modules apart.
rig_packages=(qemu-system-x86 busybox-static cpio xz-utils zstd binutils)
# The web page: the compiler and the browser its tests drive.
web_packages=(emscripten chromium)
case "$group" in
  rig) packages+=("${rig_packages[@]}") ;;
  web) packages=(cmake ninja-build "${web_packages[@]}") ;;
  bench) packages+=(binutils gnuplot-nox) ;;
  # g++-mingw-w64-x86-64-posix and wine: the Windows program and its tests;
  # dpkg-dev: dpkg-shlibdeps for the .deb's dependencies; groff-base: the
  # manual page check; lintian: the .deb's check. valgrind: the memcheck runs
  # of the tests; clang-14 and libfuzzer-14-dev: the fuzz targets; clang-tidy
  # and cppcheck: the static checks.
  all) packages+=(g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev groff-base lintian valgrind
    clang-14 libfuzzer-14-dev clang-tidy cppcheck "${rig_packages[@]}" "${web_packages[@]}") ;;
esac
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
