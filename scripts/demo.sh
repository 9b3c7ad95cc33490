#!/usr/bin/env bash
# Builds the program and the box simulator and runs every job of the program
# against simulated boxes on pseudo-terminals: a firmware update, a channel
# list saved from one box, loaded into a second box with other contents and
# saved from it again, so that the two lists can be compared.
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

scripts/setup.sh demo
# The test build's folder, configured as scripts/test.sh configures it (with
# the tests), so that either script can run first; only the program and the
# simulator are built here.
cmake --preset default >/dev/null
cmake --build --preset default --target halvoranupdate boxsim

bin=$PWD/build/default/src/halvoranupdate
sim=$PWD/build/default/sim/boxsim
# The demo's files stay for a look afterwards; the simulated boxes end with it.
work=$(mktemp -d /tmp/halvoran-demo.XXXXXX)
pids=()
# shellcheck disable=SC2016 # expanded when the script ends
at_exit 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null'

# start_box NAME SEED: a simulated box reachable as $work/NAME.
start_box() {
  "$sim" --state "$work/$1.state" --link "$work/$1" --transcript "$work/$1.transcript" \
    --seed "$2" --sat 12 --tp 80 --tv 200 --radio 60 --fav 40 >/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [ -e "$work/$1" ] && break; sleep 0.05; done
}
run() {
  echo
  echo "\$ halvoranupdate $*"
  "$bin" "$@" </dev/null || echo "(exit status $?)"
}

start_box box1 1
start_box box2 2

echo "== A firmware image made here: the header \"010\", two bytes, \"ZOVA\", the"
echo "   version text the simulated box will report, then 64 KiB of content."
{ printf '010\001\002ZOVA2.00 demo  '; head -c 65536 /dev/urandom; } >"$work/demo.zova"
run "$work/box1" "$work/demo.zova"

echo
echo "== Save the list of box 1, load it into box 2, save box 2's list again."
run "$work/box1" s "$work/box1.cxf"
run "$work/box2" l "$work/box1.cxf"
run "$work/box2" s "$work/box2.cxf"
echo

echo "== The header of the saved list:"
od -A d -t x1z -N 128 "$work/box1.cxf"
echo
if cmp -s <(tail -c +73 "$work/box1.cxf") <(tail -c +73 "$work/box2.cxf"); then
  echo "== Both lists hold the same offsets, counts and records (only the info text's time may differ)."
else
  echo "== The lists differ!"
  exit 1
fi
echo
echo "== What box 2 received (commands; raw blocks are noted with their length and CRC):"
cat "$work/box2.transcript"
echo
echo "Files are in $work"
