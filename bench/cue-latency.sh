#!/usr/bin/env bash
# Builds bench/cue_latency and runs it against the sound servers of scripts/test-env.sh, each
# with a null sink of its own: PulseAudio, and PipeWire (pipewire, wireplumber, pipewire-pulse)
# twice, with the driver the program picks there (SDL's PipeWire driver) and with SDL's
# PulseAudio driver through pipewire-pulse, which is what SDL 2.26 picks by itself. Each run is
# headed by a line "== <server>" and prints median/p95/max Play-to-sound latency over 20 cues
# in each of four states of the output (device open and paused; closed after idling; the old
# device still closing; closed, the cue announced a second ahead as a workout does), how long
# the Play call took, and the memory and idle CPU of seven open channels. Takes about five
# minutes a run: the closed cases wait for the device to close after each cue.
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
bench=("$build/bench/cue_latency" "$build/bin/sounds" "$plays" ${3:+"$3"})

# The driver the program chooses itself: no PipeWire server is reachable here.
echo "== PulseAudio"
env -u SDL_AUDIODRIVER "${bench[@]}"
if [[ -z ${VINTRA_PIPEWIRE_SINK:-} ]]; then
  echo "cue-latency: no PipeWire server, measured on PulseAudio only" >&2
  exit 0
fi
pipewire=(XDG_RUNTIME_DIR="$VINTRA_PIPEWIRE_RUNTIME_DIR" DBUS_SESSION_BUS_ADDRESS="$VINTRA_PIPEWIRE_BUS"
          PULSE_SERVER="unix:$VINTRA_PIPEWIRE_RUNTIME_DIR/pulse/native" VINTRA_NULL_SINK="$VINTRA_PIPEWIRE_SINK")
echo "== PipeWire"
env -u SDL_AUDIODRIVER "${pipewire[@]}" "${bench[@]}"
echo "== PipeWire through pipewire-pulse"
env "${pipewire[@]}" SDL_AUDIODRIVER=pulseaudio "${bench[@]}"
