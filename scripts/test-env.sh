# shellcheck shell=bash
# The servers the tests and benchmarks run against, one start function per kind, each stopped
# by the PIDs it records. Two ways in:
#   source scripts/test-env.sh; vintra_env_start   # every kind, for this shell; stopped at its exit
#   scripts/test-server.sh start|stop KIND DIR     # one kind, for CTest's fixtures (tests/CMakeLists.txt)
# Kinds and what each exports:
#   x         Xvfb and openbox: DISPLAY
#   pulse     PulseAudio with a null sink: PULSE_SERVER, VINTRA_NULL_SINK, XDG_RUNTIME_DIR
#   bus       a session bus with no service folders: DBUS_SESSION_BUS_ADDRESS
#   pipewire  pipewire, wireplumber and pipewire-pulse with a null sink: VINTRA_PIPEWIRE_*
# Every wait for a server has a bound and, when the bound is hit, says what it waited for. Several
# runs on one machine at once each get their own servers.

vintra_env_pids=()
vintra_env_dir=""
vintra_env_x_pid=""
vintra_env_exports=() # NAME=value lines of what the started servers export

vintra_env_log() {
  echo "test-env: $*" >&2
}

# Gives a process we asked to stop five seconds to go, then kills it.
vintra_env_reap() {
  local _
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$1" 2>/dev/null || true
}

vintra_env_stop() {
  local pid
  for pid in "${vintra_env_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${vintra_env_pids[@]}"; do
    vintra_env_reap "$pid"
  done
  vintra_env_pids=()
  [[ -n $vintra_env_dir ]] && rm -rf "$vintra_env_dir"
  vintra_env_dir=""
}

# Stops one process of ours and forgets it.
vintra_env_drop() {
  local gone=$1 pid kept=()
  kill "$gone" 2>/dev/null || true
  vintra_env_reap "$gone"
  for pid in "${vintra_env_pids[@]}"; do [[ $pid == "$gone" ]] || kept+=("$pid"); done
  vintra_env_pids=("${kept[@]}")
}

vintra_env_export() {
  export "$1=$2"
  vintra_env_exports+=("$1=$2")
}

# Prints a file's last lines to stderr, indented, so a failed start explains itself.
vintra_env_show() {
  [[ -s $1 ]] && sed -e 's/^/    /' "$1" | tail -n 20 >&2
  return 0
}

# vintra_env_wait SECONDS WHAT PID COMMAND...: runs COMMAND every 0.1 s until it succeeds. Gives
# up after SECONDS, or at once when process PID (unless empty) has ended, and then says what it
# was waiting for.
vintra_env_wait() {
  local seconds=$1 what=$2 pid=$3 _
  shift 3
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
    if [[ -n $pid ]] && ! kill -0 "$pid" 2>/dev/null; then
      vintra_env_log "gave up waiting for $what: process $pid has ended"
      return 1
    fi
    sleep 0.1
  done
  "$@" && return 0
  vintra_env_log "gave up waiting for $what after $seconds s"
  return 1
}

vintra_env_first_line() { # file -> its first line, when it has one
  local line
  line=$(head -n 1 "$1" 2>/dev/null) && [[ -n $line ]] && echo "$line"
}

vintra_env_answers_x() { DISPLAY=$1 xdpyinfo >/dev/null 2>&1; }

# An X server on a display it chooses itself (-displayfd claims a free one atomically, so two
# runs started at the same moment never share one). Sets vintra_env_x_pid and exports DISPLAY.
#   vintra_env_start_x [screen (default 1280x1024x24)] [more Xvfb options]
vintra_env_start_x() {
  local screen=${1:-1280x1024x24} attempt log displayfile pid number
  shift || true
  for attempt in 1 2 3; do
    log="$vintra_env_dir/xvfb-$attempt.log"
    displayfile="$vintra_env_dir/display-$attempt"
    : >"$displayfile"
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp "$@" 3>"$displayfile" >"$log" 2>&1 </dev/null &
    pid=$!
    vintra_env_pids+=("$pid")
    if vintra_env_wait 30 "Xvfb to name its display" "$pid" vintra_env_first_line "$displayfile" >/dev/null; then
      number=$(vintra_env_first_line "$displayfile" | tr -dc 0-9)
      if vintra_env_wait 10 "Xvfb to answer on :$number" "$pid" vintra_env_answers_x ":$number"; then
        vintra_env_export DISPLAY ":$number"
        vintra_env_x_pid=$pid
        vintra_env_log "Xvfb on $DISPLAY (pid $pid)"
        return 0
      fi
    fi
    vintra_env_log "Xvfb did not start (attempt $attempt):"
    vintra_env_show "$log"
    vintra_env_drop "$pid"
  done
  return 1
}

# True when a window manager has announced itself on the root window of $DISPLAY.
vintra_env_wm_present() {
  local check
  check=$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null) || return 1
  [[ $check == *"window id"* ]]
}

