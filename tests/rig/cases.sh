# shellcheck shell=sh
# The rig's cases, sourced by the guest's init (busybox sh) and by
# scripts/rig.sh, which runs the same jobs over host pseudo-terminals for the
# reference. POSIX sh only.
#
# Every case prints one line, "ok NAME" or "FAIL NAME: why"; "hash NAME HEX"
# lines carry what the host compares (saved lists), "time NAME CS" the wall
# time of a job in centiseconds, "note ..." what the drivers showed. Expects
# RIG_PROGRAM (the program) and RIG_REAL_PORT (1 in the guest: the checks
# that only a real driver can pass).
# shellcheck disable=SC2034 # the sourcing script reads the counts

rig_passed=0
rig_failed=0

# The program's texts these cases expect, byte for byte.
text_missing='Diesen Port gibt es nicht: Namen pruefen, ist der Adapter eingesteckt?'
text_busy='Der Port ist belegt: ein anderes Programm oder ein anderer Lauf von halvoranupdate hat ihn offen; erst beenden.'
# The guest's ports with a UART or an adapter behind them, in the program's
# order; ttyS2 and ttyS3 are nodes without a UART.
text_ports='Vorhandene Ports: /dev/ttyUSB0, /dev/ttyS0, /dev/ttyS1'
text_gone='Der Port ist weg: der Adapter wurde abgezogen. Wieder einstecken und neu starten.'
text_in_loader='Die Box ist im Lader: ein Update wurde nicht beendet.'

pass()
{
  rig_passed=$((rig_passed + 1))
  echo "ok $1"
}

fail()
{
  rig_failed=$((rig_failed + 1))
  echo "FAIL $1: $2"
}

# The end of a job's output on one line, for a failure's message.
output_tail()
{
  tail -c 300 "$1" | tr '\n\r' '||'
}

# expect NAME WANT GOT OUTPUT: the exit status.
expect()
{
  if [ "$3" -eq "$2" ]; then
    pass "$1"
  else
    fail "$1" "status $3, expected $2; output: $(output_tail "$4")"
  fi
}

# job OUTPUT ARGS...: runs the program without input (a key prompt ends at
# once); its exit status in $status.
job()
{
  rig_out=$1
  shift
  status=0
  "$RIG_PROGRAM" "$@" </dev/null >"$rig_out" 2>&1 || status=$?
}

# traced_job TRACE OUTPUT ARGS...: the same with the trace written to TRACE.
traced_job()
{
  rig_trace=$1 rig_out=$2
  shift 2
  status=0
  HALVORAN_TRACE=$rig_trace "$RIG_PROGRAM" "$@" </dev/null >"$rig_out" 2>&1 || status=$?
}

# Centiseconds since boot (or since the host's start).
now_cs()
{
  awk '{ printf "%d", $1 * 100 }' /proc/uptime
}

# The hash of a saved list with its info text blanked: the text holds the
# time of the save, which differs between the guest and the host.
list_hash()
{
  n=$(od -An -tu4 -j32 -N4 "$1" | tr -d ' ')
  cp "$1" "$1.masked"
  dd if=/dev/zero of="$1.masked" bs=1 seek=36 count="$n" conv=notrunc 2>/dev/null
  sha256sum <"$1.masked" | cut -d' ' -f1
}

# Changes the list's last byte (a record of its last table).
change_last_record()
{
  size=$(wc -c <"$1")
  old=$(od -An -tu1 -j$((size - 1)) -N1 "$1" | tr -d ' ')
  # shellcheck disable=SC2059 # the octal escape is the format
  printf "\\$(printf %o $(((old + 1) % 256)))" |
    dd of="$1" bs=1 seek=$((size - 1)) conv=notrunc 2>/dev/null
}

