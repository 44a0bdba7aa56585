#!/usr/bin/env bash
# Runs a test on an X server of its own (no window manager), for a test that changes the server's
# settings: the desktop's font scaling (Xft.dpi), the screen saver; with --wm, with openbox
# managing it, for a test that needs the keyboard to itself (a screen reader's walk). The servers
# are those of scripts/test-env.sh, stopped by their PIDs when the test ends.
#   on-own-x-server.sh [--wm] [DPI] COMMAND...
set -u
# shellcheck source=scripts/test-env.sh
source "$(dirname "$0")/../../scripts/test-env.sh"
dpi=""
wm=false
if [[ ${1:-} == --wm ]]; then
  wm=true
  shift
fi
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
  dpi=$1
  shift
fi
vintra_env_dir=$(mktemp -d)
trap vintra_env_stop EXIT
if $wm; then
  vintra_env_start_x_wm || { echo "on-own-x-server: no X server with a window manager came up" >&2; exit 1; }
else
  vintra_env_start_x 1920x1200x24 -noreset || { echo "on-own-x-server: no X server came up" >&2; exit 1; }
fi
if [[ -n $dpi ]]; then
  echo "Xft.dpi: $dpi" | xrdb -merge -nocpp || exit 1
fi
QT_QPA_PLATFORM=xcb "$@"
