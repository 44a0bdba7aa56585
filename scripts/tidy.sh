#!/usr/bin/env bash
# Runs the checks of .clang-tidy over the program's own sources (or the files given), with the
# compile commands of build/ (run scripts/setup.sh first). Niced, two files at a time. Any finding
# fails.   scripts/tidy.sh [file.cpp ...]   (VINTRA_TIDY_JOBS=N runs N at a time, default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-tidy >/dev/null || { echo "tidy: clang-tidy is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
[[ -f build/compile_commands.json ]] || { echo "tidy: build/compile_commands.json is missing; run scripts/setup.sh" >&2; exit 1; }

files=("$@")
if ((${#files[@]} == 0)); then
  mapfile -t files < <(git ls-files -- 'app/*.cpp' 'common/*.cpp' 'settings/*.cpp' 'sound/*.cpp' 'workout/*.cpp')
fi
# GCC's flags that clang does not know are dropped from the compile commands.
printf '%s\0' "${files[@]}" |
  nice xargs -0 -n 1 -P "${VINTRA_TIDY_JOBS:-2}" clang-tidy -p build --quiet --extra-arg=-Wno-unknown-warning-option 2>/dev/null
echo "tidy: ${#files[@]} files pass"
