#!/usr/bin/env bash
# Runs inside the test VM, as root: starts what a desktop has (udevd, the
# system D-Bus, polkitd, udisksd), makes the desktop user with the rights an
# active session gives it, then runs the command, still as root. Tests run
# the updater's part as that user (tests/support/desktopsession.h).
#
#   bash tests/vm/vmrun.sh -- bash tests/vm/desktop.sh COMMAND [ARGS...]
#
# Anything that does not come up ends the run here, with exit code 125:
# nothing falls back to running as root.
set -euo pipefail

user=velta
state=/run/velta-desktop
fail() {
  echo "desktop: $*" >&2
  for f in "$state"/*.log; do [ -s "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }; done
  exit 125
}

[ "$(id -u)" = 0 ] && [ -d /sys/kernel/config/usb_gadget ] ||
  fail "runs as root in the test VM: bash tests/vm/vmrun.sh -- bash tests/vm/desktop.sh COMMAND"
[ $# -gt 0 ] || fail "usage: desktop.sh COMMAND [ARGS...]"
for p in /lib/systemd/systemd-udevd udevadm dbus-daemon /usr/lib/polkit-1/polkitd /usr/libexec/udisks2/udisksd \
         gdbus udisksctl useradd setfacl getfacl setpriv; do
  command -v "$p" >/dev/null || fail "$p is missing (bash setup.sh test installs the desktop packages)"
done
mkdir -p "$state"

# The user, and what logind and the desktop's polkit defaults give the seat's
# active user: a runtime folder, the disk service's actions (allow_active)
# and, once udev has run, the sound devices (uaccess). All of it lives in the
# guest's overlay.
useradd -m -s /bin/bash "$user" || fail "useradd $user failed"
uid="$(id -u "$user")"
install -d -o "$user" -g "$user" -m 700 "/run/user/$uid"
mkdir -p /etc/polkit-1/rules.d
cat >/etc/polkit-1/rules.d/50-velta-session.rules <<RULES
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.udisks2.") == 0 && subject.user == "$user")
        return polkit.Result.YES;
});
RULES
# The tests run from the build tree: its folders must let the user through.
d="$(realpath -m -- "$(command -v -- "$1" || echo "$1")")"
for d in "$(dirname "$d")" "$PWD"; do
  while [ "$d" != / ]; do chmod o+x "$d" || fail "cannot open $d to $user"; d="$(dirname "$d")"; done
done

# udev: owners and modes from the rules, labels on block devices.
/lib/systemd/systemd-udevd --daemon >"$state/udevd.log" 2>&1 || fail "systemd-udevd did not start"
[ -S /run/udev/control ] || sleep 0.5
[ -S /run/udev/control ] || fail "systemd-udevd is not running (no /run/udev/control)"
udevadm trigger --action=add

# The system bus and its two services. udisksd is started here, and a test
# stops it: D-Bus must not start it again on demand.
rm -f /usr/share/dbus-1/system-services/org.freedesktop.UDisks2.service
mkdir -p /run/dbus
dbus-daemon --system --fork --print-pid >"$state/dbus.pid" 2>"$state/dbus.log" || fail "dbus-daemon did not start"
/usr/lib/polkit-1/polkitd --no-debug >"$state/polkitd.log" 2>&1 &
echo $! >"$state/polkitd.pid"
/usr/libexec/udisks2/udisksd --no-debug >"$state/udisksd.log" 2>&1 &
echo $! >"$state/udisksd.pid"

udevadm settle --timeout=30 || fail "udev did not settle within 30 s"
owned() {
  gdbus call --system -d org.freedesktop.DBus -o /org/freedesktop/DBus \
    -m org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
}
for name in org.freedesktop.PolicyKit1 org.freedesktop.UDisks2; do
  for _ in $(seq 100); do owned "$name" && break; sleep 0.1; done
  owned "$name" || fail "$name did not appear on the system bus within 10 s"
done
# After udev, which sets the owners and modes the ACLs go on.
setfacl -m "u:$user:rw" /dev/snd/* || fail "setfacl on /dev/snd failed"

exec "$@"