vintra_env_start_wm() {
  local attempt log pid
  for attempt in 1 2 3; do
    log="$vintra_env_dir/openbox-$attempt.log"
    openbox --sm-disable >"$log" 2>&1 </dev/null &
    pid=$!
    vintra_env_pids+=("$pid")
    # Ours must be the one managing: it announced itself and is still alive.
    if vintra_env_wait 30 "openbox to manage $DISPLAY" "$pid" vintra_env_wm_present && kill -0 "$pid" 2>/dev/null; then
      vintra_env_log "openbox manages $DISPLAY (pid $pid)"
      return 0
    fi
    vintra_env_log "openbox did not start (attempt $attempt):"
    vintra_env_show "$log"
    vintra_env_drop "$pid"
  done
  return 1
}

# Xvfb with openbox managing it.
vintra_env_start_x_wm() {
  vintra_env_start_x 1280x1024x24 || return 1
  # A window manager that cannot open a display which answered a moment ago (seen once in a
  # fresh run) gets a new X server, once.
  vintra_env_start_wm && return 0
  vintra_env_log "starting a new X server for the window manager"
  vintra_env_drop "$vintra_env_x_pid"
  vintra_env_start_x 1280x1024x24 && vintra_env_start_wm
}

vintra_env_pulse_pid() { # runtime folder -> the PID of a PulseAudio answering there
  local pid
  pid=$(cat "$1/pulse/pid" 2>/dev/null) && [[ -n $pid ]] && PULSE_SERVER="unix:$1/pulse/native" pactl info >/dev/null 2>&1 &&
    echo "$pid"
}

# PulseAudio with a null sink; as root it warns and works.
vintra_env_start_pulse() {
  local runtime="$vintra_env_dir/runtime" home="$vintra_env_dir/pulse-home" pid
  mkdir -p "$runtime" "$home"
  chmod 700 "$runtime"
  XDG_RUNTIME_DIR="$runtime" HOME="$home" pulseaudio -D -n --exit-idle-time=-1 \
    --log-target=file:"$vintra_env_dir/pulse.log" --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=nullsink" --load=module-always-sink >/dev/null 2>&1 </dev/null || true
  if ! vintra_env_wait 10 "PulseAudio to answer at $runtime/pulse/native" "" vintra_env_pulse_pid "$runtime" >/dev/null; then
    vintra_env_log "PulseAudio did not start:"
    vintra_env_show "$vintra_env_dir/pulse.log"
    pid=$(cat "$runtime/pulse/pid" 2>/dev/null) && [[ -n $pid ]] && vintra_env_pids+=("$pid")
    return 1
  fi
  pid=$(vintra_env_pulse_pid "$runtime")
  vintra_env_pids+=("$pid")
  vintra_env_export XDG_RUNTIME_DIR "$runtime"
  vintra_env_export PULSE_SERVER "unix:$runtime/pulse/native"
  vintra_env_export VINTRA_NULL_SINK nullsink
  vintra_env_log "PulseAudio with a null sink (pid $pid)"
}

# A dbus-daemon with the given options; sets vintra_env_bus_address.
vintra_env_bus_address=""
vintra_env_run_bus() { # name, dbus-daemon options...
  local name=$1 pid
  shift
  : >"$vintra_env_dir/$name-address"
  dbus-daemon --nofork --nopidfile --print-address=3 "$@" 3>"$vintra_env_dir/$name-address" \
    >"$vintra_env_dir/$name.log" 2>&1 </dev/null &
  pid=$!
  vintra_env_pids+=("$pid")
  if ! vintra_env_wait 10 "the $name bus to print its address" "$pid" \
    vintra_env_first_line "$vintra_env_dir/$name-address" >/dev/null; then
    vintra_env_show "$vintra_env_dir/$name.log"
    vintra_env_drop "$pid"
    return 1
  fi
  vintra_env_bus_address=$(vintra_env_first_line "$vintra_env_dir/$name-address")
}

# A session bus of our own, as a desktop session has; tests register stand-in services on it.
# WAYLAND_DISPLAY is never exported here: with Qt's Wayland plugin installed, every test would
# then run on Wayland instead of the X server above.
# Its own configuration lists no service folders, so no desktop service installed on the machine
# (a portal, a screen saver) is ever started on it by activation.
vintra_env_start_bus() {
  local config="$vintra_env_dir/dbus.conf"
  cat >"$config" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$vintra_env_dir</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  vintra_env_run_bus session --config-file="$config" || {
    vintra_env_log "no session bus could be started"
    return 1
  }
  vintra_env_export DBUS_SESSION_BUS_ADDRESS "$vintra_env_bus_address"
  vintra_env_log "session bus (pid ${vintra_env_pids[-1]})"
}

vintra_env_pw_pactl() { PULSE_SERVER="unix:$vintra_env_dir/pipewire/runtime/pulse/native" pactl "$@"; }
vintra_env_pw_answers() { vintra_env_pw_pactl info >/dev/null 2>&1; }
vintra_env_pw_has_sink() { vintra_env_pw_pactl list short sinks 2>/dev/null | cut -f 2 | grep -qx "$1"; }
vintra_env_pw_default_is() { vintra_env_pw_pactl info 2>/dev/null | grep -qx "Default Sink: $1"; }
vintra_env_pw_set_default() { vintra_env_pw_pactl set-default-sink "$1" >/dev/null 2>&1 && vintra_env_pw_default_is "$1"; }

