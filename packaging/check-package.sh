#!/usr/bin/env bash
# Builds the .deb from a build tree and checks it the way Debian and a
# desktop would, then unpacks it into a temporary folder and starts the
# program from there on a virtual display until its window is drawn.
# usage: check-package.sh BUILD_DIR VERSION SCREENSHOT_TOOL
set -euo pipefail
build=$1 version=$2 grab=$3

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

deb="$work/veltaupdater_${version}_$(dpkg --print-architecture).deb"
timeout 120 cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" \
  || { cat "$work/cpack.log"; fail "cpack"; }
[ -f "$deb" ] || fail "cpack made no $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ "$depends" == *avrdude* && "$depends" == *libqt6widgets6* ]] || fail "Depends lacks avrdude or Qt"

timeout 120 lintian --fail-on error "$deb" || fail "lintian reports errors"

root="$work/root"
dpkg-deb -x "$deb" "$root"
rule="$root/usr/lib/udev/rules.d/70-veltaupdater.rules"
grep -q 'TAG+="uaccess"' "$rule" && grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$rule" || fail "the udev rule"
desktop-file-validate "$root/usr/share/applications/veltaupdater.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml || fail "AppStream metainfo"

# The application alone: no test, benchmark or tool programs.
programs=$(cd "$root" && find . -type f -perm -u+x)
[ "$programs" = ./usr/libexec/veltaupdater/VeltaUpdater ] || fail "programs in the package: $programs"

dir="$root/usr/libexec/veltaupdater"
tool=$(readlink -f "$dir/resources/avrdude") conf=$(readlink -f "$dir/resources/avrdude.conf")
[ -f "$tool" ] && [ -x "$tool" ] || fail "resources/avrdude does not resolve to a program"
[ -f "$conf" ] && [ -r "$conf" ] || fail "resources/avrdude.conf does not resolve to a readable file"
echo "resources/avrdude -> $tool, resources/avrdude.conf -> $conf"

# Xvfb keeps its screen in a file: a black root until a client draws, and
# Qt maps its window without a background, so the screen changes only when
# the window's first frame is painted.
Xvfb -displayfd 3 -screen 0 800x600x24 -br -nolisten tcp -fbdir "$work" \
  3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; fail "Xvfb did not start within 10 s"; }
export DISPLAY=":$(cat "$work/display")"
cp "$work/Xvfb_screen0" "$work/bare"

start=$(date +%s%N)
"$dir/VeltaUpdater" >"$work/app.log" 2>&1 &
pids+=($!)
drawn=""
for _ in $(seq 150); do
  kill -0 "${pids[1]}" 2>/dev/null || { cat "$work/app.log"; fail "the program exited"; }
  cmp -s "$work/bare" "$work/Xvfb_screen0" || { drawn=yes; break; }
  sleep 0.1
done
[ -n "$drawn" ] || { cat "$work/app.log"; fail "no frame within 15 s"; }
echo "first frame after $(( ($(date +%s%N) - start) / 1000000 )) ms"
timeout 20 "$grab" "$build/package-first-frame.png" && echo "picture: $build/package-first-frame.png"
echo "package OK: $(basename "$deb")"
