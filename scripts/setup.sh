#!/usr/bin/env bash
# Installs from Debian's packages whatever building and running the program need and is missing
# (scripts/install-packages.sh build), then configures and builds into build/. Quick when
# everything is present. The test suite's own packages are installed by scripts/test.sh.
# VINTRA_WERROR=ON (set by scripts/test.sh) turns compiler warnings into errors.
#   scripts/setup.sh             builds everything: the program, the suites, the benchmarks
#   scripts/setup.sh TARGET...   builds only those (scripts/run.sh: the program and its sounds)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-packages.sh build

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVINTRA_WERROR="${VINTRA_WERROR:-OFF}" >/dev/null
cmake --build build ${1:+--target "$@"}
