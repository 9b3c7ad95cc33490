#!/usr/bin/env bash
# A line that stops taking the program's output or goes away mid-job: how long from the stall
# or the hang-up to the end of the run, for each case, with the Linux program and (where wine
# and the Windows build are there) with the Windows program under wine, on the unpaced line and
# on one paced at 115200 baud.
#
# The unpaced line is the worst case for a stall: the terminal takes some 20 KiB at once, which
# the program counts as still on their way over the line at its rate, and a write's limit runs
# from when the line can have carried them (serial.hpp); on the paced line, as on a real port,
# the program cannot run that far ahead.
#
#   bench/lost_line.sh          three runs a case and platform
#   RUNS=10 bench/lost_line.sh
#
# The moment of the stall or hang-up is the simulator's: its transcript notes the stall ("the
# program's output is stalled for good", or held for a hold fault) when it stops taking bytes,
# and "simulator ends after closing the line" right after it closed its side. The end is the
# moment the program's process has exited (under wine, wine's process). Both are read on the
# same clock (local time, milliseconds). Every run must end with status 2, the cause line and
# the list or image as it was; the target is an end within 5 s of the stall or hang-up.
#
# Writes bench/results/lost_line.md (the table, PASS or FAIL per case) and lost_line.csv
# (every run). Exit status 0 when every case met the target, 1 otherwise, 2 when the
# benchmark itself could not run. Uses the default build (and build/mingw for wine).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-3}
prog=$PWD/build/default/src/halvoranupdate
sim=$PWD/build/default/sim/boxsim
exe=$PWD/build/mingw/src/halvoranupdate.exe
results="${BENCH_RESULTS:-bench/results}"
if [ ! -x "$prog" ] || [ ! -x "$sim" ]; then
  echo "build the default preset first" >&2
  exit 2
fi
platforms=(linux)
if [ -f "$exe" ] && command -v wine >/dev/null 2>&1; then
  platforms+=(wine)
  export WINEDEBUG=-all
  prefix=${WINEPREFIX:-$HOME/.wine}
  com=com40
fi
work=$(mktemp -d /tmp/halvoran-lost-line.XXXXXX)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT

start_sim() {
  rm -f "$work/tty" "$work/transcript"
  "$sim" --link "$work/tty" --transcript "$work/transcript" "$@" >/dev/null 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -L "$work/tty" ] && return; sleep 0.05; done
  echo "the simulator did not start" >&2
  exit 2
}
stop_sim() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
}

# Milliseconds since midnight of a time HH:MM:SS.mmm.
ms_of() { awk -F'[:.]' '{ printf "%d\n", (($1 * 60 + $2) * 60 + $3) * 1000 + $4 }' <<<"$1"; }

# The files the jobs use: lists saved from a default box and from one with 1500 TV slots, an
# image larger than the terminal takes ahead of the simulator.
start_sim
"$prog" "$work/tty" s "$work/list.cxf" </dev/null >/dev/null || { echo "save failed" >&2; exit 2; }
stop_sim
start_sim --tv 1500
"$prog" "$work/tty" s "$work/list1500.cxf" </dev/null >/dev/null || { echo "save failed" >&2; exit 2; }
stop_sim
{ printf '010\377\200ZOVA2.18 b4800\0'; head -c 100000 /dev/urandom; } >"$work/update.zova"
printf 'CXF2 the previous list' >"$work/previous.cxf"

# name | job | file | kind (stall, hold, hangup) | simulator options
cases=(
  "stall_first_write_save|s|previous.cxf|stall|--fault stall,501,1,0"
  "stall_first_write_load|l|list.cxf|stall|--fault stall,501,1,0"
  "stall_first_write_verify|v|list.cxf|stall|--fault stall,501,1,0"
  "stall_first_write_firmware|update.zova||stall|--fault stall,501,1,0"
  "stall_mid_tv_block|l|list1500.cxf|stall|--tv 1500 --fault stall,500_0_3_0_,1,15000"
  "stall_mid_image|update.zova||stall|--fault stall,902,1,3000"
  "held_for_good_load|l|list.cxf|hold|--fault hold,500_2_3,1,/nonexistent/never"
  "hangup_mid_save|s|previous.cxf|hangup|--fault blockclose,500_0_2"
  "hangup_mid_load|l|list.cxf|hangup|--fault hangup,500_0_3_0_,1,4000"
  "hangup_mid_image|update.zova||hangup|--fault hangup,902,1,3000"
)

