#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz": clang 14, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each from its seed corpus in
# fuzz/corpus/<target>. What the fuzzer adds to the corpus stays in a scratch
# folder; an input that fails is copied to <build>/findings/ and the script
# fails. Add such an input to fuzz/corpus/<target>/ with the fix: the replay
# tests then run it in every test run.
#
#   scripts/fuzz.sh                     15 s per target (the CI smoke run)
#   FUZZ_SECONDS=600 scripts/fuzz.sh    longer
#   FUZZ_RUNS=1000000 scripts/fuzz.sh   a fixed number of executions per target
#   FUZZ_BUILD_DIR=build/mine ...       another build folder (default build/fuzz)
#   scripts/fuzz.sh save_stream ...     only the named targets
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

scripts/setup.sh demo clang-14 libfuzzer-14-dev

build=${FUZZ_BUILD_DIR:-build/fuzz}
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j2

targets=("$@")
((${#targets[@]})) || targets=(response_lines channel_file firmware_image save_stream load_stream)
if [ -n "${FUZZ_RUNS:-}" ]; then
  limit=(-runs="$FUZZ_RUNS")
else
  limit=(-max_total_time="${FUZZ_SECONDS:-15}")
fi

declare work
make_temp_dir work fuzz
findings=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  # An input that runs longer than 10 s counts as a hang.
  if "$build/fuzz/fuzz_$target" "$work/$target" "fuzz/corpus/$target" "${limit[@]}" \
      -timeout=10 -print_final_stats=1 -artifact_prefix="$work/$target-" \
      >"$work/$target.log" 2>&1; then
    result="0 findings"
  else
    findings=$((findings + 1))
    result="FAILED"
    mkdir -p "$build/findings"
    cp "$work/$target"-* "$build/findings/" 2>/dev/null || true
    cp "$work/$target.log" "$build/findings/"
    tail -n 40 "$work/$target.log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
  echo "fuzz $target: ${runs:-?} executions, $result"
done
if ((findings != 0)); then
  echo "fuzz: $findings target(s) failed; inputs and logs in $build/findings/"
  exit 1
fi
