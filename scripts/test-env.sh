# Sourced by the test and bench scripts: starts an X server with a window manager and a sound
# server with a null sink for this shell, and stops them (by PID) when the shell exits.
#   source scripts/test-env.sh; vintra_env_start
# Exports DISPLAY, XDG_RUNTIME_DIR, XDG_CONFIG_HOME, XDG_CACHE_HOME, PULSE_SERVER,
# VINTRA_NULL_SINK and DBUS_SESSION_BUS_ADDRESS, and VINTRA_PIPEWIRE_* for a PipeWire server beside
# it. Several runs on one machine at once each get their own servers.

vintra_env_pids=()
vintra_env_dir=""
vintra_env_x_pid=""

# Gives a process we asked to stop five seconds to go, then kills it.
vintra_env_reap() {
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

vintra_env_log() {
  echo "test-env: $*" >&2
}

# Prints a file's last lines to stderr, indented, so a failed start explains itself.
vintra_env_show() {
  [[ -s $1 ]] && sed -e 's/^/    /' "$1" | tail -n 20 >&2
  return 0
}

# Xvfb chooses a free display itself (-displayfd) and claims it atomically, so two runs started
# at the same moment never end up sharing one server.
vintra_env_start_x() {
  local attempt log displayfile pid number=""
  for attempt in 1 2 3; do
    log="$vintra_env_dir/xvfb-$attempt.log"
    displayfile="$vintra_env_dir/display-$attempt"
    : >"$displayfile"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$displayfile" >"$log" 2>&1 &
    pid=$!
    vintra_env_pids+=("$pid")
    for _ in $(seq 300); do
      number=$(head -n 1 "$displayfile" 2>/dev/null | tr -dc 0-9)
      [[ -n $number ]] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if [[ -n $number ]] && DISPLAY=":$number" xdpyinfo >/dev/null 2>&1; then
      export DISPLAY=":$number"
      vintra_env_x_pid=$pid
      vintra_env_log "Xvfb on $DISPLAY (pid $pid)"
      return 0
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
    openbox --sm-disable >"$log" 2>&1 &
    pid=$!
    vintra_env_pids+=("$pid")
    for _ in $(seq 300); do
      vintra_env_wm_present && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    # Ours must be the one managing: give it a moment and make sure it is still alive.
    sleep 0.2
    if vintra_env_wm_present && kill -0 "$pid" 2>/dev/null; then
      vintra_env_log "openbox manages $DISPLAY (pid $pid)"
      return 0
    fi
    vintra_env_log "openbox did not start (attempt $attempt):"
    vintra_env_show "$log"
    vintra_env_drop "$pid"
  done
  return 1
}

# PulseAudio with a null sink; as root it warns and works.
vintra_env_start_pulse() {
  export XDG_RUNTIME_DIR="$vintra_env_dir/runtime"
  mkdir -p "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  local home="$vintra_env_dir/pulse-home" pulse_pid=""
  mkdir -p "$home"
  HOME="$home" pulseaudio -D -n --exit-idle-time=-1 --log-target=file:"$vintra_env_dir/pulse.log" \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=nullsink" --load=module-always-sink 2>/dev/null || true
  for _ in $(seq 100); do
    pulse_pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null || true)
    [[ -n $pulse_pid ]] && pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  if [[ -n $pulse_pid ]]; then
    vintra_env_pids+=("$pulse_pid")
    export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
    export VINTRA_NULL_SINK=nullsink
    vintra_env_log "PulseAudio with a null sink (pid $pulse_pid)"
  else
    vintra_env_log "PulseAudio did not start; real-audio tests will skip"
    vintra_env_show "$vintra_env_dir/pulse.log"
  fi
}

# A session bus of our own, as a desktop session has; tests register stand-in services on it.
# WAYLAND_DISPLAY is never exported here: with Qt's Wayland plugin installed, every test would
# then run on Wayland instead of the X server above.
# Its own configuration lists no service folders, so no desktop service installed on the machine
# (a portal, a screen saver) is ever started on it by activation.
vintra_env_start_dbus() {
  local addressfile="$vintra_env_dir/dbus-address" config="$vintra_env_dir/dbus.conf" address="" pid
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
  : >"$addressfile"
  dbus-daemon --config-file="$config" --nofork --nopidfile --print-address=3 3>"$addressfile" \
    >"$vintra_env_dir/dbus.log" 2>&1 &
  pid=$!
  vintra_env_pids+=("$pid")
  for _ in $(seq 100); do
    address=$(head -n 1 "$addressfile" 2>/dev/null)
    [[ -n $address ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -n $address ]]; then
    export DBUS_SESSION_BUS_ADDRESS="$address"
    vintra_env_log "session bus (pid $pid)"
  else
    vintra_env_log "no session bus could be started; the tests that need one will skip"
    vintra_env_show "$vintra_env_dir/dbus.log"
    vintra_env_drop "$pid"
  fi
}

