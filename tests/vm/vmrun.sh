#!/usr/bin/env bash
# Runs one command as root in a QEMU guest booted with Debian's own kernel,
# on the host's root (read-only, under a tmpfs overlay), with the USB gadget
# and class drivers loaded, and exits with the command's exit code.
#
#   bash tests/vm/vmrun.sh [--rw DIR]... [--timeout SECONDS] [--env NAME=VALUE]... -- COMMAND [ARGS...]
#
# The command's stdout and stderr reach ours through two serial ports.
set -euo pipefail

fail() { echo "vmrun: $*" >&2; exit 125; }
usage() { fail "usage: vmrun.sh [--rw DIR]... [--timeout SECONDS] [--env NAME=VALUE]... -- COMMAND [ARGS...]"; }

rw_dirs=()
extra_env=()
timeout_s=300
while [ $# -gt 0 ]; do
  case "$1" in
    --rw)
      [ $# -ge 2 ] || usage
      d="$(realpath -e -- "$2" 2>/dev/null)" && [ -d "$d" ] || fail "--rw $2: not a directory"
      [[ "$d" != *$'\n'* && "$d" != / ]] || fail "--rw $2: unusable path"
      rw_dirs+=("$d"); shift 2 ;;
    --timeout)
      [ $# -ge 2 ] && [[ "$2" =~ ^[1-9][0-9]*$ ]] || fail "--timeout wants whole seconds"
      timeout_s="$2"; shift 2 ;;
    --env)
      [ $# -ge 2 ] && [[ "$2" =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] || fail "--env wants NAME=VALUE"
      extra_env+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
[ $# -gt 0 ] || usage

for tool in qemu-system-x86_64 apt-cache apt-get dpkg-deb cpio xz flock timeout; do
  command -v "$tool" >/dev/null || fail "$tool is missing (bash setup.sh test installs the VM packages)"
done
for tool in /bin/busybox /sbin/depmod /sbin/modprobe; do
  [ -x "$tool" ] || fail "$tool is missing (bash setup.sh test installs the VM packages)"
done

# Loaded in this order before the command runs: nothing runs udev in the
# guest, so the class drivers must be there before dummy_hcd brings up the bus.
boot_modules=(virtio_pci 9pnet_virtio 9p overlay)
device_modules=(configfs libcomposite usb_f_midi usb_f_acm usb_f_mass_storage
  snd-usb-audio snd-seq-midi cdc-acm usb-storage sd_mod vfat nls_cp437 nls_iso8859-1 nls_utf8
  dummy_hcd)

# ---------------------------------------------------------------- the kernel
cache_root="${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/veltaupdater-vm"
pkg="$(apt-cache depends linux-image-amd64 2>/dev/null |
  sed -n 's/^ *Depends: \(linux-image-6\.1\.0-[0-9]*-amd64\)$/\1/p' | head -n1)" || true
if [ -n "$pkg" ]; then
  kver="${pkg#linux-image-}"
else
  # No package lists (offline, before apt-get update): a kernel prepared
  # earlier will do.
  kver="$(ls -1 "$cache_root" 2>/dev/null | grep -E '^6\.1\.0-[0-9]+-amd64$' | sort -V | tail -n1)" || true
  [ -n "$kver" ] || fail "cannot tell which kernel to use: apt-cache knows no linux-image-amd64 (run apt-get update)"
  pkg="linux-image-$kver"
fi
kdir="$cache_root/$kver"

# The guest's PID 1. The host passes the rest through the "vmctl" share:
# tree (the unpacked modules), rw (one directory per line), run.sh.
read -r -d '' init_script <<'EOF' || true
#!/bin/sh
export PATH=/bin
mount -t devtmpfs dev /dev
exec </dev/null >/dev/ttyS1 2>&1
say() { echo "vmrun: guest: $*"; }
halt() { say "$*"; poweroff -f; }
mount -t proc proc /proc
while read -r m; do insmod "/$m" || say "insmod $m failed"; done </modules
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
ln -s /proc/self/fd $r/dev/fd
ln -s /proc/self/fd/0 $r/dev/stdin
ln -s /proc/self/fd/1 $r/dev/stdout
ln -s /proc/self/fd/2 $r/dev/stderr
mkdir -p $r/dev/pts $r/dev/shm $r/media
mount -t devpts -o ptmxmode=0666,mode=0620,gid=5 devpts $r/dev/pts
mount -t tmpfs -o mode=1777 shm $r/dev/shm
mount -t tmpfs -o mode=0755 run $r/run
mkdir -p $r/run/media
# The host's /media is live; the guest's drives must not mix with it.
mount -t tmpfs -o mode=0755 media $r/media
i=0
while IFS= read -r d; do
  mount -t 9p -o $o,multidevs=remap rw$i "$r$d" || halt "cannot mount $d"
  i=$((i + 1))
done </ctl/rw
read -r tree </ctl/tree
printf '#!/bin/sh\nexec /bin/chroot /newroot /sbin/modprobe -d "%s" "$@"\n' "$tree" >/bin/modprobe-host
chmod 755 /bin/modprobe-host
echo /bin/modprobe-host >/proc/sys/kernel/modprobe
cp /ctl/run.sh $r/run/vmrun.sh
stty -F /dev/ttyS0 raw -echo
stty -F /dev/ttyS1 raw -echo
chroot $r /bin/bash /run/vmrun.sh </dev/null >/dev/ttyS0 2>/dev/ttyS1
rc=$?
# stty waits for the ports to drain, so no output is lost at power-off.
stty -F /dev/ttyS0 raw
stty -F /dev/ttyS1 raw
echo $rc >/ctl/rc
echo 0 >/proc/sys/kernel/printk
poweroff -f
EOF

module_list() {  # module paths in load order, relative to the tree
  local m
  for m in "$@"; do
    modprobe -d "$kdir" -S "$kver" --show-depends "$m" || return 1
  done | awk '$1 == "insmod" { print $2 }' | awk '!seen[$0]++' |
    sed "s|^$kdir/||" | grep -v '/arch/x86/crypto/'  # CPU-specific variants: the emulated CPU lacks them
}

prepare_kernel() {
  local work
  work="$(mktemp -d "$cache_root/.prepare.XXXXXX")"
  echo "vmrun: preparing kernel $kver in $kdir (once)" >&2
  (cd "$work" && timeout 600 apt-get download -q=2 "$pkg" 2>/dev/null) ||
    { rm -rf "$work"; fail "apt-get download $pkg failed"; }
  dpkg-deb -x "$work"/*.deb "$work/deb" && mkdir "$work/out" && mv "$work/deb/lib" "$work/out/lib" &&
    depmod -b "$work/out" "$kver" || { rm -rf "$work"; fail "cannot unpack $pkg"; }
  local bz="$work/deb/boot/vmlinuz-$kver" offset
  offset="$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$bz" | head -n1 | cut -d: -f1)" || true
  { [ -n "$offset" ] && tail -c +"$((offset + 1))" "$bz" >"$work/vmlinux.xz" &&
    xz -dc --single-stream "$work/vmlinux.xz" >"$work/out/vmlinux" &&
    [ "$(head -c4 "$work/out/vmlinux")" = $'\x7fELF' ]; } ||
    { rm -rf "$work"; fail "cannot extract vmlinux from $bz"; }
  mv -T "$work/out" "$kdir"
  rm -rf "$work"
  # A superseded kernel is 400 MB that nothing will use again.
  find "$cache_root" -mindepth 1 -maxdepth 1 -name '6.1.0-*-amd64' ! -name "$kver" -exec rm -rf {} +
}

prepare_initramfs() {  # $1: destination
  local stage m
  stage="$(mktemp -d "$cache_root/.initramfs.XXXXXX")"
  mkdir -p "$stage"/{bin,dev,proc,ctl,lower,upper,newroot}
  cp /bin/busybox "$stage/bin/busybox"
  for m in $("$stage/bin/busybox" --list); do [ "$m" = busybox ] || ln -s busybox "$stage/bin/$m"; done
  printf '%s\n' "$init_script" >"$stage/init" && chmod 755 "$stage/init"
  module_list "${boot_modules[@]}" "${device_modules[@]}" >"$stage/modules" ||
    { rm -rf "$stage"; fail "cannot resolve the modules of $kver"; }
  while read -r m; do install -D -m644 "$kdir/$m" "$stage/$m"; done <"$stage/modules"
  (cd "$stage" && find . | cpio -o -H newc -R 0:0 --quiet) >"$stage.cpio" &&
    mv "$stage.cpio" "$1" || { rm -rf "$stage" "$stage.cpio"; fail "cannot pack the initramfs"; }
  rm -rf "$stage"
  # Older recipes, unless another checkout's vmrun may still start with one.
  find "$kdir" -maxdepth 1 -name 'initramfs-*.cpio' ! -path "$1" -mmin +1440 -delete
}

# A change to this script or to busybox gives a new initramfs.
recipe="$({ cat "${BASH_SOURCE[0]}"; stat -Lc %s.%Y /bin/busybox; } | sha256sum | cut -c1-16)"
initramfs="$kdir/initramfs-$recipe.cpio"
if [ ! -f "$initramfs" ]; then
  mkdir -p "$cache_root" || fail "cannot create $cache_root"
  exec 9>"$cache_root/lock"
  # Another vmrun may be preparing the same kernel: wait for it, then use its work.
  flock -w 900 9 || fail "waited 15 minutes for another vmrun to prepare $cache_root"
  rm -rf "$cache_root"/.prepare.* "$cache_root"/.initramfs.*
  [ -d "$kdir" ] || prepare_kernel
  [ -f "$initramfs" ] || prepare_initramfs "$initramfs"
  exec 9>&-
fi

# ------------------------------------------------------------------ the run
ctl="$(mktemp -d "${TMPDIR:-/tmp}/vmrun.XXXXXX")"
qemu_pid=""
cleanup() {
  if [ -n "$qemu_pid" ]; then kill "$qemu_pid" 2>/dev/null || true; wait "$qemu_pid" 2>/dev/null || true; fi
  rm -rf "$ctl"
}
trap cleanup EXIT
trap 'fail "interrupted; QEMU stopped"' INT TERM

printf '%s\n' "$kdir" >"$ctl/tree"
printf '%s' "${rw_dirs[@]/%/$'\n'}" >"$ctl/rw"
guest_env=(HOME=/root USER=root LOGNAME=root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
while IFS= read -r name; do
  guest_env+=("$name=${!name}")
done < <(compgen -e | grep -E '^(QT_QPA_PLATFORM|LANG|LC_ALL|QTEST_.*)$' || true)
guest_env+=("${extra_env[@]}")
{
  printf 'cd -- %q || exit 125\n' "$PWD"
  printf 'exec env -i'
  printf ' %q' "${guest_env[@]}" "$@"
  printf '\n'
} >"$ctl/run.sh"

share() {  # $1 tag, $2 path, $3 extra options
  qemu_args+=(-fsdev "local,id=$1,path=$2,security_model=none,multidevs=remap${3:-}"
    -device "virtio-9p-pci,fsdev=$1,mount_tag=$1")
}
qemu_args=(-accel tcg -M pc -m 1024 -smp 1 -nodefaults -no-user-config -display none -no-reboot
  -kernel "$kdir/vmlinux" -initrd "$initramfs"
  # loglevel=1: quiet, but a kernel panic still says why the guest died.
  -append "console=ttyS1 quiet loglevel=1 panic=-1 rdinit=/init")
# ttyS0 carries the command's stdout, ttyS1 its stderr and the console.
if [ -p /dev/stderr ] || [ -f /dev/stderr ] || [ -c /dev/stderr ]; then
  qemu_args+=(-chardev stdio,id=out,signal=off -serial chardev:out
    -chardev file,id=err,path=/dev/stderr,append=on -serial chardev:err)
else
  # Our stderr cannot be reopened (a socket): both go to stdout.
  qemu_args+=(-chardev stdio,id=out,signal=off,mux=on -serial chardev:out -serial chardev:out)
fi
share hostroot / ",readonly=on"
share vmctl "$ctl"
for i in "${!rw_dirs[@]}"; do share "rw$i" "${rw_dirs[$i]}"; done

timeout -k 5 "$timeout_s" qemu-system-x86_64 "${qemu_args[@]}" </dev/null &
qemu_pid=$!
set +e
wait "$qemu_pid"
qemu_rc=$?
set -e
qemu_pid=""

if [ -f "$ctl/rc" ]; then
  rc="$(cat "$ctl/rc")"
  [[ "$rc" =~ ^[0-9]+$ ]] || fail "the guest reported a garbled exit code: $rc"
  exit "$rc"
fi
case "$qemu_rc" in
  124|137) fail "timed out after $timeout_s s; QEMU was killed" ;;
  0) fail "the guest powered off without reporting the command's exit code (see its messages above)" ;;
  *) fail "QEMU failed (exit $qemu_rc) before the guest reported an exit code" ;;
esac
