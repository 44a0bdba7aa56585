#!/usr/bin/env bash
# Measures the program as a user meets it and prints one markdown table: start-up time and memory
# against a bare Qt window, CPU when idle and during a workout, cue latency, and how long the
# default 250 s workout really takes between its first and its last cue.
#   bench/run.sh [--quick] [--runs N]
#     --quick   skip the 250 s workout (the rest takes about 3 minutes)
#     --runs N  start-ups of each program (default 10)
# Builds into build-bench/ (RelWithDebInfo, no tests). Runs under its own X server, window manager
# and PulseAudio null sink (scripts/test-env.sh); user settings are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh build test media

quick=0
runs=10
while (($#)); do
  case $1 in
    --quick) quick=1 ;;
    --runs) runs=$2; shift ;;
    *) echo "usage: bench/run.sh [--quick] [--runs N]" >&2; exit 2 ;;
  esac
  shift
done

build="build-bench"
[[ -f $build/build.ninja ]] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVINTRA_BUILD_TESTS=OFF >/dev/null
# The program and the bench programs are all part of the normal build.
cmake --build "$build" -j2 >/dev/null
vintra=$PWD/$build/bin/vintra
bare=$PWD/$build/bench/bare_window
probe=$PWD/$build/bench/first_paint

log() { echo "bench: $*" >&2; }