# PipeWire as a Debian 12 desktop runs it: pipewire, wireplumber and pipewire-pulse, with a
# session bus and a runtime folder of their own, and a null sink as the default sink. Its socket
# is not in XDG_RUNTIME_DIR, so everything else keeps talking to the PulseAudio server above; a
# client reaches PipeWire with XDG_RUNTIME_DIR=$VINTRA_PIPEWIRE_RUNTIME_DIR and
# DBUS_SESSION_BUS_ADDRESS=$VINTRA_PIPEWIRE_BUS, and records its sink VINTRA_PIPEWIRE_SINK through
# pipewire-pulse (unix:$VINTRA_PIPEWIRE_RUNTIME_DIR/pulse/native).
vintra_env_start_pipewire() {
  local tool missing=() dir="$vintra_env_dir/pipewire" runtime pid bus="" pulse sink=pwnull
  for tool in dbus-daemon pipewire wireplumber pipewire-pulse pactl pw-dump; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  if ((${#missing[@]})); then
    vintra_env_log "no PipeWire (${missing[*]} missing); the PipeWire tests will skip"
    return 0
  fi
  runtime="$dir/runtime"
  mkdir -p "$runtime" "$dir/home"
  chmod 700 "$dir" "$runtime"
  pulse="unix:$runtime/pulse/native"
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$dir/bus" --print-address=3 \
    3>"$dir/bus-address" >"$dir/dbus.log" 2>&1 &
  vintra_env_pids+=("$!")
  for _ in $(seq 100); do
    bus=$(head -n 1 "$dir/bus-address" 2>/dev/null || true)
    [[ -n $bus ]] && break
    sleep 0.1
  done
  if [[ -z $bus ]]; then
    vintra_env_log "no session bus for PipeWire; the PipeWire tests will skip"
    vintra_env_show "$dir/dbus.log"
    return 0
  fi
  # Its state and configuration stay in this run's folder; it has no business with our X server.
  local env=(env -u DISPLAY -u PULSE_SERVER XDG_RUNTIME_DIR="$runtime" DBUS_SESSION_BUS_ADDRESS="$bus"
             HOME="$dir/home" XDG_CONFIG_HOME="$dir/home/.config" XDG_STATE_HOME="$dir/home/.local/state")
  "${env[@]}" pipewire >"$dir/pipewire.log" 2>&1 &
  vintra_env_pids+=("$!")
  for _ in $(seq 100); do [[ -S $runtime/pipewire-0 ]] && break; sleep 0.1; done
  "${env[@]}" wireplumber >"$dir/wireplumber.log" 2>&1 &
  vintra_env_pids+=("$!")
  "${env[@]}" pipewire-pulse >"$dir/pipewire-pulse.log" 2>&1 &
  vintra_env_pids+=("$!")
  for _ in $(seq 100); do
    PULSE_SERVER=$pulse pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  # The sink comes from pipewire-pulse; wireplumber makes it the default a moment later.
  if PULSE_SERVER=$pulse pactl load-module module-null-sink sink_name=$sink >/dev/null 2>&1; then
    PULSE_SERVER=$pulse pactl set-default-sink $sink
    for _ in $(seq 100); do
      PULSE_SERVER=$pulse pactl info 2>/dev/null | grep -qx "Default Sink: $sink" && break
      sleep 0.1
    done
  fi
  if ! PULSE_SERVER=$pulse pactl info 2>/dev/null | grep -qx "Default Sink: $sink"; then
    vintra_env_log "PipeWire did not start with its null sink; the PipeWire tests will skip"
    for pid in pipewire wireplumber pipewire-pulse; do vintra_env_show "$dir/$pid.log"; done
    return 0
  fi
  export VINTRA_PIPEWIRE_RUNTIME_DIR=$runtime VINTRA_PIPEWIRE_BUS=$bus VINTRA_PIPEWIRE_SINK=$sink
  vintra_env_log "PipeWire with a null sink ($(PULSE_SERVER=$pulse pactl info | sed -n 's/^Server Name: //p'))"
}

vintra_env_start() {
  vintra_env_dir=$(mktemp -d /tmp/vintra-env.XXXXXX)
  chmod 700 "$vintra_env_dir"
  trap vintra_env_stop EXIT

  if ! vintra_env_start_x; then
    vintra_env_log "no X server could be started"
    return 1
  fi
  # A window manager that cannot open a display which answered a moment ago (seen once in a
  # fresh run) gets a new X server, once.
  if ! vintra_env_start_wm; then
    vintra_env_log "starting a new X server for the window manager"
    vintra_env_drop "$vintra_env_x_pid"
    if ! vintra_env_start_x; then
      vintra_env_log "no X server could be started"
      return 1
    fi
    vintra_env_start_wm || vintra_env_log "no window manager: the tests that need one will fail"
  fi
  vintra_env_start_pulse
  vintra_env_start_dbus
  vintra_env_start_pipewire

  # Whatever the programs under test remember (Qt's file dialog history, caches) stays in this
  # run's folder, never in the user's own configuration.
  export XDG_CONFIG_HOME="$vintra_env_dir/config" XDG_CACHE_HOME="$vintra_env_dir/cache"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
}
