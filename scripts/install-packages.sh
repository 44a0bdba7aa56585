#!/usr/bin/env bash
# Installs from Debian's packages whichever of the named groups' packages are missing. Quick when
# everything is present.
#   scripts/install-packages.sh GROUP...
# Groups:
#   build  what building and running the program needs (scripts/setup.sh, scripts/run.sh)
#   test   the servers and inspection tools the test suite starts and uses (scripts/test.sh)
#   media  making and measuring sounds and images (scripts/make-*.sh, bench/)
#   fuzz   the clang toolchain of the fuzzer (scripts/fuzz-settings.sh)
#   windows  cross-building, packaging and testing for Windows (scripts/windows/*.sh)
set -euo pipefail

build=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev-tools qt6-translations-l10n libgl-dev
  libasound2-dev libsdl2-dev libsndfile1-dev libxss-dev
  fonts-wine fonts-dejavu-core
)
test=(
  python3
  # saving as an ordinary user (setpriv), a loop block device for the settings tests (losetup)
  util-linux mount
  strace # holds a save in its fsync until the settings test kills it (tst_settingsfile)
  # X server, window manager, sound servers, inspection tools
  xvfb xauth openbox pulseaudio pulseaudio-utils x11-utils xdotool imagemagick wmctrl
  dbus pipewire pipewire-bin pipewire-pulse wireplumber
  # checks of the desktop entry and the AppStream file
  desktop-file-utils appstream
  # the format and shell checks (scripts/format.sh, scripts/shellcheck.sh), the static checks
  # (scripts/tidy.sh)
  clang-format clang-tidy shellcheck
  # X resources for the scaled-screen grabs
  x11-xserver-utils
  # a session bus with stand-ins of the desktop's services; Wayland with XWayland
  dbus-daemon python3-dbus python3-gi weston xwayland qt6-wayland
  # the accessibility bus and a client that reads the window through it
  at-spi2-core python3-pyatspi gir1.2-atspi-2.0
  # a screen reader and its speech server with a voice (played into ALSA's null device)
  orca speech-dispatcher speech-dispatcher-espeak-ng
)
media=(
  sox libsox-fmt-mp3 lame imagemagick
)
fuzz=(
  clang libclang-rt-14-dev
)
windows=(
  # the cross compilers (the posix thread model has std::thread) and the source packages' tools
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  dpkg-dev make cmake ninja-build pkg-config xz-utils bzip2
  # Debian's Qt of the same version provides moc, rcc and uic; its translations are shipped
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n
  # the icon, the installer, Wine and what the tests under it use
  imagemagick nsis wine64 wine libwine locales python3
  xvfb xauth openbox x11-utils xdotool wmctrl pulseaudio pulseaudio-utils dbus pipewire-bin
)

(($#)) || { echo "usage: scripts/install-packages.sh GROUP... (build, test, media, fuzz, windows)" >&2; exit 2; }
wanted=()
for group in "$@"; do
  case $group in
    build) wanted+=("${build[@]}") ;;
    test) wanted+=("${test[@]}") ;;
    media) wanted+=("${media[@]}") ;;
    fuzz) wanted+=("${fuzz[@]}") ;;
    windows) wanted+=("${windows[@]}") ;;
    *) echo "install-packages: no group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  # One name may be in two groups.
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
