#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with an X server, a window
# manager and a PulseAudio null sink of its own, all stopped again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/test-env.sh
vintra_env_start
ctest --test-dir build --output-on-failure --timeout 300 -j2 "$@"