mkdir -p "$results"
csv="$results/lost_line.csv"
echo "case,platform,line,run,status,cause_line,files_kept,stall_to_end_ms,run_ms" >"$csv"
for entry in "${cases[@]}"; do
  IFS='|' read -r name job file kind options <<<"$entry"
  # Blanks inside a fault's prefix are written as _ above.
  read -r -a sim_args <<<"$options"
  for i in "${!sim_args[@]}"; do sim_args[$i]=${sim_args[$i]//_/ }; done
  case $kind in
  stall) mark='stalled for good' cause='nimmt keine Daten mehr an' ;;
  hold) mark='output is held until' cause='nimmt keine Daten mehr an' ;;
  hangup) mark='simulator ends after closing the line' cause='Der Port ist weg' ;;
  esac
  for platform in "${platforms[@]}"; do
   for line in unpaced paced; do
    pace=()
    [ "$line" = paced ] && pace=(--baud 115200)
    for run in $(seq "$runs"); do
      rm -rf "$work/run" && mkdir "$work/run"
      target=${file:-$job}
      cp "$work/$target" "$work/run/$(basename "$target")"
      start_sim "${pace[@]}" "${sim_args[@]}"
      args=("$job")
      [ -n "$file" ] && args+=("$file")
      status=0
      t0=$(date +%s%N)
      if [ "$platform" = wine ]; then
        ln -sfn "$(readlink "$work/tty")" "$prefix/dosdevices/$com"
        (cd "$work/run" && wine "$exe" "$com" "${args[@]}" </dev/null >"$work/out" 2>&1) || status=$?
      else
        (cd "$work/run" && "$prog" "$work/tty" "${args[@]}" </dev/null >"$work/out" 2>&1) ||
          status=$?
      fi
      end=$(date +%H:%M:%S.%3N)
      t1=$(date +%s%N)
      for _ in $(seq 40); do grep -q "$mark" "$work/transcript" 2>/dev/null && break; sleep 0.05; done
      stop_sim
      at=$(grep -m1 "$mark" "$work/transcript" | cut -d' ' -f1 || true)
      if [ -n "$at" ]; then
        took=$(($(ms_of "$end") - $(ms_of "$at")))
      else
        took=
      fi
      seen=0
      grep -q "$cause" "$work/out" && seen=1
      kept=0
      cmp -s "$work/$target" "$work/run/$(basename "$target")" &&
        [ "$(ls "$work/run" | wc -l)" -eq 1 ] && kept=1
      echo "$name,$platform,$line,$run,$status,$seen,$kept,$took,$(((t1 - t0) / 1000000))" >>"$csv"
      printf '%-28s %-5s %-7s run %d: status %d, cause %d, files kept %d, %s ms from the %s to the end\n' \
        "$name" "$platform" "$line" "$run" "$status" "$seen" "$kept" "${took:-?}" "$kind"
    done
   done
  done
done

# The table: per case and platform the median and the largest time from stall or hang-up to
# the end; PASS when every run ended with status 2, the cause line and the files as they were,
# within 5 s.
{
  echo "# A stalled or vanished line: time from the stall or hang-up to the end of the run"
  echo
  echo "Machine: $(nproc) CPUs, $(uname -sr), $(date -u +%Y-%m-%d). $runs runs a case and platform."
  echo "Command: \`RUNS=$runs bench/lost_line.sh\`. Target: the run ends within 5 s of the stall or"
  echo "hang-up, with status 2, the cause line and the list or image as it was."
  echo
  echo "| case | platform | line | median ms | largest ms | status 2, cause line, files kept | result |"
  echo "|---|---|---|---|---|---|---|"
  awk -F, 'NR > 1 {
      key = $1 "|" $2 "|" $3
      if (!(key in n)) order[++keys] = key
      n[key]++
      ok[key] += ($5 == 2 && $6 == 1 && $7 == 1 && $8 != "" && $8 <= 5000)
      t[key, n[key]] = ($8 == "" ? 999999 : $8)
    }
    END {
      for (k = 1; k <= keys; k++) {
        key = order[k]
        m = n[key]
        for (i = 1; i <= m; i++) v[i] = t[key, i]
        for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (v[j] < v[i]) { x = v[i]; v[i] = v[j]; v[j] = x }
        split(key, part, "|")
        pass = ok[key] == m
        printf "| %s | %s | %s | %d | %d | %d of %d | %s |\n", part[1], part[2], part[3], v[int((m + 1) / 2)], v[m], ok[key], m, pass ? "PASS" : "FAIL"
      }
    }' "$csv"
} >"$results/lost_line.md"
all=0
grep -q '| FAIL |' "$results/lost_line.md" && all=1
cat "$results/lost_line.md"
exit "$all"
