#!/usr/bin/env bash
# Static checks of the program's code in src/: clang-tidy with .clang-tidy
# and cppcheck with .cppcheck-suppressions. Any finding fails the script.
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

scripts/setup.sh demo clang-tidy cppcheck g++-mingw-w64-x86-64-posix emscripten

# Compile databases only (configure, no build): the Linux build, which also
# holds the in-memory line of the fuzz targets, and the Windows build.
cmake --preset default -B build/check -DBUILD_TESTING=OFF >/dev/null
cmake --preset mingw -B build/check-mingw >/dev/null
# The web page's backends: emscripten's build, with the target and the
# system folders that em++ adds itself (its -mllvm options are the code
# generator's, which clang-tidy does not run).
NODE_PATH=/usr/share/nodejs cmake --preset web -B build/check-web >/dev/null
web_flags=()
skip=0
for flag in $(NODE_PATH=/usr/share/nodejs em++ --cflags); do
  if ((skip)); then skip=0; continue; fi
  if [ "$flag" = -mllvm ]; then skip=1; continue; fi
  web_flags+=("--extra-arg=$flag")
done

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
web_sources=(-name '*_web.cpp' -o -name '*_webserial.cpp')
find src -name '*.cpp' ! -name '*_win32.cpp' ! \( "${web_sources[@]}" \) -print0 | sort -z |
  xargs -0 -n1 -P2 clang-tidy --quiet -p build/check 2>/dev/null || status=1
# For the wasm target clang-tidy takes every extern declaration of
# globals.hpp for a dynamically initialised one: that check is left out here.
find src \( "${web_sources[@]}" \) -print0 | sort -z |
  xargs -0 -n1 -P2 clang-tidy --quiet -p build/check-web "${web_flags[@]}" \
    --checks=-bugprone-dynamic-static-initializers 2>/dev/null || status=1
find src -name '*_win32.cpp' -print0 | sort -z |
  xargs -0 -n1 -P2 clang-tidy --quiet -p build/check-mingw "${mingw_includes[@]}" 2>/dev/null ||
  status=1

echo "== cppcheck"
cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
  --std=c++20 --language=c++ --inline-suppr --suppressions-list=.cppcheck-suppressions \
  -I src --include=scripts/cppcheck_emscripten.h --template=gcc src || status=1

if ((status != 0)); then
  echo "static checks: findings above"
  exit 1
fi
echo "static checks: clean"
