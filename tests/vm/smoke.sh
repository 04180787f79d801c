#!/usr/bin/env bash
# Shell-level proof that the VM plays the device on the real drivers. Runs
# in the guest:
#   bash tests/vm/vmrun.sh -- bash tests/vm/smoke.sh [BIN_DIR]
# BIN_DIR: a build's bin/ with velta-gadgetdevice, stk500sim and resources/.
set -euo pipefail
bin="$(realpath "${1:-$(dirname "$0")/../../build/bin}")"
work="$(mktemp -d)"
device=""
trap '[ -z "$device" ] || kill "$device" 2>/dev/null; rm -rf "$work"' EXIT

now() { cut -d' ' -f1 /proc/uptime; }
timing() { awk -v t0="$2" -v t1="$(now)" -v what="$1" 'BEGIN { printf "timing: %s %.2f s\n", what, t1 - t0 }'; }
fail() { echo "smoke: FAIL: $*"; tail -n 20 "$work"/*.err "$work"/avrdude.log 2>/dev/null || true; exit 1; }
wait_line() {  # NAME PREFIX: 20 s for the device to print it
  for _ in $(seq 400); do
    grep -q "^$2" "$work/$1.out" && return 0
    kill -0 "$device" 2>/dev/null || break
    sleep 0.05
  done
  fail "$1: no '$2' line"
}
start() {  # NAME ARGS...
  "$bin/velta-gadgetdevice" "${@:2}" >"$work/$1.out" 2>"$work/$1.err" &
  device=$!
  wait_line "$1" READY
}
stop() {  # the device cleans up in at most ~3 s
  kill "$device"
  wait "$device" || fail "device exited with $?"
  device=""
}
avrdude=("$bin/resources/avrdude" -C "$bin/resources/avrdude.conf" -v -p m328 -c arduino -P /dev/ttyACM0
  -b 115200 -D -U "flash:w:$work/fw.hex:i")

# (a) the MIDI device: card and sequencer port on the host side
t=$(now)
start midi midi
timing "MIDI device start to card and port shown" "$t"
aconnect -l >"$work/aconnect"
client="$(sed -n "s/^client \([0-9]*\): 'VELTA 2' .*/\1/p" "$work/aconnect")"
[ -n "$client" ] && grep -q "^ *0 'VELTA 2 MIDI 1" "$work/aconnect" || fail "no VELTA 2 MIDI 1 port: $(cat "$work/aconnect")"

# (b) the command through the sequencer (aplaymidi subscribes first), then the drive
printf 'MThd\0\0\0\6\0\0\0\1\0\140MTrk\0\0\0\023\0\360\014\175\126\114\062\126\105\114\124\101\062\001\367\0\377\057\0' \
  >"$work/command.mid"
t=$(now)
aplaymidi -p "$client:0" "$work/command.mid"
wait_line midi DRIVE
timing "command sent to drive mounted" "$t"
grep -qx 'RX F0 7D 56 4C 32 56 45 4C 54 41 32 01 F7' "$work/midi.out" || fail "wrong RX: $(cat "$work/midi.out")"
drive="$(sed -n 's/^DRIVE //p' "$work/midi.out")"
image="$(sed -n 's/^IMAGE //p' "$work/midi.out")"
mountpoint -q "$drive" || fail "$drive is not mounted"
head -c 65536 /dev/urandom >"$work/fw.uf2"
cp "$work/fw.uf2" "$drive/FW.UF2"
stop
mcopy -n -i "$image" ::/FW.UF2 "$work/back.uf2" && cmp "$work/fw.uf2" "$work/back.uf2" || fail "image does not hold the file"

# (c) the serial device: avrdude programs the simulator behind /dev/ttyACM0
head -c 32768 /dev/urandom >"$work/fw.bin"
objcopy -I binary -O ihex "$work/fw.bin" "$work/fw.hex"
t=$(now)
start serial serial --flash-out "$work/flash.bin"
timing "serial device start to ttyACM0 served" "$t"
[ -c /dev/ttyACM0 ] || fail "no /dev/ttyACM0"
t=$(now)
"${avrdude[@]}" >"$work/avrdude.log" 2>&1 || fail "avrdude failed"
timing "avrdude 32 KiB write and verify" "$t"
cmp <(head -c 32768 "$work/flash.bin") "$work/fw.bin" || fail "flash differs from the image"
stop

# (d) unplugged mid-write: avrdude must not succeed. avrdude 7.1 loops on
# read() == 0 of the hung-up tty instead of exiting, so it gets 1.5 s and is
# then killed, as the updater's time limit would.
start unplug serial --unplug-after-pages 20
"${avrdude[@]}" >"$work/avrdude.log" 2>&1 &
programmer=$!
wait_line unplug UNPLUGGED
timeout 1.5 tail -s 0.1 --pid="$programmer" -f /dev/null ||
  { kill -9 "$programmer"; echo "note: avrdude still running 1.5 s after the unplug; killed"; }
if { wait "$programmer"; } 2>/dev/null; then fail "avrdude succeeded on an unplugged device"; fi
[ ! -e /dev/ttyACM0 ] || fail "/dev/ttyACM0 still there after the unplug"
stop

# (e) "unplug" from another process: the sequencer port goes away
start gone midi --never-drive
"$bin/velta-gadgetdevice" unplug
for _ in $(seq 100); do grep -q '"VELTA 2 MIDI 1"' /proc/asound/seq/clients || break; sleep 0.05; done
! grep -q '"VELTA 2 MIDI 1"' /proc/asound/seq/clients || fail "port still listed after unplug"
stop
echo "smoke: all passed"
