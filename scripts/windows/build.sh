#!/usr/bin/env bash
# Cross-builds Vintra for Windows x64 into build-win64/ (the program, its DLLs and the test suites
# in build-win64/bin/). Builds the Windows libraries first when this machine has none yet
# (scripts/windows/build-libs.sh, about half an hour once). Prints how long each part took.
#   scripts/windows/build.sh [extra cmake configure arguments]
# VINTRA_WERROR=ON turns compiler warnings into errors, as the Linux test command does.
set -euo pipefail
cd "$(dirname "$0")/../.."

start=$SECONDS
bash scripts/windows/build-libs.sh
prefix=$(bash scripts/windows/build-libs.sh --prefix)
echo "== libraries: $((SECONDS - start)) s"

# Only the Windows libraries' pkg-config files may answer (none are used, but a stray lookup must
# not find the Linux ones).
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
unset PKG_CONFIG_PATH

start=$SECONDS
cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw64.cmake" \
  -DVINTRA_WIN64_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DVINTRA_WERROR="${VINTRA_WERROR:-OFF}" "$@" >/dev/null
cmake --build build-win64
echo "== program and test suites: $((SECONDS - start)) s"
