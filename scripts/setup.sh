#!/usr/bin/env bash
# Installs from Debian's packages whatever the build, the program and its tests need and is
# missing, then configures and builds into build/. Quick when everything is present.
# VINTRA_WERROR=ON (set by scripts/test.sh) turns compiler warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev-tools qt6-translations-l10n libgl-dev
  libsdl2-dev libsndfile1-dev
  fonts-wine
  # tests: X server, window manager, sound server, inspection tools
  xvfb xauth openbox pulseaudio pulseaudio-utils x11-utils xdotool imagemagick wmctrl desktop-file-utils
  # tests: the format check (scripts/format.sh) and the static checks (scripts/tidy.sh)
  clang-format clang-tidy
  # sound generation and measuring
  sox libsox-fmt-mp3 lame
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  [[ $p == \#* ]] && continue
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVINTRA_WERROR="${VINTRA_WERROR:-OFF}" >/dev/null
cmake --build build
