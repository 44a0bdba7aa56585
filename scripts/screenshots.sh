#!/bin/bash
# Retakes the README pictures (assets/screenshots/) from the built program on an X server of its
# own: the timer tab during a work interval, the description tab and the settings tab.
#   bash scripts/screenshots.sh [DPI [FOLDER]]   (96 by default, into assets/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
dpi=${1:-96}
out=$(realpath "${2:-assets/screenshots}")
mkdir -p "$out"
# shellcheck disable=SC2016 # the script below expands its own variables
exec tests/support/on-own-x-server.sh "$dpi" bash -c '
  set -euo pipefail
  out=$1
  dpi=$2
  home=$(mktemp -d)
  XDG_CONFIG_HOME=$home HOME=$home SDL_AUDIODRIVER=dummy build/bin/vintra &
  app=$!
  trap "kill $app 2>/dev/null; wait $app 2>/dev/null; rm -rf $home" EXIT
  wid=""
  for _ in $(seq 100); do
    wid=$(xdotool search --name "Интервальный таймер" 2>/dev/null | head -n 1) && [[ -n $wid ]] && break
    sleep 0.1
  done
  [[ -n $wid ]] || { echo "the window did not appear" >&2; exit 1; }
  scale=$(( dpi * 100 / 96 ))
  at() { echo $(( $1 * scale / 100 )) $(( $2 * scale / 100 )); }
  sleep 1
  # START, then past the 10 s of preparation into the work interval.
  xdotool mousemove --window "$wid" $(at 588 420) click 1
  sleep 13
  import -window "$wid" "$out/timer.png"
  xdotool mousemove --window "$wid" $(at 117 20) click 1
  sleep 0.5
  import -window "$wid" "$out/description.png"
  xdotool mousemove --window "$wid" $(at 203 20) click 1
  sleep 0.5
  import -window "$wid" "$out/settings.png"
  xdotool mousemove --window "$wid" $(at 10 560)
' screenshots "$out" "$dpi"
