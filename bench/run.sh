#!/usr/bin/env bash
# Builds the benchmarks (through the shared build lock, as other builds run
# on this machine) and prints their table.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
lock=/tmp/velta-build.lock
log="$build/bench-build.log"

# Configured afresh when there is no build yet, or when it predates the
# benchmark targets (make only learns of new targets from cmake).
if [ ! -f "$build/CMakeCache.txt" ] \
   || ! cmake --build "$build" --target help 2>/dev/null | grep -qw velta-bench; then
  mkdir -p "$build"
  flock "$lock" cmake -S "$root" -B "$build" >"$build/bench-configure.log" 2>&1 || {
    tail -n 40 "$build/bench-configure.log" >&2
    exit 1
  }
fi

echo "velta-bench: building (waits for the build lock)..." >&2
if ! flock "$lock" cmake --build "$build" --target velta-bench -j2 >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  exit 1
fi

# The whole run takes a few minutes at most; a wedged one is ended.
exec timeout --kill-after=10 600 "$build/bin/velta-bench" "$@"
