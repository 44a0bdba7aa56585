#!/bin/bash
# Runs a test on an X server of its own whose Xft.dpi is $1, so the desktop's font scaling reaches
# Qt as it does on a real desktop, without touching the X server the other tests share.
#   on-own-x-server.sh DPI COMMAND...
set -u
dpi=$1
shift
dir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp -noreset 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
xvfb=$!
stop() {
  kill "$xvfb" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$xvfb" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$xvfb" 2>/dev/null
  rm -rf "$dir"
}
trap stop EXIT
number=""
for _ in $(seq 300); do
  number=$(head -n 1 "$dir/display" 2>/dev/null | tr -dc 0-9)
  [[ -n $number ]] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $number ]]; then
  echo "Xvfb did not start:" >&2
  cat "$dir/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$number"
echo "Xft.dpi: $dpi" | xrdb -merge -nocpp || exit 1
QT_QPA_PLATFORM=xcb "$@"
