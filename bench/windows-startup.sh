#!/usr/bin/env bash
# Start-up of the Windows build under Wine beside a bare Qt Widgets window: seconds from starting
# the program until its window is visible on the X server, with the wineserver already running
# (warm) and, first, from a cold wineserver. The programs alternate, run by run, so that the
# machine's load hits them alike; the medians, their ratio and the load average are printed.
# Runs after scripts/windows/build.sh.
#   bench/windows-startup.sh [runs] [more programs of build-win64/bin with vintra's window...]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
shift || true
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
  for _ in $(seq 1500); do
    xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1 && break
    sleep 0.005
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
programs=(bare_window vintra "$@")
declare -A times=()
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((i = 0; i <= runs; i++)); do
  for exe in "${programs[@]}"; do
    title=$vintra_title
    [[ $exe == bare_window ]] && title=bare_window
    t=$(time_to_window "build-win64/bin/$exe.exe" "$title")
    # Run 0 warms the file cache.
    ((i == 0)) || times[$exe]+="$t "
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
# The prefix's Russian locale would write decimal commas.
export LC_ALL=C
median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
bare=$(median <<<"${times[bare_window]}")
for exe in "${programs[@]}"; do
  m=$(median <<<"${times[$exe]}")
  printf '%s warm: median %.3f s (%s), %.2fx the bare window\n' "$exe.exe" "$m" "${times[$exe]% }" \
    "$(awk -v a="$m" -v b="$bare" 'BEGIN {print a / b}')"
done
