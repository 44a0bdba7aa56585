#!/usr/bin/env bash
# Builds the program and its tests with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs the whole test suite under them, with the X server, window manager and
# PulseAudio null sink of scripts/test.sh. Any sanitizer report, from a test or from a program a
# test starts, fails the run.
#   scripts/sanitize.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh build test
root=$PWD
started=$SECONDS

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVINTRA_SANITIZE=ON >/dev/null
ninja -C build-asan -j2
built=$SECONDS

# Leaks are checked at every process's exit. The suppressions cover only allocations that system
# libraries keep until the process ends (see the file); nothing of ours is suppressed.
# Reports go to files, so that one from a program a test starts (the e2e tests run the real
# binary) is seen even when the test does not look at that program's exit status.
logs=$root/build-asan/sanitizer-logs
rm -rf "$logs"; mkdir -p "$logs"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:print_stacktrace=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"

# The suites' servers are CTest fixtures (tests/CMakeLists.txt); whatever of them is still running
# at the end is stopped by its PID.
trap 'bash scripts/test-server.sh stop-all build-asan/test-servers' EXIT
status=0
ctest --test-dir build-asan --output-on-failure --timeout 300 -j2 "$@" || status=$?
shopt -s nullglob
reports=("$logs"/*)
if ((${#reports[@]})); then
  echo "sanitize: ${#reports[@]} sanitizer report(s):"
  for f in "${reports[@]}"; do echo "--- $f"; cat "$f"; done
  status=1
else
  echo "sanitize: no sanitizer reports"
fi
echo "sanitize: build $((built - started)) s, tests $((SECONDS - built)) s, total $((SECONDS - started)) s"
exit $status
