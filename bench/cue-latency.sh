#!/usr/bin/env bash
# Builds bench/cue_latency and runs it against a PulseAudio null sink of its own (started and
# stopped by scripts/test-env.sh). Prints median/max Play-to-sound latency over 20 cues in each of
# three states of the output (device open and paused; closed after idling; the old device still
# closing), how long the Play call took, and the memory and idle CPU of seven open channels.
# Takes about four minutes: the closed cases wait for the device to close after each cue.
#   bench/cue-latency.sh [build dir (default: build)] [plays per case (default: 20)]
#                        [close after idle, ms (default: the program's)]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh build test
build=${1:-build}
plays=${2:-20}
[[ -f $build/build.ninja ]] || cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 cue_latency vintra_default_sounds >/dev/null
source scripts/test-env.sh
vintra_env_start
if [[ -z ${VINTRA_NULL_SINK:-} ]]; then
  echo "cue-latency: no PulseAudio null sink, nothing to measure" >&2
  exit 1
fi
SDL_AUDIODRIVER=pulseaudio "$build/bench/cue_latency" "$build/bin/sounds" "$plays" ${3:+"$3"}
