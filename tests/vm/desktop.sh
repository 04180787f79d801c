#!/usr/bin/env bash
# In the test VM, as root: starts what a desktop has (udevd, the system
# D-Bus, polkitd, udisksd), makes the desktop user with the rights an active
# session gives it, then runs the command, still as root. Anything that does
# not come up ends the run with 125: nothing falls back to root.
#
#   bash tests/vm/vmrun.sh -- bash tests/vm/desktop.sh COMMAND [ARGS...]
set -euo pipefail

user=velta
state=/run/velta-desktop
fail() { echo "desktop: $*" >&2; tail -n 20 "$state"/*.log >&2 2>/dev/null; exit 125; }
[ "$(id -u)" = 0 ] && [ -d /sys/kernel/config/usb_gadget ] && [ $# -gt 0 ] ||
  fail "usage, as root in the test VM: bash tests/vm/vmrun.sh -- bash tests/vm/desktop.sh COMMAND"
# The tests leave the user's files in /tmp/velta-desktop.
mkdir -p "$state" /etc/polkit-1/rules.d /run/dbus && install -d -m 755 /tmp/velta-desktop

# What logind and the desktop's polkit defaults give the seat's active
# user: a runtime folder, the disk service's actions (allow_active) and,
# once udev has run, the sound devices (uaccess). All in the guest's overlay.
useradd -m -s /bin/bash "$user" || fail "useradd $user failed"
install -d -o "$user" -g "$user" -m 700 "/run/user/$(id -u "$user")"
cat >/etc/polkit-1/rules.d/50-velta-session.rules <<RULES
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.udisks2.") == 0 && subject.user == "$user")
        return polkit.Result.YES;
});
RULES
# The tests run from the build tree: its folders must let the user through.
for d in "$(dirname "$(realpath -m -- "$(command -v -- "$1" || echo "$1")")")" "$PWD"; do
  while [ "$d" != / ]; do chmod o+x "$d" || fail "cannot open $d to $user"; d="$(dirname "$d")"; done
done

# The package's udev rule, where the package puts it: it marks the VELTA's serial port.
install -m 644 "$(dirname "$(realpath "$0")")/../../packaging/70-veltaupdater.rules" /usr/lib/udev/rules.d/ ||
  fail "cannot install the udev rule"
/lib/systemd/systemd-udevd --daemon >"$state/udevd.log" 2>&1 || fail "systemd-udevd did not start"
udevadm trigger --action=add || fail "udevadm trigger failed"
# udisksd is started here and a test stops it: D-Bus must not start it again.
rm -f /usr/share/dbus-1/system-services/org.freedesktop.UDisks2.service
dbus-daemon --system --fork 2>"$state/dbus.log" || fail "dbus-daemon did not start"
/usr/lib/polkit-1/polkitd --no-debug >"$state/polkitd.log" 2>&1 &
/usr/libexec/udisks2/udisksd --no-debug >"$state/udisksd.log" 2>&1 &
echo $! >"$state/udisksd.pid"
udevadm settle --timeout=30 || fail "udev did not settle within 30 s"
for name in org.freedesktop.PolicyKit1 org.freedesktop.UDisks2; do
  timeout 15 gdbus wait --system --timeout 10 "$name" || fail "$name did not appear on the system bus within 10 s"
done
# After udev, which set the owners and modes the ACLs go on.
setfacl -m "u:$user:rw" /dev/snd/* || fail "setfacl on /dev/snd failed"

exec "$@"
