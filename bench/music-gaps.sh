#!/usr/bin/env bash
# Builds bench/music_gaps and runs it against a PulseAudio null sink of scripts/test-env.sh,
# once per number of busy loops running beside it (each `sh -c 'while :; do :; done'` at nice
# 0, started and stopped by its PID): gaps in the music per hour and the latest cue over it.
# The server runs at real-time priority (SCHED_FIFO 5, what a desktop's rtkit grants PulseAudio),
# as on a desktop, so that a gap left is the program's own; SERVER_RT=0 leaves it as it starts.
# Each run is headed by "== N busy loops", the load average and the scheduling of the
# program's and the server's threads.
#   bench/music-gaps.sh [build dir (default: build)] [seconds per run (default: 600)]
#                       [busy loops per run (default: "0 2 4")]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-600}
read -r -a loads <<<"${3:-0 2 4}"
[[ -f $build/build.ninja ]] || cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 music_gaps >/dev/null
source scripts/test-env.sh
vintra_env_start
if [[ -z ${VINTRA_NULL_SINK:-} ]]; then
  echo "music-gaps: no PulseAudio null sink, nothing to measure" >&2
  exit 1
fi
server=$(cat "$XDG_RUNTIME_DIR/pulse/pid")
if [[ ${SERVER_RT:-1} == 1 ]]; then
  chrt -a -f -p 5 "$server"
fi

source bench/busy-loops.sh
# This replaces test-env's own EXIT trap, so it stops the servers too.
trap 'stop_busy; vintra_env_stop' EXIT
# A stop by signal still ends the loops and the servers (their EXIT traps).
trap "exit 143" TERM INT

# Policy, real-time priority and nice value of every thread of a process, counted:
# "TS - -20 x1, TS - 0 x4".
threads() {
  ps -L -o cls=,rtprio=,ni= -p "$1" | sort | uniq -c | awk '{ s = s sep $2 " " $3 " " $4 " x" $1; sep = ", " } END { print s }'
}

for n in "${loads[@]}"; do
  start_busy "$n"
  echo "== $n busy loops; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  SDL_AUDIODRIVER=pulseaudio "$build/bench/music_gaps" "$seconds" &
  bench=$!
  sleep 3
  echo "threads: program $(threads "$bench"); server $(threads "$server")"
  wait "$bench" || echo "music-gaps: some cues were not heard" >&2
  echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  stop_busy
done
