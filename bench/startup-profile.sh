#!/usr/bin/env bash
# Where the start goes: the program's own start-up marks (app/startupmarks.h), lined up with the
# launch by bench/first_paint, beside the bare Qt window's start measured the same way, the two
# programs alternating so that the machine's load hits both alike. Prints, per mark, the median
# milliseconds from the launch and the median step from the mark before, then the first paint,
# the map and RSS of both programs, and the load average before and after.
#   bench/startup-profile.sh [build dir (default: build)] [runs (default: 15)]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-15}
cmake --build "$build" --target vintra bare_window first_paint >/dev/null
vintra=$PWD/$build/bin/vintra
bare=$PWD/$build/bench/bare_window
probe=$PWD/$build/bench/first_paint

# shellcheck source=scripts/test-env.sh
source scripts/test-env.sh
vintra_env_start >/dev/null 2>&1
work=$(mktemp -d /tmp/vintra-profile.XXXXXX)
trap 'rm -rf "$work"; vintra_env_stop' EXIT
export XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_CONFIG_HOME"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
: >"$work/marks"; : >"$work/vintra"; : >"$work/bare"
for ((i = 0; i <= runs; i++)); do
  # Run 0 warms the file cache and writes the settings file every later start reads.
  v=$(QT_LOGGING_RULES="vintra.startup.debug=true" "$probe" -- "$vintra" 2>"$work/stderr")
  b=$("$probe" -- "$bare")
  ((i == 0)) && continue
  echo "$v" >>"$work/vintra"
  echo "$b" >>"$work/bare"
  launch=$(sed -n 's/.*launch_us=\([0-9]*\).*/\1/p' <<<"$v")
  # "vintra: startup <name> <µs>" -> "<run> <ms from launch> <name>"
  sed -n 's/^vintra: startup \(.*\) \([0-9]*\)$/\2 \1/p' "$work/stderr" |
    awk -v run="$i" -v l="$launch" '{t = $1; $1 = ""; printf "%d %.2f%s\n", run, (t - l) / 1000, $0}' >>"$work/marks"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" "$2"; }

echo "start-up profile: $runs runs of each program, alternating; load average $load_before before, $load_after after"
printf '  %-24s %10s %10s\n' "mark" "from launch" "step"
# The marks in the order of the first run.
while read -r name; do
  at=$(awk -v n="$name" '{r = $1; t = $2; $1 = $2 = ""; sub(/^ +/, ""); if ($0 == n) print t}' "$work/marks" | median)
  # The step is taken run by run, then its median.
  step=$(awk -v n="$name" '
    {r = $1; t = $2; $1 = $2 = ""; sub(/^ +/, ""); if (r != run) {run = r; last = 0} if ($0 == n) print t - last; last = t}
  ' "$work/marks" | median)
  printf '  %-24s %8.1f ms %8.1f ms\n' "$name" "$at" "$step"
done < <(awk '$1 == 1 {$1 = $2 = ""; sub(/^ +/, ""); print}' "$work/marks")
pv=$(field paint_ms "$work/vintra" | median); pb=$(field paint_ms "$work/bare" | median)
mv=$(field map_ms "$work/vintra" | median); mb=$(field map_ms "$work/bare" | median)
rv=$(field rss_kib "$work/vintra" | median); rb=$(field rss_kib "$work/bare" | median)
printf '  %-24s %8.1f ms   (X server sees the final picture; bare window %.1f ms, ratio %.2fx)\n' \
  "complete paint" "$pv" "$pb" "$(awk -v a="$pv" -v b="$pb" 'BEGIN {print a / b}')"
printf '  %-24s %8.1f ms   (bare window %.1f ms)\n' "window mapped" "$mv" "$mb"
printf '  %-24s %8.1f MiB  (bare window %.1f MiB, ratio %.2fx)\n' "RSS at 2 s" "$(awk -v v="$rv" 'BEGIN {print v / 1024}')" \
  "$(awk -v v="$rb" 'BEGIN {print v / 1024}')" "$(awk -v a="$rv" -v b="$rb" 'BEGIN {print a / b}')"
