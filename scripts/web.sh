#!/usr/bin/env bash
# Builds the web page: the program's code as WebAssembly (emscripten, from
# Debian's package) and the page around it, into one folder that works
# opened as a local file and from any static host:
#
#   scripts/web.sh
#
# Installs emscripten when it is missing (scripts/setup.sh web).
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

command -v em++ >/dev/null || scripts/setup.sh web
# Debian's emscripten finds its JavaScript tools (acorn) there.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
cmake --preset web >/dev/null
cmake --build --preset web
page=$PWD/build/web/page
echo
echo "Die Seite ist fertig: $page"
echo "Im Browser oeffnen: file://$page/index.html"
echo "(oder den Ordner auf einen beliebigen Webserver legen)"