# Waits (at most SECONDS) until FILE holds a line matching PATTERN while the
# process PID runs; 0 when it did.
wait_for_line()
{
  i=0
  while [ "$i" -lt $(($3 * 10)) ]; do
    grep -q "$2" "$1" 2>/dev/null && return 0
    kill -0 "$4" 2>/dev/null || return 1
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# port_cases PORT TAG DIR IMAGE: every job on one port against a fresh box.
port_cases()
{
  port=$1 tag=$2 dir=$3 image=$4
  mkdir -p "$dir"

  job "$dir/save.out" "$port" s "$dir/list.cxf"
  expect "$tag save" 0 "$status" "$dir/save.out"
  [ -f "$dir/list.cxf" ] && echo "hash $tag.save $(list_hash "$dir/list.cxf")"

  job "$dir/load.out" "$port" l "$dir/list.cxf"
  expect "$tag load" 0 "$status" "$dir/load.out"

  job "$dir/verify.out" "$port" v "$dir/list.cxf"
  expect "$tag verify equal" 0 "$status" "$dir/verify.out"

  cp "$dir/list.cxf" "$dir/changed.cxf" 2>/dev/null && change_last_record "$dir/changed.cxf"
  job "$dir/verify_changed.out" "$port" v "$dir/changed.cxf"
  expect "$tag verify changed record" 3 "$status" "$dir/verify_changed.out"

  # The firmware update holds the port through its pause after the new
  # version (4 s, fixed by the box); a second run started in that pause must
  # find the port busy. That the first run still held the port when the
  # second had been refused is checked, not assumed.
  HALVORAN_TRACE="$dir/firmware.trace" "$RIG_PROGRAM" "$port" "$image" </dev/null \
    >"$dir/firmware.out" 2>&1 &
  first=$!
  held=no
  if wait_for_line "$dir/firmware.trace" 'pause 4000 ms' 120 "$first"; then
    job "$dir/busy.out" "$port" s "$dir/busy.cxf"
    busy_status=$status
    kill -0 "$first" 2>/dev/null && held=yes
  fi
  fw_status=0
  wait "$first" || fw_status=$?
  expect "$tag firmware update" 0 "$fw_status" "$dir/firmware.out"
  if [ "$held" != yes ]; then
    fail "$tag busy" "the firmware update did not hold the port while a second run started"
  elif [ "$busy_status" -eq 2 ] && grep -qxF "$text_busy" "$dir/busy.out" &&
    [ ! -e "$dir/busy.cxf" ]; then
    pass "$tag busy"
  else
    fail "$tag busy" "status $busy_status; output: $(output_tail "$dir/busy.out")"
  fi

  traced_job "$dir/save.trace" "$dir/traced.out" "$port" s "$dir/traced.cxf"
  expect "$tag traced save" 0 "$status" "$dir/traced.out"
  [ -f "$dir/traced.cxf" ] && echo "hash $tag.traced $(list_hash "$dir/traced.cxf")"
  if [ "${RIG_REAL_PORT:-0}" = 1 ]; then
    grep "^[0-9]* port \|modem lines\|os error" "$dir/save.trace" | sed "s/^/note $tag trace: /"
    if grep -q "^[0-9]* port $port opened .* ispeed 115200 ospeed 115200$" "$dir/save.trace"; then
      pass "$tag trace line settings"
    else
      fail "$tag trace line settings" "$(grep ' port ' "$dir/save.trace" | head -1)"
    fi
    if grep -q "^[0-9]* modem lines dtr off rts off$" "$dir/save.trace"; then
      pass "$tag trace dtr rts off"
    else
      fail "$tag trace dtr rts off" "$(grep 'modem\|TIOCM' "$dir/save.trace" | head -1)"
    fi
  fi

  # The changed record, stored: the box's tables then differ from a fresh
  # box's, and the host compares them with its own.
  job "$dir/load_changed.out" "$port" l "$dir/changed.cxf"
  expect "$tag load changed record" 0 "$status" "$dir/load_changed.out"
}

# missing_port PORT TAG DIR: a port that is not there names the cause and
# the ports that are.
missing_port()
{
  traced_job "$3/${1##*/}.trace" "$3/missing.out" "$1" s "$3/missing.cxf"
  grep "os error" "$3/${1##*/}.trace" | sed "s|^|note $1 trace: |"
  if [ "$status" -eq 2 ] && grep -qxF "Kann $1 nicht oeffnen!" "$3/missing.out" &&
    grep -qxF "$text_missing" "$3/missing.out" && grep -qxF "$text_ports" "$3/missing.out"; then
    pass "$2"
  else
    fail "$2" "status $status; output: $(output_tail "$3/missing.out")"
  fi
}

# check_block_times TRACE TAG: on a paced line the box's answer to a block
# cannot come before the block's last byte has crossed the line, so the time
# the program starts waiting for it must be at least the block's line time
# (length x 10 / 115200 s) after its first byte was written. A trace line
# "block sent length N began B clear C" gives the start (B) and the limit's
# start (the later of the line's own time and C); a plain "block sent
# length N" is timed from the announcement before the block to the line.
check_block_times()
{
  awk -v tag="$2" '
    / > 910 H/ { announced = $1 }
    / block sent length / {
      bytes = $5
      if ($6 == "began" && $8 == "clear") {
        start = $7
        waits = $9 > $1 ? $9 : $1
      } else {
        start = announced
        waits = $1
      }
      line = bytes * 10000 / 115200
      printf "note %s block %d bytes: answer awaited from %d ms after its start, line time %d ms\n",
        tag, bytes, waits - start, int(line)
      # The stamps are whole milliseconds, cut down: one may be lost.
      if (waits - start < int(line) + (line > int(line)) - 1) short++
      blocks++
    }
    END {
      if (blocks == 0) print "FAIL " tag ": no block in the trace"
      else if (short > 0) print "FAIL " tag ": " short " of " blocks " blocks awaited before their line time"
      else print "ok " tag
    }' "$1"
}

# paced_cases PORT DIR IMAGE REPEAT: the full box on a line paced at 115200
# baud: save, a traced load, REPEAT more loads and the firmware update, each
# timed.
paced_cases()
{
  port=$1 dir=$2 image=$3 repeats=$4
  mkdir -p "$dir"
  t0=$(now_cs)
  job "$dir/save.out" "$port" s "$dir/full.cxf"
  t1=$(now_cs)
  expect "paced save" 0 "$status" "$dir/save.out"
  echo "time save $((t1 - t0))"
  [ -f "$dir/full.cxf" ] && echo "hash paced.save $(list_hash "$dir/full.cxf")"

  t0=$(now_cs)
  traced_job "$dir/load.trace" "$dir/load.out" "$port" l "$dir/full.cxf"
  t1=$(now_cs)
  expect "paced load" 0 "$status" "$dir/load.out"
  echo "time load $((t1 - t0))"
  result=$(check_block_times "$dir/load.trace" "paced load blocks take their line time")
  echo "$result" | grep '^note'
  case $(echo "$result" | tail -1) in
    ok\ *) pass "paced load blocks take their line time" ;;
    *) fail "paced load blocks take their line time" "$(echo "$result" | tail -1 | sed 's/^FAIL [^:]*: //')" ;;
  esac


  i=1
  while [ "$i" -le "$repeats" ]; do
    t0=$(now_cs)
    job "$dir/load$i.out" "$port" l "$dir/full.cxf"
    t1=$(now_cs)
    expect "paced load $i of $repeats" 0 "$status" "$dir/load$i.out"
    echo "time load$i $((t1 - t0))"
    i=$((i + 1))
  done

  # Last: a box whose firmware update failed may be left in its loader.
  t0=$(now_cs)
  job "$dir/firmware.out" "$port" "$image"
  t1=$(now_cs)
  expect "paced firmware update" 0 "$status" "$dir/firmware.out"
  echo "time firmware $((t1 - t0))"
}