# Cue latency first: its script brings up and tears down an environment of its own.
log "cue latency (bench/cue-latency.sh)"
cue_out=$(bash bench/cue-latency.sh "$build" 20 2>&1) || { echo "$cue_out" >&2; exit 1; }
# One run per sound server, each headed by "== <server>", with a "driver <name>, ..." line, one
# "<case> <median> ms <p95> ms <min> ms <max> ms <first> ms" line per case and an "all plays
# <median> ms <p95> ms <max> ms" line.
server=""
cue_all=()
cue_cases=()
declare -A cue_driver=()
while IFS= read -r line; do
  if [[ $line == "== "* ]]; then
    server=${line#== }
  elif [[ $line =~ ^\ +driver\ ([a-z0-9]+), ]]; then
    cue_driver[$server]=${BASH_REMATCH[1]}
  elif [[ $line =~ ^\ +all\ plays\ +(-?[0-9.]+)\ ms\ +(-?[0-9.]+)\ ms\ +(-?[0-9.]+)\ ms.*two\ periods,\ ([0-9.]+)\ ms ]]; then
    cue_all+=("$server|${BASH_REMATCH[1]}|${BASH_REMATCH[2]}|${BASH_REMATCH[3]}|${BASH_REMATCH[4]}")
  elif [[ $line =~ ^\ +([a-z][a-z\ ,]*[a-z])\ +(-?[0-9.]+)\ ms\ +(-?[0-9.]+)\ ms\ +(-?[0-9.]+)\ ms\ +(-?[0-9.]+)\ ms\ +(-?[0-9.]+)\ ms ]]; then
    cue_cases+=("$server|${BASH_REMATCH[1]}|${BASH_REMATCH[2]}|${BASH_REMATCH[3]}|${BASH_REMATCH[5]}")
  fi
done <<<"$cue_out"
((${#cue_all[@]})) || { echo "$cue_out" >&2; log "cannot read the cue-latency summary"; exit 1; }

# Sound server faults: a PulseAudio server of its own that it stops, kills and restarts.
log "sound server faults (bench/sound-faults.sh)"
faults_out=$(bash bench/sound-faults.sh "$build" 5 2>&1) || { echo "$faults_out" >&2; exit 1; }
# "<what>  <median> ms median, <max> ms max ..." -> "what|median|max"
fault_rows=$(sed -nE 's/^ +([A-Za-z][^0-9]*[a-z]) +(-?[0-9.]+) ms median, +(-?[0-9.]+) ms max.*/\1|\2|\3/p' \
  <<<"$faults_out")

source scripts/test-env.sh
vintra_env_start
[[ -n ${VINTRA_NULL_SINK:-} ]] || { log "no PulseAudio null sink"; exit 1; }
work=$(mktemp -d /tmp/vintra-bench.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do vintra_env_reap "$pid"; done
  rm -rf "$work"
  vintra_env_stop
}
trap cleanup EXIT

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p"; }

# Seventeen lines, CR LF each: the default plan, the three options, six cue files.
write_settings() { # folder music(0/1) over rest start tick work musicfile
  mkdir -p "$1/zelk-soft/vintra"
  printf '%s\r\n' 0 10 0 20 0 10 8 1 1 "$2" 1 "$3" "$4" "$5" "$6" "$7" "$8" >"$1/zelk-soft/vintra/timer.ini"
}

# --- 1. start-up: time to the first complete paint, and RSS, for both programs in turns ---
log "start-up, $runs runs of each program"
startup_cfg=$work/startup-config
mkdir -p "$startup_cfg"
: >"$work/startup-vintra"; : >"$work/startup-bare"
for ((i = 0; i <= runs; i++)); do
  # Run 0 warms the file cache for both and writes vintra's settings file, which every later
  # start then reads, as it would on a user's machine.
  v=$(XDG_CONFIG_HOME=$startup_cfg "$probe" -- "$vintra")
  b=$(XDG_CONFIG_HOME=$startup_cfg "$probe" -- "$bare")
  for r in "$v" "$b"; do
    [[ $(field exit <<<"$r") == 0 ]] || { log "a start-up run did not end cleanly: $r"; exit 1; }
  done
  ((i == 0)) && continue
  echo "$v" >>"$work/startup-vintra"
  echo "$b" >>"$work/startup-bare"
done
paint_v=$(field paint_ms <"$work/startup-vintra" | median)
paint_b=$(field paint_ms <"$work/startup-bare" | median)
map_v=$(field map_ms <"$work/startup-vintra" | median)
map_b=$(field map_ms <"$work/startup-bare" | median)
rss_v=$(field rss_kib <"$work/startup-vintra" | median)
rss_b=$(field rss_kib <"$work/startup-bare" | median)
range() { field "$1" <"$2" | sort -g | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "%.0f-%.0f", lo, hi}'; }

# --- 2. CPU: idle, and during a workout without and with music ---
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }          # whole process, exited threads too
main_ticks() { awk '{print $14 + $15}' "/proc/$1/task/$1/stat"; }  # the user-interface thread
hz=$(getconf CLK_TCK)
vpid=""; wid=""
start_vintra() { # config folder
  XDG_CONFIG_HOME=$1 "$vintra" >>"$work/vintra.log" 2>&1 &
  vpid=$!
  pids+=("$vpid")
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$vpid" | head -n 1)
  [[ -n $wid ]] || { log "vintra showed no window"; exit 1; }
}
stop_vintra() {
  xdotool windowactivate --sync "$wid" key alt+F4
  for _ in $(seq 100); do kill -0 "$vpid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$vpid" 2>/dev/null; then log "vintra did not close; killing it"; kill -9 "$vpid"; fi
  wait "$vpid" 2>/dev/null || true
}
press_start() {
  # START is first in the keyboard order; the window opens with the focus before it.
  xdotool windowactivate --sync "$wid"
  xdotool key --window "$wid" Tab
  xdotool key --window "$wid" space
}
picture() { import -window "$wid" rgb:- 2>/dev/null | md5sum; }
cpu_percent() { # seconds -> "<whole> <main thread>", % of one core used by vintra over that time
  local t0 c0 m0 t1 c1 m1
  t0=$(date +%s.%N); c0=$(cpu_ticks "$vpid"); m0=$(main_ticks "$vpid")
  sleep "$1"
  t1=$(date +%s.%N); c1=$(cpu_ticks "$vpid"); m1=$(main_ticks "$vpid")
  awk -v c="$((c1 - c0))" -v m="$((m1 - m0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" \
    'BEGIN {printf "%.2f %.2f", 100 * c / hz / (t1 - t0), 100 * m / hz / (t1 - t0)}'
}
window=30
cpu_run() { # music(0/1) -> sets cpu_idle (when measured) and cpu_work
  local cfg=$work/cpu-config-$1
  write_settings "$cfg" "$1" "" "" "" "" "" ""
  start_vintra "$cfg"
  sleep 2
  if [[ $1 == 0 ]]; then
    log "idle CPU, $window s"
    cpu_idle=$(cpu_percent "$window")
  fi
  local before; before=$(picture)
  press_start
  sleep 1.5
  [[ $(picture) != "$before" ]] || { log "START did not start a workout"; exit 1; }
  log "CPU during a workout, music $([[ $1 == 1 ]] && echo on || echo off), $window s"
  cpu_work=$(cpu_percent "$window")
  stop_vintra
}
cpu_run 0; cpu_nomusic=$cpu_work
cpu_run 1; cpu_music=$cpu_work

# --- 4. the default workout in real time, Start cue to Over cue, heard at the null sink ---
drift="skipped (--quick)"
drift_ok="-"
if ((quick == 0)); then
  log "the 250 s workout (about 255 s)"
  tones=$work/tones
  mkdir -p "$tones"
  # Pure tones of their own frequencies, so that every cue can be told apart in the recording.
  declare -A hz_of=([over]=3100 [rest]=600 [start]=1000 [tick]=2200 [work]=1500)
  for cue in "${!hz_of[@]}"; do
    sox -n -r 44100 -c 2 -b 16 "$tones/$cue.wav" synth 0.25 sine "${hz_of[$cue]}" vol 0.5
  done
  sox -n -r 44100 -c 2 -b 16 "$tones/music.wav" synth 1 sine 440 vol 0
  cfg=$work/drift-config
  write_settings "$cfg" 0 "$tones/over.wav" "$tones/rest.wav" "$tones/start.wav" "$tones/tick.wav" \
    "$tones/work.wav" "$tones/music.wav"
  start_vintra "$cfg"
  # The recorder keeps the sink running, so that silences keep their length in the recording, and
  # notes the clock at every read, so that each cue is also placed in real time.
  python3 bench/drift.py record "$VINTRA_NULL_SINK" "$work/workout.raw" 258 &
  rec=$!
  pids+=("$rec")
  sleep 2
  press_start
  wait "$rec" || true
  stop_vintra
  result=$(python3 bench/drift.py analyse "$work/workout.raw" 1000 3100 600 1500 2200) || {
    log "cues not found: $result"; exit 1; }
  log "cues found: $result"
  wall=$(field wall_s <<<"$result")
  span=$(field span_s <<<"$result")
  drift=$(awk -v s="$wall" 'BEGIN {printf "%.3f s (%+.1f ms)", s, (s - 250) * 1000}')
  drift_ok=$(awk -v s="$wall" 'BEGIN {print (s >= 249.98 && s <= 250.02) ? "yes" : "no"}')
  drift_samples=$(awk -v s="$span" 'BEGIN {printf "%.3f s (%+.1f ms)", s, (s - 250) * 1000}')
fi

# --- the table ---
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
ram=$(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)
pkg() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null | sed 's/[-+].*//'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }
meets() { awk -v v="$1" -v lim="$2" 'BEGIN {print (v <= lim) ? "yes" : "no"}'; }
ms() { awk -v v="$1" 'BEGIN {printf "%.1f ms", v}'; }
cpu() { echo "${1% *} % of a core (main thread ${1#* } %)"; }
mib() { awk -v v="$1" 'BEGIN {printf "%.1f MiB", v / 1024}'; }

cat <<EOF
| Machine | |
|---|---|
| CPU | $cpu_model |
| Cores | $(nproc) |
| RAM | $ram |
| Kernel | $(uname -r) |
| Debian | $(cat /etc/debian_version) |
| Qt | $(pkg libqt6core6) |
| SDL | $(pkg libsdl2-2.0-0) |
| Date | $(date -u +%Y-%m-%d) |

| Measure | Result | Target | Met |
|---|---|---|---|
| Start-up to first complete paint, vintra (median of $runs; range) | $(ms "$paint_v") ($(range paint_ms "$work/startup-vintra")) | | |
| Start-up to first complete paint, bare Qt window (median of $runs; range) | $(ms "$paint_b") ($(range paint_ms "$work/startup-bare")) | | |
| Start-up time, vintra / bare | $(ratio "$paint_v" "$paint_b") | <= 1.3x | $(meets "$(ratio "$paint_v" "$paint_b" | tr -d x)" 1.3) |
| Window mapped, vintra / bare (medians) | $(ms "$map_v") / $(ms "$map_b") | | |
| RSS after start-up, vintra (median) | $(mib "$rss_v") | | |
| RSS after start-up, bare Qt window (median) | $(mib "$rss_b") | | |
| RSS, vintra / bare | $(ratio "$rss_v" "$rss_b") | <= 1.3x | $(meets "$(ratio "$rss_v" "$rss_b" | tr -d x)" 1.3) |
| CPU idle after start-up, $window s | $(cpu "$cpu_idle") | ~0 % | $(meets "${cpu_idle% *}" 0.1) |
| CPU during a workout, no music, $window s | $(cpu "$cpu_nomusic") | <= 1 % | $(meets "${cpu_nomusic% *}" 1) |
| CPU during a workout, with music, $window s | $(cpu "$cpu_music") | <= 1 % | $(meets "${cpu_music% *}" 1) |
EOF
for entry in "${cue_all[@]}"; do
  IFS='|' read -r srv med p95 max periods <<<"$entry"
  echo "| Cue latency Play -> sound at the sink, $srv (SDL driver ${cue_driver[$srv]:-?}), median of all plays | $med ms | <= 30 ms | $(meets "$med" 30) |"
  echo "| Cue latency, $srv, 95th percentile / max of all plays | $p95 / $max ms | p95 <= two periods, $periods ms | $(meets "$p95" "$periods") |"
  for c in "${cue_cases[@]}"; do
    IFS='|' read -r csrv name cmed cp95 cmax <<<"$c"
    if [[ $csrv == "$srv" ]]; then echo "| Cue latency, $srv, $name: median / p95 / max | $cmed / $cp95 / $cmax ms | | |"; fi
  done
done
while IFS='|' read -r name med max; do
  if [[ -n $name ]]; then echo "| ${name% }: median / max of 5 | $med / $max ms | | |"; fi
done <<<"$fault_rows"
cat <<EOF
| Default workout, Start cue -> Over cue, real time | $drift | 250.000 s +- 0.020 s | $drift_ok |
EOF
if ((quick == 0)); then
  echo "| Same, counted in recorded samples (the sink re-delivers audio it rewinds) | $drift_samples | | |"
fi