# PipeWire as a Debian 12 desktop runs it: pipewire, wireplumber and pipewire-pulse, with a
# session bus and a runtime folder of their own, and a null sink as the default sink. Its socket
# is not in XDG_RUNTIME_DIR, so everything else keeps talking to the PulseAudio server; a client
# reaches PipeWire with XDG_RUNTIME_DIR=$VINTRA_PIPEWIRE_RUNTIME_DIR and
# DBUS_SESSION_BUS_ADDRESS=$VINTRA_PIPEWIRE_BUS, and records its sink VINTRA_PIPEWIRE_SINK through
# pipewire-pulse (unix:$VINTRA_PIPEWIRE_RUNTIME_DIR/pulse/native).
vintra_env_start_pipewire() {
  local tool missing=() dir="$vintra_env_dir/pipewire" runtime bus sink=pwnull name pid
  for tool in dbus-daemon pipewire wireplumber pipewire-pulse pactl; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  if ((${#missing[@]})); then
    vintra_env_log "no PipeWire: ${missing[*]} missing"
    return 1
  fi
  runtime="$dir/runtime"
  mkdir -p "$runtime" "$dir/home"
  chmod 700 "$dir" "$runtime"
  vintra_env_run_bus pipewire-bus --session --address="unix:path=$dir/bus" || {
    vintra_env_log "no session bus for PipeWire"
    return 1
  }
  bus=$vintra_env_bus_address
  # Its state and configuration stay in this run's folder; it has no business with our X server.
  local env=(env -u DISPLAY -u PULSE_SERVER XDG_RUNTIME_DIR="$runtime" DBUS_SESSION_BUS_ADDRESS="$bus"
             HOME="$dir/home" XDG_CONFIG_HOME="$dir/home/.config" XDG_STATE_HOME="$dir/home/.local/state")
  "${env[@]}" pipewire >"$dir/pipewire.log" 2>&1 </dev/null &
  pid=$!
  vintra_env_pids+=("$pid")
  if vintra_env_wait 10 "pipewire's socket $runtime/pipewire-0" "$pid" test -S "$runtime/pipewire-0"; then
    "${env[@]}" wireplumber >"$dir/wireplumber.log" 2>&1 </dev/null &
    vintra_env_pids+=("$!")
    "${env[@]}" pipewire-pulse >"$dir/pipewire-pulse.log" 2>&1 </dev/null &
    pid=$!
    vintra_env_pids+=("$pid")
    # The sink comes from pipewire-pulse; it can be made the default only once it is listed
    # (before that, set-default-sink fails with "Not supported"), and wireplumber may still
    # choose another default a moment later, so the choice is repeated until it holds.
    if vintra_env_wait 10 "pipewire-pulse to answer" "$pid" vintra_env_pw_answers &&
      vintra_env_pw_pactl load-module module-null-sink sink_name=$sink >/dev/null &&
      vintra_env_wait 10 "PipeWire to list the sink $sink" "$pid" vintra_env_pw_has_sink $sink &&
      vintra_env_wait 10 "$sink to become PipeWire's default sink" "$pid" vintra_env_pw_set_default $sink; then
      vintra_env_export VINTRA_PIPEWIRE_RUNTIME_DIR "$runtime"
      vintra_env_export VINTRA_PIPEWIRE_BUS "$bus"
      vintra_env_export VINTRA_PIPEWIRE_SINK "$sink"
      vintra_env_log "PipeWire with a null sink ($(vintra_env_pw_pactl info | sed -n 's/^Server Name: //p'))"
      return 0
    fi
  fi
  vintra_env_log "PipeWire did not start with its null sink:"
  for name in pipewire wireplumber pipewire-pulse; do vintra_env_show "$dir/$name.log"; done
  return 1
}

# Every kind at once, for this shell (the benchmarks, scripts/sanitize.sh): the X server is
# required, the others are started where they can be and said missing where not.
vintra_env_start() {
  vintra_env_dir=$(mktemp -d /tmp/vintra-env.XXXXXX)
  chmod 700 "$vintra_env_dir"
  trap vintra_env_stop EXIT

  if ! vintra_env_start_x_wm; then
    vintra_env_log "no X server with a window manager could be started"
    return 1
  fi
  vintra_env_start_pulse || vintra_env_log "no PulseAudio: what records its null sink cannot run"
  vintra_env_start_bus || vintra_env_log "no session bus"
  vintra_env_start_pipewire || vintra_env_log "no PipeWire: measured without it"

  # Whatever the programs under test remember (Qt's file dialog history, caches) stays in this
  # run's folder, never in the user's own configuration.
  vintra_env_export XDG_CONFIG_HOME "$vintra_env_dir/config"
  vintra_env_export XDG_CACHE_HOME "$vintra_env_dir/cache"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
}
