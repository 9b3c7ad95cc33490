#!/usr/bin/env bash
# Builds the program and the box simulator and runs the program's jobs
# against a simulated box on a pseudo-terminal.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset default --target halvoranupdate boxsim

bin=build/default/src/halvoranupdate
sim=build/default/sim/boxsim
work=$(mktemp -d /tmp/halvoran-demo.XXXXXX)
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null || true' EXIT

"$sim" --state "$work/box" --link "$work/ttyBOX" --transcript "$work/transcript.txt" >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do [ -e "$work/ttyBOX" ] && break; sleep 0.05; done

echo "== Connection check: $bin $work/ttyBOX (no job file, so the job ends right after it)"
"$bin" "$work/ttyBOX" "$work/nothing.zova" </dev/null || true
echo
echo "== What the box received:"
cat "$work/transcript.txt"
