#!/usr/bin/env bash
# Runs one command as root in a QEMU guest booted with Debian's own kernel,
# on the host's root (read-only, under a tmpfs overlay), with the USB gadget
# and class drivers loaded; exits with the command's exit code (125: the rig
# failed). See README.md.
#
#   bash tests/vm/vmrun.sh [--timeout SECONDS] -- COMMAND [ARGS...]
set -euo pipefail

fail() { echo "vmrun: $*" >&2; exit 125; }
timeout_s=300
[ "${1:-}" != --timeout ] || { [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || fail "--timeout wants whole seconds"; timeout_s=$2; shift 2; }
[ "${1:-}" = -- ] && [ $# -gt 1 ] || fail "usage: vmrun.sh [--timeout SECONDS] -- COMMAND [ARGS...]"
shift
for tool in qemu-system-x86_64 apt-get dpkg-deb cpio xz flock timeout /bin/busybox /sbin/depmod /sbin/modprobe; do
  command -v "$tool" >/dev/null || fail "$tool is missing (bash setup.sh test installs it)"; done

# Nothing runs udev in the guest: the class drivers must be loaded before
# dummy_hcd brings up the bus. It brings up two (dummy_udc.0 and .1): the
# device, and a second device beside it.
modules=(virtio_pci 9pnet_virtio 9p overlay configfs libcomposite usb_f_midi usb_f_acm usb_f_mass_storage
  snd-usb-audio snd-seq-midi cdc-acm usb-storage sd_mod vfat nls_cp437 nls_iso8859-1 nls_utf8 dummy_hcd)

cache="${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/veltaupdater-vm"
kver="$(apt-cache depends linux-image-amd64 2>/dev/null |
  sed -n 's/^ *Depends: linux-image-\(6\.1\.0-[0-9]*-amd64\)$/\1/p' | head -n1)" || true
# Without package lists (offline), a kernel prepared earlier will do.
[ -n "$kver" ] || kver="$(ls "$cache" 2>/dev/null | grep -E '^6\.1\.0-[0-9]+-amd64$' | sort -V | tail -n1)" || true
[ -n "$kver" ] || fail "no kernel: apt-cache knows no linux-image-amd64 (run apt-get update)"
kdir="$cache/$kver"

# The guest's PID 1. The host passes the module tree's path and the command
# through the "vmctl" share.
read -r -d '' init_script <<'EOF' || true
#!/bin/sh
export PATH=/bin
mount -t devtmpfs dev /dev
exec </dev/null >/dev/ttyS1 2>&1
halt() { echo "vmrun: guest: $*"; poweroff -f; }
mount -t proc proc /proc
while read -r m args; do insmod "/$m" $args || echo "vmrun: guest: insmod $m failed"; done </modules
o=trans=virtio,version=9p2000.L,msize=512000
mount -t 9p -o $o vmctl /ctl || halt "cannot mount the control share"
mount -t 9p -o ro,$o,cache=loose hostroot /lower || halt "cannot mount the host's root"
mount -t tmpfs -o mode=0755 upper /upper && mkdir /upper/data /upper/work
r=/newroot
mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work root $r || halt "overlay failed"
mount -t proc proc $r/proc
mount -t sysfs sys $r/sys
mount -t configfs configfs $r/sys/kernel/config
mount -t devtmpfs dev $r/dev
for f in fd:self/fd stdin:self/fd/0 stdout:self/fd/1 stderr:self/fd/2; do ln -s "/proc/${f#*:}" "$r/dev/${f%%:*}"; done
mkdir -p $r/dev/pts $r/dev/shm $r/media
mount -t devpts -o ptmxmode=0666,mode=0620,gid=5 devpts $r/dev/pts
mount -t tmpfs -o mode=1777 shm $r/dev/shm
mount -t tmpfs -o mode=0755 run $r/run && mkdir $r/run/media
# The host's /media is live; the guest's drives must not mix with it.
mount -t tmpfs -o mode=0755 media $r/media
# The kernel's module requests go to the real modprobe on the unpacked tree.
printf '#!/bin/sh\nexec /bin/chroot /newroot /sbin/modprobe -d "%s" "$@"\n' "$(cat /ctl/tree)" >/bin/modprobe-host
chmod 755 /bin/modprobe-host
echo /bin/modprobe-host >/proc/sys/kernel/modprobe
cp /ctl/run.sh $r/run/vmrun.sh
for t in 0 1; do stty -F /dev/ttyS$t raw -echo; done
chroot $r /bin/bash /run/vmrun.sh </dev/null >/dev/ttyS0 2>/dev/ttyS1
echo $? >/ctl/rc
# stty waits for the ports to drain, so no output is lost at power-off.
for t in 0 1; do stty -F /dev/ttyS$t raw; done
echo 0 >/proc/sys/kernel/printk
poweroff -f
EOF

prepare_kernel() {  # download, unpack, depmod, and cut vmlinux out of the bzImage
  local work bz offset
  work="$(mktemp -d "$cache/.prepare.XXXXXX")"
  echo "vmrun: preparing kernel $kver in $kdir (once)" >&2
  (cd "$work" && timeout 600 apt-get download -q=2 "linux-image-$kver") && dpkg-deb -x "$work"/*.deb "$work/deb" &&
    mkdir "$work/out" && mv "$work/deb/lib" "$work/out/lib" && depmod -b "$work/out" "$kver" ||
    fail "cannot download or unpack linux-image-$kver"
  bz="$work/deb/boot/vmlinuz-$kver"
  offset="$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$bz" | head -n1 | cut -d: -f1)" || true
  [ -n "$offset" ] && tail -c +"$((offset + 1))" "$bz" >"$work/vmlinux.xz" &&
    xz -dc --single-stream "$work/vmlinux.xz" >"$work/out/vmlinux" &&
    [ "$(head -c4 "$work/out/vmlinux")" = $'\x7fELF' ] || fail "cannot extract vmlinux from $bz"
  mv -T "$work/out" "$kdir"
  rm -rf "$work"
  # A superseded kernel is 400 MB that nothing will use again.
  find "$cache" -mindepth 1 -maxdepth 1 -name '6.1.0-*-amd64' ! -name "$kver" -exec rm -rf {} +
}

prepare_initramfs() {  # $1: destination; static busybox as /init's shell, the modules in load order
  local stage m
  stage="$(mktemp -d "$cache/.initramfs.XXXXXX")"
  mkdir -p "$stage"/{bin,dev,proc,ctl,lower,upper,newroot}
  cp /bin/busybox "$stage/bin/"
  for m in $(/bin/busybox --list); do [ "$m" = busybox ] || ln -s busybox "$stage/bin/$m"; done
  printf '%s\n' "$init_script" >"$stage/init" && chmod 755 "$stage/init"
  # The emulated CPU lacks the CPU-specific crypto variants.
  for m in "${modules[@]}"; do modprobe -d "$kdir" -S "$kver" --show-depends "$m" || fail "no module $m"; done |
    awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | sed -e "s|^$kdir/||" -e 's|/dummy_hcd\.ko$|& num=2|' |
    grep -v '/arch/x86/crypto/' >"$stage/modules" ||
    fail "cannot resolve the modules of $kver"
  while read -r m _; do install -D -m644 "$kdir/$m" "$stage/$m"; done <"$stage/modules"
  (cd "$stage" && find . | cpio -o -H newc -R 0:0 --quiet) >"$stage.cpio" && mv "$stage.cpio" "$1" ||
    fail "cannot pack the initramfs"
  rm -rf "$stage"
  # Older recipes, unless another checkout's vmrun may still start with one.
  find "$kdir" -maxdepth 1 -name 'initramfs-*.cpio' ! -path "$1" -mmin +1440 -delete
}

# A change to this script or to busybox gives a new initramfs. Another
# vmrun may be preparing the same cache: wait for it, then use its work.
recipe="$({ cat "${BASH_SOURCE[0]}"; stat -Lc %s.%Y /bin/busybox; } | sha256sum | cut -c1-16)"
initramfs="$kdir/initramfs-$recipe.cpio"
if [ ! -f "$initramfs" ]; then
  mkdir -p "$cache" && exec 9>"$cache/lock" && flock -w 900 9 || fail "cannot lock $cache"
  rm -rf "$cache"/.prepare.* "$cache"/.initramfs.*
  [ -d "$kdir" ] || prepare_kernel
  [ -f "$initramfs" ] || prepare_initramfs "$initramfs"
  exec 9>&-
fi

ctl="$(mktemp -d "${TMPDIR:-/tmp}/vmrun.XXXXXX")"
qemu_pid=""
trap '[ -z "$qemu_pid" ] || { kill "$qemu_pid"; wait "$qemu_pid"; } 2>/dev/null || true; rm -rf "$ctl"' EXIT
trap 'fail "interrupted; QEMU stopped"' INT TERM

# The command runs in our working directory with a clean root environment
# and our Qt and locale settings.
echo "$kdir" >"$ctl/tree"
guest_env=(HOME=/root USER=root LOGNAME=root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
for name in $(compgen -e | grep -E '^(QT_QPA_PLATFORM|LANG|LC_ALL|QTEST_.*)$'); do guest_env+=("$name=${!name}"); done
printf 'cd -- %q || exit 125\nexec env -i%s\n' "$PWD" "$(printf ' %q' "${guest_env[@]}" "$@")" >"$ctl/run.sh"

# ttyS0 carries the command's stdout, ttyS1 its stderr and the console;
# both go to our stdout when our stderr can't be reopened (a socket).
if [ -p /dev/stderr ] || [ -f /dev/stderr ] || [ -c /dev/stderr ]; then
  serial=(-chardev stdio,id=out,signal=off -serial chardev:out -chardev file,id=err,path=/dev/stderr,append=on -serial chardev:err)
else
  serial=(-chardev stdio,id=out,signal=off,mux=on -serial chardev:out -serial chardev:out)
fi
timeout -k 5 "$timeout_s" qemu-system-x86_64 -accel tcg -M pc -m 1024 -smp 1 -nodefaults -no-user-config \
  -display none -no-reboot -kernel "$kdir/vmlinux" -initrd "$initramfs" "${serial[@]}" \
  -append "console=ttyS1 quiet loglevel=1 panic=-1 rdinit=/init" \
  -fsdev local,id=hostroot,path=/,security_model=none,multidevs=remap,readonly=on \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev local,id=vmctl,path="$ctl",security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=vmctl,mount_tag=vmctl </dev/null &
qemu_pid=$!
qemu_rc=0
wait "$qemu_pid" || qemu_rc=$?
qemu_pid=""

[ ! -f "$ctl/rc" ] || exit "$(cat "$ctl/rc")"
[ "$qemu_rc" != 124 ] && [ "$qemu_rc" != 137 ] || fail "timed out after $timeout_s s; QEMU was killed"
fail "the guest ended (QEMU exit $qemu_rc) without the command's exit code (see its messages above)"
