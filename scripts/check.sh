#!/usr/bin/env bash
# Static checks of the program's code in src/: clang-tidy with .clang-tidy
# and cppcheck with .cppcheck-suppressions. Any finding fails the script.
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

scripts/setup.sh demo clang-tidy cppcheck g++-mingw-w64-x86-64-posix

# Compile databases only (configure, no build): the Linux build, which also
# holds the in-memory line of the fuzz targets, and the Windows build.
cmake --preset default -B build/check -DBUILD_TESTING=OFF >/dev/null
cmake --preset mingw -B build/check-mingw >/dev/null

# clang-tidy parses the Windows sources as the cross compiler's target but
# does not know that compiler's C++ library: hand it its include folders.
mingw_includes=()
while read -r dir; do
  mingw_includes+=("--extra-arg=-isystem$dir")
done < <(echo | x86_64-w64-mingw32-g++-posix -E -x c++ - -v 2>&1 |
  sed -n '/#include <...> search starts here/,/End of search/p' | grep '^ /' |
  grep -v -e '/include-fixed$' -e '-posix/include$' | sed 's/^ //')

status=0
echo "== clang-tidy"
find src -name '*.cpp' ! -name '*_win32.cpp' -print0 | sort -z |
  xargs -0 -n1 -P2 clang-tidy --quiet -p build/check 2>/dev/null || status=1
find src -name '*_win32.cpp' -print0 | sort -z |
  xargs -0 -n1 -P2 clang-tidy --quiet -p build/check-mingw "${mingw_includes[@]}" 2>/dev/null ||
  status=1

echo "== cppcheck"
cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
  --std=c++20 --language=c++ --inline-suppr --suppressions-list=.cppcheck-suppressions \
  -I src --template=gcc src || status=1

if ((status != 0)); then
  echo "static checks: findings above"
  exit 1
fi
echo "static checks: clean"
