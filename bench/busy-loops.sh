# shellcheck shell=bash
# Sourced by the bench scripts that measure beside a busy machine: busy loops at nice 0
# (`sh -c 'while :; do :; done'`), each started and stopped by its PID.
busy=()
start_busy() { # count
  local _
  for _ in $(seq "$1"); do
    nice -n 0 sh -c 'while :; do :; done' &
    busy+=("$!")
  done
}
stop_busy() {
  local pid
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${busy[@]}"; do wait "$pid" 2>/dev/null || true; done
  busy=()
}
