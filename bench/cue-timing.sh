#!/usr/bin/env bash
# Builds bench/cue_timing and runs it against a PulseAudio null sink of scripts/test-env.sh,
# once per number of busy loops beside it (each `sh -c 'while :; do :; done'` at nice 0,
# started and stopped by its PID): each cue of the one-second timer against its second, at the
# play, in the mixer and at the sink. The server runs at SCHED_FIFO 5, as rtkit has it on a
# desktop.
#   bench/cue-timing.sh [build dir (default: build)] [cues per run (default: 60)]
#                       [busy loops per run (default: "0 2")]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cues=${2:-60}
read -r -a loads <<<"${3:-0 2}"
[[ -f $build/build.ninja ]] || cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 cue_timing >/dev/null
source scripts/test-env.sh
vintra_env_start
if [[ -z ${VINTRA_NULL_SINK:-} ]]; then
  echo "cue-timing: no PulseAudio null sink, nothing to measure" >&2
  exit 1
fi
chrt -a -f -p 5 "$(cat "$XDG_RUNTIME_DIR/pulse/pid")"

source bench/busy-loops.sh
# This replaces test-env's own EXIT trap, so it stops the servers too.
trap 'stop_busy; vintra_env_stop' EXIT
trap "exit 143" TERM INT

for n in "${loads[@]}"; do
  start_busy "$n"
  echo "== $n busy loops; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  SDL_AUDIODRIVER=pulseaudio "$build/bench/cue_timing" "$cues" || echo "cue-timing: some cues were not heard" >&2
  stop_busy
done
