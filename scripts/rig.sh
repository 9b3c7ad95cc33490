#!/usr/bin/env bash
# The rig: the program on real serial drivers. Boots a small Linux guest in
# QEMU (TCG) whose ttyS1 is an emulated 16550 UART (the kernel's 8250
# driver) and whose ttyUSB0 is QEMU's emulated FTDI adapter behind an xHCI
# controller (ftdi_sio), each wired to a boxsim on this host. The guest runs
# tests/rig/cases.sh and prints one line per case; this script then runs the
# same jobs over host pseudo-terminals against boxes of the same seeds and
# compares the saved lists and the boxes' stored tables byte for byte.
#
#   scripts/rig.sh                         the cases on both ports, then the
#                                          full box on ttyS1 paced at 115200
#                                          baud (save, load, firmware update)
#   scripts/rig.sh --record                the same, and the paced figures
#                                          into bench/results/rig.md
#   scripts/rig.sh --repeat-paced-load N   only the paced part, with N more
#                                          paced loads of the full box
#   scripts/rig.sh --unplug                only the cases that pull the
#                                          adapter out mid-job
#
# The consoles and the simulators' transcripts of the last run are kept in
# build/rig/last/.
# Needs qemu-system-x86, busybox-static, cpio (scripts/setup.sh rig) and the
# kernel package that linux-image-amd64 depends on, fetched with apt-get
# download into build/rig/kernel/ on the first run and kept there. No
# /dev/kvm is needed. Prints "N passed, M failed"; exit status 1 when a case
# failed, 2 when the rig itself could not run.
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

record=0
repeat=0
unplug_only=0
while (($#)); do
  case "$1" in
    --record) record=1 ;;
    --unplug) unplug_only=1 ;;
    --repeat-paced-load)
      repeat=${2:-}
      [[ "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "rig: --repeat-paced-load takes a count" >&2; exit 2; }
      shift ;;
    *) echo "usage: scripts/rig.sh [--record] [--repeat-paced-load N | --unplug]" >&2; exit 2 ;;
  esac
  shift
done
if ((record && unplug_only)); then
  echo "rig: --record needs the whole rig" >&2
  exit 2
fi

die()
{
  echo "rig: $*" >&2
  exit 2
}

# The cases' pass and fail, and their counts rig_passed and rig_failed,
# count the host's own checks too.
# shellcheck source=tests/rig/cases.sh
. tests/rig/cases.sh

scripts/setup.sh rig
for tool in qemu-system-x86_64 cpio apt-get apt-cache dpkg-deb objcopy readelf xz zstd; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup.sh rig installs it)"
done
busybox=/bin/busybox
if [ ! -x "$busybox" ] || readelf -l "$busybox" 2>/dev/null | grep -q INTERP; then
  die "$busybox is not the static busybox (package busybox-static)"
fi

# The program linked statically, the same binary in the guest and on the
# host; the simulator from the default build.
cmake --preset static >/dev/null
cmake --build --preset static -j2 >/dev/null
program=$PWD/build/static/src/halvoranupdate
# The host's reference runs of tests/rig/cases.sh: the same binary, on ptys.
RIG_PROGRAM=$program RIG_REAL_PORT=0
if [ ! -f build/default/CMakeCache.txt ]; then
  cmake --preset default >/dev/null
fi
cmake --build --preset default -j2 --target boxsim >/dev/null
boxsim=$PWD/build/default/sim/boxsim

