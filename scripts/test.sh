#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with an X server, a window
# manager, a PulseAudio null sink and a PipeWire server with a null sink of its own, all stopped
# again at the end. The servers and tools only the tests use are installed here, not by setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh build test
bash scripts/setup.sh
source scripts/test-env.sh
vintra_env_start
ctest --test-dir build --output-on-failure --timeout 300 -j2 "$@"
