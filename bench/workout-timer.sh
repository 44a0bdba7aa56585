#!/usr/bin/env bash
# Builds bench/workout_timer straight from the workout sources (no CMake target needed) and runs
# it: the cost of one sequencer tick, and the offsets of the one-second timer from its grid.
#   bench/workout-timer.sh [ticks (default 10)]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
moc=/usr/lib/qt6/libexec/moc
"$moc" -I. workout/workouttimer.h -o "$out/moc_workouttimer.cpp"
g++ -std=c++20 -O2 -fPIC -I. $(pkg-config --cflags Qt6Core) \
  bench/workout_timer.cpp workout/workouttimer.cpp workout/sequencer.cpp workout/plan.cpp \
  workout/planformat.cpp "$out/moc_workouttimer.cpp" $(pkg-config --libs Qt6Core) -o "$out/workout_timer"
"$out/workout_timer" "${1:-10}"
