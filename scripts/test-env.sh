# Sourced by the test and bench scripts: starts an X server with a window manager and a sound
# server with a null sink for this shell, and stops them (by PID) when the shell exits.
#   source scripts/test-env.sh; vintra_env_start
# Exports DISPLAY, XDG_RUNTIME_DIR, PULSE_SERVER and VINTRA_NULL_SINK.

vintra_env_pids=()
vintra_env_dir=""

vintra_env_stop() {
  local pid
  for pid in "${vintra_env_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${vintra_env_pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  vintra_env_pids=()
  [[ -n $vintra_env_dir ]] && rm -rf "$vintra_env_dir"
  vintra_env_dir=""
}

vintra_env_start() {
  vintra_env_dir=$(mktemp -d /tmp/vintra-env.XXXXXX)
  chmod 700 "$vintra_env_dir"
  trap vintra_env_stop EXIT

  # X server on the first free display, then openbox on it.
  local n=90
  while [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$vintra_env_dir/xvfb.log" 2>&1 &
  vintra_env_pids+=($!)
  export DISPLAY=":$n"
  for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  openbox --sm-disable >"$vintra_env_dir/openbox.log" 2>&1 &
  vintra_env_pids+=($!)
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done

  # PulseAudio with a null sink; as root it warns and works.
  export XDG_RUNTIME_DIR="$vintra_env_dir/runtime"
  mkdir -p "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
  export HOME_FOR_PULSE="$vintra_env_dir/home"
  mkdir -p "$HOME_FOR_PULSE"
  HOME="$HOME_FOR_PULSE" pulseaudio -D -n --exit-idle-time=-1 --log-target=file:"$vintra_env_dir/pulse.log" \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=nullsink" --load=module-always-sink 2>/dev/null || true
  local pulse_pid=""
  for _ in $(seq 100); do
    pulse_pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null || true)
    [[ -n $pulse_pid ]] && pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  if [[ -n $pulse_pid ]]; then
    vintra_env_pids+=("$pulse_pid")
    export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
    export VINTRA_NULL_SINK=nullsink
  else
    echo "test-env: PulseAudio did not start; real-audio tests will skip" >&2
  fi
}
