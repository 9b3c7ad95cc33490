#!/bin/sh
# The rig guest's init (busybox sh, the first process of the initramfs that
# scripts/rig.sh builds). Mounts the kernel's file systems, loads the USB
# serial drivers, runs the cases of /rig/mode on the kernel's serial drivers
# (tests/rig/cases.sh) and ends the guest. Its console is ttyS0; the host
# reads every line from there.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp
mount -t tmpfs tmpfs /tmp

# Everything after here reaches the host; the kernel's own lines stay out.
echo 1 >/proc/sys/kernel/printk
echo "rig: init started at $(cut -d' ' -f1 /proc/uptime) s, kernel $(uname -r)"

end()
{
  echo "$rig_passed passed, $rig_failed failed"
  sync
  poweroff -f
}

# shellcheck disable=SC2034 # read by the cases
RIG_PROGRAM=/bin/halvoranupdate RIG_REAL_PORT=1
# shellcheck source=tests/rig/cases.sh
. /rig/cases.sh

# The modules in dependency order, as the host put them in /modules/order.
while read -r module; do
  insmod "/modules/$module.ko" || fail "insmod $module" "see the kernel's messages"
done </modules/order
i=0
while [ ! -c /dev/ttyUSB0 ] && [ "$i" -lt 300 ]; do
  sleep 0.1
  i=$((i + 1))
done
if [ -c /dev/ttyUSB0 ]; then
  pass "ttyUSB0 present"
else
  fail "ttyUSB0 present" "no /dev/ttyUSB0 after 30 s"
  dmesg | tail -20 | sed 's/^/note dmesg: /'
fi
echo "rig: drivers ready at $(cut -d' ' -f1 /proc/uptime) s"

# What the kernel shows of its serial ports, for the notes.
for tty in /sys/class/tty/ttyS* /sys/class/tty/ttyUSB*; do
  [ -e "$tty" ] || continue
  name=${tty##*/}
  device=no
  [ -e "$tty/device" ] && device=yes
  echo "note sysfs $name: device $device, type $(cat "$tty/type" 2>/dev/null || echo none)"
done

read -r mode repeats </rig/mode
case $mode in
  cases)
    port_cases /dev/ttyS1 ttyS1 /tmp/ttyS1 /rig/image.bin
    port_cases /dev/ttyUSB0 ttyUSB0 /tmp/ttyUSB0 /rig/image.bin
    mkdir -p /tmp/missing
    missing_port /dev/ttyS2 "ttyS2 without a UART is a missing port" /tmp/missing
    missing_port /dev/ttyS9 "a port that does not exist" /tmp/missing
    ;;
  unplug)
    unplug_cases /tmp/unplug /rig/image.bin /rig/list.cxf
    ;;
  paced)
    paced_cases /dev/ttyS1 /tmp/paced /rig/image.bin "$repeats"
    ;;
  *)
    fail "mode" "unknown mode $mode"
    ;;
esac
end
