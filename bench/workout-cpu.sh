#!/usr/bin/env bash
# The CPU a workout with the default music costs, thread by thread, on PulseAudio and on
# PipeWire (the driver the program picks on each): every program given is started with the
# music on, START is pressed from the keyboard, and after 3 s its threads are read from /proc
# over the seconds given. The programs take turns, so the machine's load hits each alike.
# Prints a block per server, run and program: the whole process (threads that ended meanwhile
# included), then each thread alive at both ends with its share of a core and its voluntary
# wake-ups a second; "came and went" is what threads that did not live through the window took.
#   bench/workout-cpu.sh [seconds (default 30)] [runs (default 2)] vintra-binary...
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
runs=${2:-2}
shift 2 || true
programs=("$@")
((${#programs[@]})) || programs=("$PWD/build/bin/vintra")
bash scripts/install-packages.sh build test >/dev/null
source scripts/test-env.sh
vintra_env_start
[[ -n ${VINTRA_NULL_SINK:-} ]] || { echo "workout-cpu: no PulseAudio null sink" >&2; exit 1; }
work=$(mktemp -d /tmp/vintra-cpu.XXXXXX)
running="" # the one program measured at a time, stopped by its PID however the script ends
trap '[[ -z $running ]] || { kill "$running" 2>/dev/null; vintra_env_reap "$running"; }; rm -rf "$work"; vintra_env_stop' EXIT
hz=$(getconf CLK_TCK)

# The plan of the first start (0:10, 0:20, 0:10, 8 rounds, 1 cycle), sound and music on.
write_settings() {
  mkdir -p "$1/zelk-soft/vintra"
  printf '%s\r\n' 0 10 0 20 0 10 8 1 1 1 1 "" "" "" "" "" "" >"$1/zelk-soft/vintra/timer.ini"
}

# pid -> one line per thread alive now: "tid ticks voluntary-switches name"
threads() {
  local task
  for task in /proc/"$1"/task/*; do
    [[ -r $task/stat ]] || continue
    local ticks vol name
    ticks=$(awk '{sub(/^.*\) /, ""); print $12 + $13}' "$task/stat" 2>/dev/null) || continue
    vol=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$task/status" 2>/dev/null) || continue
    name=$(tr ' ' '_' <"$task/comm" 2>/dev/null) || continue
    echo "${task##*/} $ticks $vol $name"
  done
}

measure() { # label binary -> the block
  local label=$1 binary=$2 cfg=$work/config-$RANDOM
  write_settings "$cfg"
  env -u SDL_AUDIODRIVER "${server_env[@]}" XDG_CONFIG_HOME="$cfg" "$binary" >>"$work/vintra.log" 2>&1 &
  local pid=$!
  running=$pid
  local wid
  wid=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | head -n 1)
  [[ -n $wid ]] || { echo "workout-cpu: $label showed no window" >&2; exit 1; }
  sleep 2
  xdotool windowactivate --sync "$wid"
  xdotool key --window "$wid" Tab
  xdotool key --window "$wid" space
  sleep 3
  local t0 c0 t1 c1
  threads "$pid" >"$work/before"
  t0=$(date +%s.%N); c0=$(awk '{sub(/^.*\) /, ""); print $12 + $13}' "/proc/$pid/stat")
  sleep "$seconds"
  t1=$(date +%s.%N); c1=$(awk '{sub(/^.*\) /, ""); print $12 + $13}' "/proc/$pid/stat")
  threads "$pid" >"$work/after"
  xdotool windowactivate --sync "$wid" key alt+F4
  local i
  for i in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && kill -9 "$pid"
  wait "$pid" 2>/dev/null || true
  running=""
  awk -v label="$label" -v hz="$hz" -v t0="$t0" -v t1="$t1" -v whole="$((c1 - c0))" \
      -v load="$(cut -d ' ' -f 1 /proc/loadavg)" '
    BEGIN { t = t1 - t0 }
    FNR == NR { ticks[$1] = $2; vol[$1] = $3; next }
    ($1 in ticks) { d = $2 - ticks[$1]; sum += d
                    rows[++n] = sprintf("    %-18s %6.2f %%  %6.0f wake-ups/s", $4, 100 * d / hz / t, ($3 - vol[$1]) / t) }
    END { printf "  %s: whole process %.2f %% of a core over %.0f s (load average %s)\n", label, 100 * whole / hz / t, t, load
          for (i = 1; i <= n; i++) print rows[i]
          printf "    %-18s %6.2f %%\n", "came and went", 100 * (whole - sum) / hz / t }' \
    "$work/before" "$work/after"
}

run_on() { # server name
  local run i
  for ((run = 1; run <= runs; run++)); do
    echo "== $1, run $run"
    for i in "${!programs[@]}"; do measure "program $((i + 1)) (${programs[$i]})" "${programs[$i]}"; done
  done
}

server_env=()
run_on PulseAudio
if [[ -n ${VINTRA_PIPEWIRE_SINK:-} ]]; then
  server_env=(XDG_RUNTIME_DIR="$VINTRA_PIPEWIRE_RUNTIME_DIR" DBUS_SESSION_BUS_ADDRESS="$VINTRA_PIPEWIRE_BUS"
              PULSE_SERVER="unix:$VINTRA_PIPEWIRE_RUNTIME_DIR/pulse/native")
  run_on PipeWire
else
  echo "workout-cpu: no PipeWire server, measured on PulseAudio only" >&2
fi
