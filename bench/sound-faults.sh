#!/usr/bin/env bash
# Builds bench/sound_faults and runs it: the longest GUI-thread stall while the sound server is
# stopped, the time from a restarted server to the next cue heard, and the first cue's latency
# after launch. It runs a PulseAudio server of its own, so it needs no test environment.
#   bench/sound-faults.sh [build dir (default: build)] [rounds (default: 5)]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-5}
[[ -f $build/build.ninja ]] || cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 sound_faults >/dev/null
SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-pulseaudio} "$build/bench/sound_faults" "$rounds"
