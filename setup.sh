#!/usr/bin/env bash
# Installs what is missing (Debian 12), builds, then starts the application
# ("run") or runs the whole test suite ("test").
set -euo pipefail

mode="${1:-}"
case "$mode" in
  run|test) ;;
  *) echo "usage: bash setup.sh run|test" >&2; exit 2 ;;
esac

top="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$top/build"

build_packages=(cmake g++ make pkg-config qt6-base-dev qt6-serialport-dev libasound2-dev libjack-jackd2-dev avrdude fonts-dejavu-core)
test_packages=(jackd2 strace)
run_packages=(xvfb)

packages=("${build_packages[@]}")
if [ "$mode" = test ]; then packages+=("${test_packages[@]}"); fi
if [ "$mode" = run ] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then packages+=("${run_packages[@]}"); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"

if [ "$mode" = test ]; then
  cd "$build"
  exec ctest --output-on-failure --timeout 600 -j"$(nproc)"
fi

app="$build/bin/VeltaUpdater"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$app"
fi

# No display: start a virtual one, show the window there and take a picture.
display=":$(( 90 + RANDOM % 100 ))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$app_pid" "$xvfb" 2>/dev/null || true' EXIT INT TERM
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
DISPLAY="$display" "$app" &
app_pid=$!
sleep 3
shot="$build/screenshot.png"
DISPLAY="$display" "$build/bin/velta-screenshot" "$shot"
echo "No display here: VELTA 2 Updater runs on the virtual display $display."
echo "Screenshot of its window: $shot"
echo "Press Ctrl+C to stop it."
wait "$app_pid"
