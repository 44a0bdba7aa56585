#!/usr/bin/env bash
# Installs what is missing, builds, checks the format and the shell scripts, and runs the whole
# test suite. Each suite gets the servers it needs (an X server with a window manager, a
# PulseAudio null sink, a session bus, PipeWire with a null sink), started by CTest's fixtures
# before the first suite that needs them and stopped by their PIDs after the last
# (tests/CMakeLists.txt); whatever is still running when this script ends is stopped too.
# The servers and tools only the tests use are installed here, not by setup.sh.
# It builds with warnings as errors and fails when a C++ file differs from .clang-format;
# VINTRA_SKIP_FORMAT_CHECK=1 skips that check (for a branch whose files are not formatted yet).
#   scripts/test.sh [ctest options, e.g. -R tst_sequencer or -L unit]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh build test
VINTRA_WERROR=ON bash scripts/setup.sh
if [[ ${VINTRA_SKIP_FORMAT_CHECK:-0} == 1 ]]; then
  echo "test: format check skipped (VINTRA_SKIP_FORMAT_CHECK=1)"
else
  bash scripts/format.sh --check
fi
bash scripts/shellcheck.sh
trap 'bash scripts/test-server.sh stop-all build/test-servers' EXIT
ctest --test-dir build --output-on-failure --timeout 300 -j2 "$@"
