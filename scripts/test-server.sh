#!/usr/bin/env bash
# Starts or stops one kind of server for the test suite (CTest's fixtures, tests/CMakeLists.txt):
#   scripts/test-server.sh start KIND DIR   starts it, writes DIR/KIND/env (NAME=value lines) and
#                                           DIR/KIND/pids, and returns while it keeps running
#   scripts/test-server.sh stop KIND DIR    stops the PIDs of DIR/KIND/pids
#   scripts/test-server.sh stop-all DIR     stops every kind still running under DIR
#   scripts/test-server.sh run DIR COMMAND...  runs COMMAND with the servers named in
#                                           VINTRA_TEST_SERVERS (comma-separated kinds)
# Kinds: x (Xvfb + openbox), pulse (PulseAudio null sink), bus (session bus), pipewire (PipeWire
# with a null sink); scripts/test-env.sh starts them. A start that fails says which server did not
# come up and leaves nothing running.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/test-env.sh
source "$here/test-env.sh"

usage() {
  echo "usage: test-server.sh start|stop KIND DIR | stop-all DIR | run DIR COMMAND..." >&2
  exit 2
}

# A process's start time (clock ticks since boot): with its PID it names that one process, so a
# PID left in a file by a run that died is never taken for whatever process has it now.
started_at() { awk '{print $22}' "/proc/$1/stat" 2>/dev/null; }

stop_kind() { # folder of one kind
  local pid when line lines=()
  [[ -f $1/pids ]] && mapfile -t lines <"$1/pids"
  vintra_env_pids=()
  for line in "${lines[@]}"; do
    read -r pid when <<<"$line"
    if [[ $(started_at "$pid") == "$when" ]]; then
      vintra_env_log "stopping $pid ($(basename "$1"))"
      vintra_env_pids+=("$pid")
    fi
  done
  vintra_env_dir=$1
  vintra_env_stop
}

start_kind() { # kind, folder
  local kind=$1 name
  case $kind in
    x) name="the X server (Xvfb + openbox)" ;;
    pulse) name="PulseAudio with a null sink" ;;
    bus) name="the session bus" ;;
    pipewire) name="PipeWire with a null sink" ;;
    *) usage ;;
  esac
  [[ -f $2/pids ]] && stop_kind "$2"
  rm -rf "$2"
  mkdir -p "$2"
  chmod 700 "$2"
  vintra_env_dir=$2
  local started=1
  case $kind in
    x) vintra_env_start_x_wm || started=0 ;;
    pulse) vintra_env_start_pulse || started=0 ;;
    bus) vintra_env_start_bus || started=0 ;;
    pipewire) vintra_env_start_pipewire || started=0 ;;
  esac
  local pid
  if ((!started)); then
    vintra_env_log "$name did not come up; the tests that need it are not run"
    # Keep the logs for a look; stop whatever did start.
    for pid in "${vintra_env_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${vintra_env_pids[@]}"; do vintra_env_reap "$pid"; done
    exit 1
  fi
  for pid in "${vintra_env_pids[@]}"; do echo "$pid $(started_at "$pid")"; done >"$2/pids"
  printf '%s\n' "${vintra_env_exports[@]}" >"$2/env"
}

# Exports the NAME=value lines of one kind's env file; a missing file names the server.
load_kind() { # kind, folder
  local line
  if [[ ! -f $2/env ]]; then
    echo "test-server: the test needs $1 but it is not running (no $2/env); its fixture server_$1 did not run or failed" >&2
    exit 1
  fi
  while IFS= read -r line; do
    [[ -n $line ]] && export "${line%%=*}=${line#*=}"
  done <"$2/env"
}

(($# >= 2)) || usage
case $1 in
  start) (($# == 3)) || usage; start_kind "$2" "$3/$2" ;;
  stop) (($# == 3)) || usage; stop_kind "$3/$2" ;;
  stop-all)
    for dir in "$2"/*/; do [[ -f $dir/pids ]] && stop_kind "${dir%/}"; done
    true
    ;;
  run)
    dir=$2
    shift 2
    (($#)) || usage
    # Whatever a test leaves behind in the user's folders (Qt's file dialog history, caches, a
    # runtime folder) stays in a folder of its own, emptied at each run.
    home="$dir/home/${VINTRA_TEST_NAME:-test}"
    rm -rf "$home"
    mkdir -p "$home/config" "$home/cache" "$home/runtime"
    chmod 700 "$home/runtime"
    export XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime"
    # Without a bus of its own a test has none at all: nothing may start one for it behind our
    # back (libdbus would launch one for an X client).
    export DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/vintra-no-session-bus"
    unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER VINTRA_NULL_SINK
    IFS=, read -r -a kinds <<<"${VINTRA_TEST_SERVERS:-}"
    for kind in "${kinds[@]}"; do load_kind "$kind" "$dir/$kind"; done
    exec "$@"
    ;;
  *) usage ;;
esac