# --- The kernel: whatever version linux-image-amd64 depends on today. ---
kernel_package()
{
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
package=$(kernel_package)
if [ -z "$package" ]; then
  # A fresh machine may have no package lists yet.
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  package=$(kernel_package)
fi
[ -n "$package" ] || die "apt-cache names no kernel package for linux-image-amd64 (apt-get update?)"
kernel_dir=$PWD/build/rig/kernel/$package
if [ ! -f "$kernel_dir/unpacked" ]; then
  rm -rf "$kernel_dir"
  mkdir -p "$kernel_dir"
  echo "rig: fetching $package"
  # apt-get warns when it downloads as root into a folder its own user
  # cannot write; the download is fine.
  (cd "$kernel_dir" && apt-get download -q "$package" 2>&1) | grep -v "unsandboxed" || true
  deb=$(find "$kernel_dir" -maxdepth 1 -name '*.deb' | head -1)
  [ -n "$deb" ] || die "apt-get download $package fetched nothing"
  dpkg-deb -x "$deb" "$kernel_dir/root" || die "cannot unpack $deb"
  rm -f "$deb"
  touch "$kernel_dir/unpacked"
fi
version=$(find "$kernel_dir/root/lib/modules" -mindepth 1 -maxdepth 1 -printf '%f\n' | head -1)
vmlinuz=$kernel_dir/root/boot/vmlinuz-$version
config=$kernel_dir/root/boot/config-$version
if [ ! -f "$vmlinuz" ] || [ ! -f "$config" ]; then
  die "$package holds no vmlinuz and config for $version"
fi

# The ELF vmlinux inside the bzImage boots through its PVH entry, in about
# half the time of the bzImage's own set-up under TCG. Taken out of the
# compressed payload as the kernel's scripts/extract-vmlinux does; the
# bzImage when that fails or the ELF has no PVH note (Xen note type 0x12).
kernel=$kernel_dir/vmlinux
if [ ! -f "$kernel" ]; then
  magic='' unpack=''
  if grep -q '^CONFIG_KERNEL_XZ=y' "$config"; then
    magic='\xfd7zXZ\x00' unpack='xz -dc'
  elif grep -q '^CONFIG_KERNEL_ZSTD=y' "$config"; then
    magic='\x28\xb5\x2f\xfd' unpack='zstd -dc'
  elif grep -q '^CONFIG_KERNEL_GZIP=y' "$config"; then
    magic='\x1f\x8b\x08' unpack='gzip -dc'
  fi
  if [ -n "$magic" ]; then
    LC_ALL=C grep -obUaP "$magic" "$vmlinuz" | cut -d: -f1 | while read -r offset; do
      # A payload read to its end is followed by other bytes: the
      # decompressor's complaint about them is expected.
      tail -c +$((offset + 1)) "$vmlinuz" | $unpack >"$kernel.part" 2>/dev/null || true
      if readelf -h "$kernel.part" >/dev/null 2>&1; then
        mv "$kernel.part" "$kernel"
        break
      fi
    done
    rm -f "$kernel.part"
  fi
  if [ ! -f "$kernel" ] || ! readelf -n "$kernel" 2>/dev/null | grep -q '(0x00000012)'; then
    echo "rig: no ELF kernel with a PVH entry in $vmlinuz; booting the bzImage (slower)"
    rm -f "$kernel"
    ln -s "$vmlinuz" "$kernel"
  fi
fi

# --- The modules of the FTDI path, with what they depend on, in order. ---
module_root=$kernel_dir/root/lib/modules/$version
modules=()
module_file()
{
  find "$module_root" -name "$1.ko" -o -name "$1.ko.xz" -o -name "$1.ko.zst" \
    -o -name "${1//-/_}.ko" -o -name "${1//-/_}.ko.xz" -o -name "${1//-/_}.ko.zst" | head -1
}
module_depends()
{
  local f=$1 tmp
  tmp=$(mktemp)
  case "$f" in
    *.xz) xz -dc "$f" >"$tmp" ;;
    *.zst) zstd -qdc "$f" >"$tmp" ;;
    *) cp "$f" "$tmp" ;;
  esac
  objcopy -O binary --only-section=.modinfo "$tmp" /dev/stdout | tr '\0' '\n' |
    sed -n 's/^depends=//p' | tr ',' ' '
  rm -f "$tmp"
}
add_module()
{
  local m=$1 f d
  for d in "${modules[@]}"; do
    [ "$d" = "$m" ] && return 0
  done
  # Built into the kernel: nothing to load.
  if grep -q "/${m//-/[-_]}\.ko" "$module_root/modules.builtin" 2>/dev/null; then
    return 0
  fi
  f=$(module_file "$m")
  [ -n "$f" ] || die "module $m is not in $package"
  for d in $(module_depends "$f"); do
    add_module "$d"
  done
  modules+=("$m")
}
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  add_module "$m"
done

