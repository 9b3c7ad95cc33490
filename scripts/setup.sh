#!/usr/bin/env bash
# Installs what building and testing need, only what is missing (Debian).
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

# dpkg-dev: dpkg-shlibdeps for the .deb's dependencies; groff-base: the
# manual page check; lintian: the .deb's check.
# valgrind: the memcheck runs of the tests; clang-14 and libfuzzer-14-dev:
# the fuzz targets; clang-tidy and cppcheck: the static checks.
packages=(cmake ninja-build g++ libgtest-dev g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev
    groff-base lintian valgrind clang-14 libfuzzer-14-dev clang-tidy cppcheck "$@")
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
