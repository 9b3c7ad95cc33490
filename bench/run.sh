#!/usr/bin/env bash
# The benchmark, in one command: builds the program and the simulator optimised (with
# symbols), runs every job against the simulator on a line paced at 115200 baud and on the
# unpaced line, and writes bench/results/: results.md (the tables and a PASS or FAIL per
# target), runs.csv (every run), the plot wall_vs_size.png and its data files.
#
#   bench/run.sh            everything, about eight minutes
#   bench/run.sh --quick    without the paced 1 MiB image, about six minutes
#   bench/run.sh --trace-only   only the trace's cost (trace.md), about four minutes
#
# Exit status: 0 every target met, 1 a target missed, 2 the benchmark itself failed.
# BENCH_BUILD and BENCH_RESULTS override the build folder (build/bench) and the results folder.
# Not part of the test suite: the figures depend on the machine and its load.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BENCH_BUILD:-build/bench}"
results="${BENCH_RESULTS:-bench/results}"

# Tools, installed only when missing (Debian): the build, binutils (addr2line) and gnuplot.
scripts/setup.sh bench

# -O2 -g: optimised as a release, with the symbols a profile (perf, callgrind) needs.
cmake --preset release -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target halvoranupdate boxsim halvoran_bench alloc_count

mkdir -p "$results"
status=0
"$build/bench/halvoran_bench" \
  --program "$build/src/halvoranupdate" \
  --boxsim "$build/sim/boxsim" \
  --alloc-lib "$build/bench/liballoc_count.so" \
  --out "$results" --work "$build/bench-work" "$@" || status=$?
if [ "$status" -gt 1 ]; then
  exit "$status"
fi
if [[ " $* " == *" --trace-only "* ]]; then
  echo "results: $results/trace.md"
  exit "$status"
fi
gnuplot -e "results='$results'" bench/plot.gp
echo "results: $results/results.md, $results/trace.md, plot: $results/wall_vs_size.png"
exit "$status"