# --- The initramfs: busybox, the program, the modules, the cases. ---
work=""
make_temp_dir work rig
# What a run leaves for a look afterwards: the consoles, the simulators'
# transcripts and messages, the host's reference lines.
last=$PWD/build/rig/last
at_exit "rm -rf $(printf %q "$last"); mkdir -p $(printf %q "$last");
  cp $(printf %q "$work")/*.txt $(printf %q "$work")/*.transcript $(printf %q "$work")/*.err \
    $(printf %q "$last")/ 2>/dev/null"
image_dir=$work/initramfs
make_initramfs()
{
  local mode=$1 image=$2 m f
  rm -rf "$image_dir"
  mkdir -p "$image_dir"/{bin,dev,proc,sys,tmp,modules,rig}
  cp "$busybox" "$image_dir/bin/busybox"
  for applet in $("$busybox" --list); do
    [ "$applet" = busybox ] || ln -s busybox "$image_dir/bin/$applet"
  done
  cp "$program" "$image_dir/bin/halvoranupdate"
  cp tests/rig/init.sh "$image_dir/init"
  chmod 755 "$image_dir/init"
  cp tests/rig/cases.sh "$image_dir/rig/cases.sh"
  cp "$image" "$image_dir/rig/image.bin"
  [ -z "${3:-}" ] || cp "$3" "$image_dir/rig/list.cxf"
  echo "$mode" >"$image_dir/rig/mode"
  for m in "${modules[@]}"; do
    f=$(module_file "$m")
    case "$f" in
      *.xz) xz -dc "$f" >"$image_dir/modules/$m.ko" ;;
      *.zst) zstd -qdc "$f" >"$image_dir/modules/$m.ko" ;;
      *) cp "$f" "$image_dir/modules/$m.ko" ;;
    esac
    echo "$m" >>"$image_dir/modules/order"
  done
  # Uncompressed: unpacking is quicker than decompressing under TCG.
  (cd "$image_dir" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
}

# A firmware image: the header the program checks, a version, random bytes.
make_image()
{
  {
    printf '010\001\002ZOVA9.99 (2099)'
    head -c $(($2 - 20)) /dev/urandom
  } >"$1"
}

# start_box NAME ARGS...: a boxsim with a fresh state in $work/NAME, its
# pty linked at $work/NAME.link; its pid in box_pids[NAME].
declare -A box_pids
start_box()
{
  local name=$1 i
  shift
  "$boxsim" --state "$work/$name" --reset --link "$work/$name.link" \
    --transcript "$work/$name.transcript" --boot-ms 300 "$@" \
    >"$work/$name.out" 2>"$work/$name.err" &
  box_pids[$name]=$!
  at_exit "kill ${box_pids[$name]} 2>/dev/null; wait ${box_pids[$name]} 2>/dev/null"
  for ((i = 0; i < 100; i++)); do
    [ -s "$work/$name.out" ] && return 0
    sleep 0.1
  done
  die "boxsim $name did not start: $(cat "$work/$name.err")"
}
stop_box()
{
  kill "${box_pids[$1]}" 2>/dev/null || true
  wait "${box_pids[$1]}" 2>/dev/null || true
}
box_pty()
{
  head -1 "$work/$1.out"
}

# boot MODE SECONDS S1_BOX USB_BOX: the guest with the two ports wired to
# the boxes' ptys; its console in $work/console-MODE.txt, shown as it comes.
boot()
{
  local mode=$1 limit=$2 usb
  local console=$work/console-${mode%% *}.txt
  usb=(-chardev "serial,id=u0,path=$work/$4.link")
  echo "rig: booting the guest ($mode)"
  local status=0
  rm -f "$work/qmp.sock" "$work/guest-ended"
  timeout "$limit" qemu-system-x86_64 -accel tcg -machine pc -cpu max -smp 1 -m 256M \
    -nodefaults -no-reboot -display none -monitor none \
    -qmp "unix:$work/qmp.sock,server=on,wait=off" \
    -kernel "$kernel" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 8250.nr_uarts=4" \
    -chardev stdio,id=con,signal=off -serial chardev:con \
    -chardev "serial,id=s1,path=$work/$3.link" -device isa-serial,chardev=s1 \
    "${usb[@]}" -device qemu-xhci -device usb-serial,id=ftdi,chardev=u0 \
    </dev/null 2>"$work/qemu.err" | sed -u 's/\r$//' | tee "$console" || status=$?
  touch "$work/guest-ended"
  if [ "$status" -eq 124 ]; then
    fail "guest $mode" "did not end within $limit s"
  elif [ "$status" -ne 0 ]; then
    fail "guest $mode" "qemu ended with status $status: $(tail -3 "$work/qemu.err")"
  fi
  guest_lines=$console
}

# Takes the guest's case lines into this run's count; fails when the guest
# did not end with its own count.
count_guest()
{
  local ok bad
  ok=$(grep -c '^ok ' "$guest_lines" || true)
  bad=$(grep -c '^FAIL ' "$guest_lines" || true)
  rig_passed=$((rig_passed + ok))
  rig_failed=$((rig_failed + bad))
  if grep -qx "$ok passed, $bad failed" "$guest_lines"; then
    pass "guest $1 ran to its end ($ok passed, $bad failed)"
  else
    fail "guest $1 ran to its end" "no final count on its console"
  fi
}

# compare_hash TAG HOST_LINES: a saved list of the guest against the host's.
compare_hash()
{
  local guest host
  guest=$(sed -n "s/^hash $1 //p" "$guest_lines")
  host=$(sed -n "s/^hash $1 //p" "$2")
  if [ -n "$guest" ] && [ "$guest" = "$host" ]; then
    pass "list $1 as on a host pty"
  else
    fail "list $1 as on a host pty" "guest ${guest:-none}, host ${host:-none}"
  fi
}

# compare_state GUEST_BOX HOST_BOX: every stored file of the two boxes.
compare_state()
{
  local f differ=""
  for f in "$work/$1"/*; do
    cmp -s "$f" "$work/$2/${f##*/}" || differ+=" ${f##*/}"
  done
  if [ -z "$differ" ] && [ -n "$(ls "$work/$1")" ]; then
    pass "box $1 stored as on a host pty"
  else
    fail "box $1 stored as on a host pty" "differs in$differ"
  fi
}

