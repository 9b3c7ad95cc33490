#!/usr/bin/env bash
# Repeats a paced full-box load and counts the runs that pass: the list of a
# full box (250 satellites, 4000 transponders, 5000 TV + 1000 radio channels,
# 100 favourites) loaded RUNS times, each into a fresh simulator on a line
# paced at 115200 baud. Further arguments go to the simulator, for example
# --tx-buffer 32768 for an adapter that buffers 32 KiB of the program's output.
#
#   bench/repeat_load.sh 20
#   bench/repeat_load.sh 20 --tx-buffer 32768
#
# One line per run (status, wall time, how far the program ran ahead of the
# line), then "N passed, M failed". Exit status 0 when every run passed, 1
# otherwise. Uses the programs of the default build (cmake --preset default).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:?usage: bench/repeat_load.sh RUNS [boxsim options]}
shift
prog=$PWD/build/default/src/halvoranupdate
sim=$PWD/build/default/sim/boxsim
if [ ! -x "$prog" ] || [ ! -x "$sim" ]; then
  echo "build the default preset first" >&2
  exit 2
fi
work=$(mktemp -d /tmp/halvoran-repeat.XXXXXX)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
full=(--sat 250 --tp 4000 --tv 5000 --radio 1000 --fav 100)

start_sim() {
  rm -f "$work/tty"
  "$sim" "${full[@]}" "$@" --link "$work/tty" >/dev/null 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -L "$work/tty" ] && return; sleep 0.05; done
  echo "the simulator did not start" >&2
  exit 2
}
stop_sim() { kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=; }

# The list: one unpaced save of a full box.
start_sim
"$prog" "$work/tty" s "$work/list.cxf" </dev/null >/dev/null || { echo "the save failed" >&2; exit 2; }
stop_sim

passed=0 failed=0
for i in $(seq "$runs"); do
  start_sim --baud 115200 --transcript "$work/t$i" "$@"
  t0=$(date +%s%N)
  status=0
  "$prog" "$work/tty" l "$work/list.cxf" </dev/null >"$work/out$i" 2>&1 || status=$?
  t1=$(date +%s%N)
  # The simulator notes the run's figures once it sees the line closed.
  for _ in $(seq 40); do grep -q 'line carried' "$work/t$i" 2>/dev/null && break; sleep 0.05; done
  stop_sim
  ahead=$(grep -o 'ran up to [0-9]* bytes' "$work/t$i" | tail -1 || true)
  if [ "$status" -eq 0 ] && ! grep -q 'antwortet nicht' "$work/out$i"; then
    passed=$((passed + 1)) result=passed
  else
    failed=$((failed + 1)) result="FAILED (status $status)"
  fi
  printf 'run %2d: %s, %d.%03d s, %s\n' "$i" "$result" $(((t1 - t0) / 1000000000)) \
    $(((t1 - t0) / 1000000 % 1000)) "${ahead:-ahead unknown}"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
