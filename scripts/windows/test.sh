#!/usr/bin/env bash
# Builds Vintra for Windows and its packages (scripts/windows/package.sh, warnings as errors) and
# runs its test suites, and the installer end to end, under Wine through CTest: on Xvfb with openbox, a PulseAudio null sink, a fresh Windows 10
# prefix, in Russian (code page 1251), English (1252) and UTF-8 (65001) locales. Everything started is stopped at
# the end. Extra arguments go to ctest (e.g. -R tst_settingscodec).
#   scripts/windows/test.sh [ctest args]
set -euo pipefail
cd "$(dirname "$0")/../.."

VINTRA_WERROR=ON bash scripts/windows/package.sh

# shellcheck source=scripts/test-env.sh
source scripts/test-env.sh
vintra_env_start
# shellcheck source=scripts/windows/wine-env.sh
source scripts/windows/wine-env.sh
vintra_wine_start

start=$SECONDS
status=0
ctest --test-dir build-win64 --output-on-failure "$@" || status=$?
echo "== tests under Wine: $((SECONDS - start)) s"
exit "$status"