# The host's run of the same jobs, through cases.sh, over host ptys.
host_cases()
{
  (
    # shellcheck source=tests/rig/cases.sh
    . tests/rig/cases.sh
    "$@"
  ) >"$work/host-$3.txt" 2>&1 || true
  if grep -q '^FAIL ' "$work/host-$3.txt"; then
    fail "host reference $3" "$(grep '^FAIL ' "$work/host-$3.txt" | head -3 | tr '\n' '|')"
  fi
}

full_box=(--sat 250 --tp 4000 --tv 5000 --radio 1000 --fav 100)

# qmp ACTION...: the guest's QEMU through its QMP socket. "unplug" pulls the
# adapter out (device_del) and returns once QEMU has deleted it; "plug"
# plugs it back (device_add) with the same properties, on the same chardev.
qmp()
{
  python3 - "$work/qmp.sock" "$@" <<'PY'
import json, socket, sys, time

sock = socket.socket(socket.AF_UNIX)
for _ in range(100):
    try:
        sock.connect(sys.argv[1])
        break
    except OSError:
        time.sleep(0.1)
else:
    sys.exit("no QMP socket")
f = sock.makefile("rw")
f.readline()
events = []

def call(command, **arguments):
    f.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
    f.flush()
    while True:
        reply = json.loads(f.readline())
        if "event" in reply:
            events.append(reply)
        elif "error" in reply:
            return reply["error"]["desc"]
        else:
            return None

def fail(what, error):
    if error:
        sys.exit(what + ": " + error)

call("qmp_capabilities")
args = sys.argv[2:]
while args:
    action = args.pop(0)
    if action == "unplug":
        fail("device_del", call("device_del", id="ftdi"))
        deadline = time.time() + 10
        while not any(e["event"] == "DEVICE_DELETED" and e["data"].get("device") == "ftdi"
                      for e in events):
            if time.time() > deadline:
                sys.exit("no DEVICE_DELETED for the adapter")
            events.append(json.loads(f.readline()))
    elif action == "plug":
        fail("device_add", call("device_add", driver="usb-serial", id="ftdi", chardev="u0"))
PY
}

# Nanoseconds on the host's clock.
now_ns()
{
  date +%s%N
}

