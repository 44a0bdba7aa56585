#!/usr/bin/env bash
# Installs what is missing, builds the program and its default sounds (not the suites and the
# benchmarks: scripts/test.sh builds those), and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh vintra vintra_default_sounds
exec build/bin/vintra
