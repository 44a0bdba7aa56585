#!/usr/bin/env bash
# Builds bench/workout_timer and runs it: the cost of one sequencer tick, and the offsets of the
# one-second timer from its grid.
#   bench/workout-timer.sh [build dir (default: build)] [ticks (default 10)]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[[ -f $build/build.ninja ]] || cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 workout_timer >/dev/null
"$build/bench/workout_timer" "${2:-10}"