# unplug_host CONSOLE TRANSCRIPT: the host's side of the guest's
# unplug_cases. For each job: once the guest has started it and the box's
# transcript shows it in its transfer (the TV table's write request of the
# load, the loader request of the update, the channel table's read request
# of the save, each a second in), the adapter is pulled out; the time from
# there to the guest's console line that the job has ended goes to
# $work/unplug-times.txt; then the adapter is plugged back. Ends early once
# the guest has.
unplug_host()
{
  local console=$1 transcript=$2 name marker seen t_del t_end i
  : >"$work/unplug-times.txt"
  for name in load:'> 500 0 3 ' firmware:'> 902' save:'> 500 0 2 '; do
    marker=${name#*:} name=${name%%:*}
    # The marker's count before the job: the previous runs' are not its own.
    seen=$(grep -c -F -- "$marker" "$transcript" 2>/dev/null || true)
    for ((i = 0; i < 1200; i++)); do
      grep -qx "unplug $name start" "$console" 2>/dev/null && break
      [ -e "$work/guest-ended" ] && return 0
      sleep 0.1
    done
    for ((i = 0; i < 600; i++)); do
      [ "$(grep -c -F -- "$marker" "$transcript" 2>/dev/null || true)" -gt "${seen:-0}" ] && break
      [ -e "$work/guest-ended" ] && return 0
      sleep 0.05
    done
    sleep 1
    t_del=$(now_ns)
    if ! qmp unplug 2>"$work/qmp-$name.err"; then
      echo "unplug $name failed: $(tr '\n' ' ' <"$work/qmp-$name.err")" >>"$work/unplug-times.txt"
      return 0
    fi
    t_end=""
    for ((i = 0; i < 6000; i++)); do
      if grep -qx "unplug $name end" "$console" 2>/dev/null; then
        t_end=$(now_ns)
        break
      fi
      [ -e "$work/guest-ended" ] && return 0
      sleep 0.01
    done
    echo "$name ${t_end:+$(((t_end - t_del) / 1000000))}" >>"$work/unplug-times.txt"
    qmp plug 2>>"$work/qmp-$name.err" ||
      echo "plug after $name failed: $(tr '\n' ' ' <"$work/qmp-$name.err")" >>"$work/unplug-times.txt"
  done
}
rig_start=$SECONDS

# --- The cases on both ports. ---
if [ "$repeat" -eq 0 ] && [ "$unplug_only" -eq 0 ]; then
  make_image "$work/image.bin" 20000
  make_initramfs cases "$work/image.bin"
  start_box s1 --seed 11
  start_box usb --seed 12
  boot cases 420 s1 usb
  stop_box s1
  stop_box usb
  count_guest cases
  grep '^note ' "$guest_lines" >"$work/notes-cases.txt" || true

  start_box s1_host --seed 11
  start_box usb_host --seed 12
  host_cases port_cases "$(box_pty s1_host)" ttyS1 "$work/host/ttyS1" "$work/image.bin"
  host_cases port_cases "$(box_pty usb_host)" ttyUSB0 "$work/host/ttyUSB0" "$work/image.bin"
  stop_box s1_host
  stop_box usb_host
  for tag in ttyS1.save ttyS1.traced; do compare_hash "$tag" "$work/host-ttyS1.txt"; done
  for tag in ttyUSB0.save ttyUSB0.traced; do compare_hash "$tag" "$work/host-ttyUSB0.txt"; done
  compare_state s1 s1_host
  compare_state usb usb_host
fi

# --- The adapter pulled out mid-job. ---
# A load, a firmware update and a save on ttyUSB0 against the full box,
# paced at 115200 baud so that each job is in its transfer for seconds; the
# host pulls the adapter out through QEMU's monitor and plugs it back.
if [ "$repeat" -eq 0 ]; then
  make_image "$work/unplug-image.bin" $((64 * 1024))
  # The load's list: the full box's, saved on the host.
  start_box unplug_list --seed 15 "${full_box[@]}"
  "$program" "$(box_pty unplug_list)" s "$work/unplug.cxf" </dev/null >"$work/unplug-list.out" 2>&1 ||
    die "the load's list for the unplug cases: $(tail -c 200 "$work/unplug-list.out")"
  stop_box unplug_list
  make_initramfs unplug "$work/unplug-image.bin" "$work/unplug.cxf"
  start_box unplug --seed 15 --baud 115200 "${full_box[@]}"
  start_box idle_s1 --seed 16
  : >"$work/console-unplug.txt"
  unplug_host "$work/console-unplug.txt" "$work/unplug.transcript" &
  unplug_watch=$!
  boot unplug 300 idle_s1 unplug
  wait "$unplug_watch" || true
  stop_box unplug
  stop_box idle_s1
  count_guest unplug
  grep '^note ' "$guest_lines" >"$work/notes-unplug.txt" || true
  for name in load firmware save; do
    ms=$(sed -n "s/^$name \([0-9][0-9]*\)$/\1/p" "$work/unplug-times.txt")
    if [ -n "$ms" ]; then
      pass "unplug $name: the run ended $ms ms after device_del"
    else
      fail "unplug $name: the run ended after device_del" "$(grep "$name" "$work/unplug-times.txt" | head -2 | tr '\n' '|')"
    fi
  done
  if grep -q "^version=9.99 (2099)$" "$work/unplug/box.txt"; then
    pass "unplug: the box runs the new system after the second update"
  else
    fail "unplug: the box runs the new system after the second update" "$(grep version "$work/unplug/box.txt")"
  fi
fi

# --- The full box on ttyS1, paced at 115200 baud. ---
if [ "$unplug_only" -eq 0 ]; then
make_image "$work/image.bin" $((256 * 1024))
make_initramfs "paced $repeat" "$work/image.bin"
start_box paced --seed 13 --baud 115200 "${full_box[@]}"
# The adapter is wired too: QEMU attaches its USB device only once the
# device's far end is open.
start_box idle --seed 14
boot "paced $repeat" $((600 + repeat * 90)) paced idle
stop_box paced
stop_box idle
count_guest paced
paced_lines=$guest_lines
grep '^note ' "$guest_lines" >"$work/notes-paced.txt" || true

# The same jobs on an unpaced host pty: the lists and tables to compare, and
# the bytes each job puts on the line (the simulator's count per run).
# Each job waits for the simulator's note of its close, so that every run
# gets its own count.
host_paced()
{
  local pty dir=$work/host/paced n=0 args
  pty=$(box_pty paced_host)
  mkdir -p "$dir"
  for args in "s $dir/full.cxf" "l $dir/full.cxf" "$work/image.bin"; do
    # shellcheck disable=SC2086 # the job's arguments
    "$program" "$pty" $args </dev/null >"$dir/job.out" 2>&1 ||
      fail "host reference paced $args" "$(tail -c 200 "$dir/job.out")"
    n=$((n + 1))
    for ((i = 0; i < 100; i++)); do
      [ "$(grep -c 'program closed the line' "$work/paced_host.transcript")" -ge "$n" ] && break
      sleep 0.1
    done
  done
  (
    # shellcheck source=tests/rig/cases.sh
    . tests/rig/cases.sh
    echo "hash paced.save $(list_hash "$dir/full.cxf")"
  ) >"$work/host-paced.txt"
}
start_box paced_host --seed 13 "${full_box[@]}"
host_paced
stop_box paced_host
compare_hash paced.save "$work/host-paced.txt"
compare_state paced paced_host
fi

# Line bytes of the host's runs, in order: save, load, firmware update.
[ "$unplug_only" -eq 1 ] ||
mapfile -t line_bytes < <(sed -n 's/.*line carried \([0-9]*\) bytes from the program and \([0-9]*\) bytes to it.*/\1 \2/p' \
  "$work/paced_host.transcript")
results=$PWD/build/rig/results.md
: >"$results"
[ "$unplug_only" -eq 1 ] || {
  echo "# The rig: paced jobs on a 16550 UART in the guest"
  echo
  echo "Written by \`scripts/rig.sh --record\` on $(date -u +%Y-%m-%d), kernel $version in QEMU"
  echo "$(qemu-system-x86_64 --version | head -1 | sed 's/QEMU emulator version //') (TCG, no KVM), $(nproc) cores"
  echo "on the host. The full box (250 satellites, 4000 transponders, 5000 TV + 1000 radio"
  echo "channels, 100 favourites) on ttyS1, \`boxsim --baud 115200\` at the far end. Wall time"
  echo "in the guest from the job's start to its end (/proc/uptime, 10 ms steps). Limit = bytes"
  echo "on the line x 10 / 115200 + the pauses (as in bench/): 1.2 s for save and load; 4.7 s"
  echo "for the 256 KiB firmware update (4.2 s of the program's pauses, the loader's 0.2 s of"
  echo "quiet line, the box's 0.3 s boot). Bytes as the simulator counted them for the same jobs"
  echo "over a host pty. The load is traced."
  echo
  echo "| job | bytes to the box | bytes from the box | limit s | wall s | wall / limit |"
  echo "|---|---|---|---|---|---|"
  i=0
  for job in "save:1.2" "load:1.2" "firmware:4.7"; do
    name=${job%%:*} pauses=${job#*:}
    read -r from to <<<"${line_bytes[i]:-0 0}"
    wall=$(sed -n "s/^time $name //p" "$paced_lines")
    awk -v n="$name" -v f="$from" -v t="$to" -v p="$pauses" -v w="${wall:-0}" 'BEGIN {
      limit = (f + t) * 10 / 115200 + p
      printf "| %s | %d | %d | %.3f | %.2f | %.4f |\n", n, f, t, limit, w / 100, w / 100 / limit }'
    i=$((i + 1))
  done
  if [ "$repeat" -gt 0 ]; then
    read -r from to <<<"${line_bytes[1]:-0 0}"
    echo
    # The ratios of the loads that passed; a failed one ends early.
    awk '/^ok paced load [0-9]+ of / { passed[$4] = 1 }
      /^time load[0-9]+ / { if (substr($2, 5) in passed) print $3 }' "$paced_lines" | sort -n |
      awk -v f="$from" -v t="$to" -v n="$repeat" '
        { wall[NR] = $1 / 100 }
        END {
          limit = (f + t) * 10 / 115200 + 1.2
          printf "%d more paced loads (untraced): %d of %d passed", n, NR, n
          if (NR > 0)
            printf "; wall / limit of those from %.4f to %.4f, median %.4f", wall[1] / limit,
              wall[NR] / limit, wall[int((NR + 1) / 2)] / limit
          printf ".\n"
        }'
  fi
  echo
  echo "The blocks of the traced load: when the program began to wait for the box's answer,"
  echo "from the block's start (the trace's times):"
  echo
  sed -n 's/^note paced load blocks take their line time block /- /p' "$paced_lines"
} >"$results"
if [ -s "$work/unplug-times.txt" ]; then
  {
    echo
    echo "## The adapter pulled out mid-job"
    echo
    echo "The full box on ttyUSB0 (QEMU's FTDI adapter, \`ftdi_sio\`), \`boxsim --baud 115200\` at the"
    echo "far end. The host pulls the adapter out through QEMU's monitor (QMP \`device_del\`) one"
    echo "second after the box received the step named below, and takes the time on its own clock"
    echo "from the \`device_del\` to the guest's console line that the job has ended (polled every"
    echo "10 ms; the console's own delay is in it). Then it plugs the adapter back (\`device_add\`)."
    echo "The rig checks that each run ends with status 2 and the cause line and that the update"
    echo "run again brings the new system; its count says whether they did."
    echo
    echo "The kernel's column: from the time stamp of the kernel's \`USB disconnect\` line to the"
    echo "job's end, on the guest's clock (/proc/uptime, 10 ms steps): the program's own part."
    echo "The rest of the first column is the host's: QEMU carrying out the \`device_del\` and the"
    echo "console line reaching the host. It is largest for the load, whose bytes QEMU's adapter"
    echo "model is writing to the paced far end at that moment."
    echo
    echo "| job | pulled out during | device_del to end, ms | kernel's disconnect to end, ms | the trace's first report |"
    echo "|---|---|---|---|---|"
    for job in "load:the TV table's block (160000 bytes) to the box" \
      "firmware:the 64 KiB image" "save:the channel table's block (192000 bytes) from the box"; do
      name=${job%%:*} during=${job#*:}
      ms=$(sed -n "s/^$name \([0-9][0-9]*\)$/\1/p" "$work/unplug-times.txt")
      report=$(sed -n "s/^note unplug $name trace: [0-9]* //p" "$work/notes-unplug.txt" | head -1)
      kernel=$(sed -n "s/^time unplug-$name //p" "$work/console-unplug.txt")
      echo "| $name | $during | ${ms:-none} | ${kernel:-none} | ${report:-none} |"
    done
  } >>"$results"
fi
cat "$results"
if [ "$record" -eq 1 ]; then
  cp "$results" bench/results/rig.md
  echo "rig: recorded in bench/results/rig.md"
fi
if [ "$repeat" -gt 0 ]; then
  ok=$(grep -c '^ok paced load [0-9]* of ' "$paced_lines" || true)
  echo "rig: $ok of $repeat paced loads of the full box passed"
fi

echo "rig: notes of the drivers"
cat "$work"/notes-*.txt 2>/dev/null | sort -u
echo "rig: $((SECONDS - rig_start)) s"
# shellcheck disable=SC2031 # only the reference runs' subshells count apart
echo "$rig_passed passed, $rig_failed failed"
# shellcheck disable=SC2031
[ "$rig_failed" -eq 0 ]