# Waits (at most SECONDS) until the adapter's tty is there (want yes) or gone
# (want no); 0 when it came to that.
wait_for_adapter()
{
  i=0
  while [ "$i" -lt $(($2 * 10)) ]; do
    if [ -e /sys/class/tty/ttyUSB0 ] && [ -c /dev/ttyUSB0 ]; then
      [ "$1" = yes ] && return 0
    else
      [ "$1" = no ] && return 0
    fi
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# unplugged_job NAME CHECK ARGS...: the job, traced, while the host pulls the
# adapter out mid-transfer. "unplug NAME start" tells the host that the job
# starts, "unplug NAME end" that it has ended; the host then plugs the
# adapter back. Status 2 and the cause line are checked here, and the
# kernel's report in the trace; what the job must leave as it was the
# caller checks.
unplugged_job()
{
  name=$1
  shift
  if ! wait_for_adapter yes 30; then
    fail "unplug $name" "no /dev/ttyUSB0 to start with"
    return 1
  fi
  # The kernel's messages of this job only.
  dmesg -c >/dev/null
  echo "unplug $name start"
  traced_job "$dir/$name.trace" "$dir/$name.out" "$@"
  ended=$(cut -d' ' -f1 /proc/uptime)
  echo "unplug $name end"
  # From the kernel's report of the disconnect to the job's end, on the
  # guest's clock (the kernel's time stamps count from boot as uptime does).
  gone=$(dmesg | sed -n 's/^\[ *\([0-9.]*\)\] usb .*USB disconnect.*/\1/p' | head -1)
  [ -n "$gone" ] &&
    echo "time unplug-$name $(awk -v a="$gone" -v b="$ended" 'BEGIN { printf "%d", (b - a) * 1000 }')"
  grep "os error\|line gone\|line stalled" "$dir/$name.trace" | sed "s/^/note unplug $name trace: /"
  dmesg | grep -i "disconnect" | sed "s/^/note unplug $name dmesg: /"
  if [ "$status" -eq 2 ] && grep -qxF "$text_gone" "$dir/$name.out"; then
    pass "unplug $name: status 2 and the cause"
  else
    fail "unplug $name: status 2 and the cause" "status $status; output: $(output_tail "$dir/$name.out")"
  fi
  if grep -q "line gone" "$dir/$name.trace"; then
    pass "unplug $name: the trace holds the kernel's report"
  else
    fail "unplug $name: the trace holds the kernel's report" "$(tail -3 "$dir/$name.trace" | tr '\n' '|')"
  fi
  wait_for_adapter no 10 || fail "unplug $name" "/dev/ttyUSB0 still there after the job"
}

# unplug_cases DIR IMAGE LIST: a load, a firmware update and a save on
# ttyUSB0, each cut off by the host pulling the adapter out (device_del) and
# plugging it back (device_add) once the job has ended. The update is run
# again on the adapter plugged back and finishes the cut-off one. The save
# comes last: the box goes on sending the rest of its block into the line,
# which the adapter plugged back would hand to the next run.
unplug_cases()
{
  dir=$1 image=$2 list=$3
  port=/dev/ttyUSB0
  mkdir -p "$dir/save" "$dir/load"

  cp "$list" "$dir/load/list.cxf"
  unplugged_job load "$port" l "$dir/load/list.cxf"
  if cmp -s "$list" "$dir/load/list.cxf" && [ "$(ls "$dir/load")" = list.cxf ]; then
    pass "unplug load: the list untouched"
  else
    # shellcheck disable=SC2012 # the folder holds the case's own names
    fail "unplug load: the list untouched" "$(ls "$dir/load" | tr '\n' ' ')"
  fi
  # The box gives up a half-received block after 2 s of quiet line; a
  # request sent before would be taken as the block's bytes.
  sleep 3

  unplugged_job firmware "$port" "$image"
  # The box stays in its loader: the same update again brings the new
  # system.
  if wait_for_adapter yes 30; then
    job "$dir/again.out" "$port" "$image"
    if [ "$status" -eq 0 ] && grep -qxF "$text_in_loader" "$dir/again.out" &&
      grep -q "^neue 9.99 (2099)" "$dir/again.out"; then
      pass "unplug firmware: the update run again finishes it"
    else
      fail "unplug firmware: the update run again finishes it" "status $status; output: $(output_tail "$dir/again.out")"
    fi
  else
    fail "unplug firmware: the update run again finishes it" "the adapter did not come back"
  fi

  # The save replaces an older list; pulled out, it leaves that list and no
  # temporary file.
  cp "$list" "$dir/save/list.cxf"
  unplugged_job save "$port" s "$dir/save/list.cxf"
  if cmp -s "$list" "$dir/save/list.cxf" && [ "$(ls "$dir/save")" = list.cxf ]; then
    pass "unplug save: the old list unchanged, no temporary file"
  else
    # shellcheck disable=SC2012 # the folder holds the case's own names
    fail "unplug save: the old list unchanged, no temporary file" "$(ls "$dir/save" | tr '\n' ' ')"
  fi
}
