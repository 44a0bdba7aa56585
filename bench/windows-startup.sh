#!/usr/bin/env bash
# Start-up of the Windows build under Wine beside a bare Qt Widgets window: seconds from starting
# the program until its window is visible on the X server, with the wineserver already running
# (warm) and, first, from a cold wineserver. Runs after scripts/windows/build.sh.
#   bench/windows-startup.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
cmake --build build-win64 --target bare_window vintra >/dev/null

# shellcheck source=scripts/test-env.sh
source scripts/test-env.sh
vintra_env_start
# shellcheck source=scripts/windows/wine-env.sh
source scripts/windows/wine-env.sh
vintra_wine_start
export XDG_CONFIG_HOME=$vintra_env_dir/config

# Seconds until a visible window with this title exists; the program is then closed.
time_to_window() {
  local exe=$1 title=$2 start pid
  start=$(date +%s.%N)
  WINEQT_QPA_PLATFORM=windows wine "$exe" </dev/null >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1 && break
    sleep 0.02
  done
  echo "$(date +%s.%N) - $start" | bc
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

wineserver -k
vintra_title="Интервальный таймер Винтра Зелк - 1.51"
echo "cold wineserver: vintra.exe $(time_to_window build-win64/bin/vintra.exe "$vintra_title") s"
wineserver -w
wineserver -p
for exe in bare_window vintra; do
  title=$exe
  [[ $exe == vintra ]] && title=$vintra_title
  times=()
  for _ in $(seq "$runs"); do times+=("$(time_to_window "build-win64/bin/$exe.exe" "$title")"); done
  printf '%s warm: %s s\n' "$exe.exe" "${times[*]}"
done
