#!/usr/bin/env bash
# Installs what is missing, builds the program without its tests in a tree of its own and makes
# the Debian package there, for the release it is built on.
# Prints the path of the .deb; install it with `sudo apt install ./<that path>`.
#   scripts/package.sh                    builds in build-pkg/
#   BUILD_DIR=/tmp/vintra scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-pkg}

bash scripts/install-packages.sh build package

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVINTRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target vintra vintra_default_sounds
rm -f "$build"/package/*.deb
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$build/package" >/dev/null
ls "$build"/package/*.deb
