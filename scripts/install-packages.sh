#!/usr/bin/env bash
# Installs from Debian's packages whichever of the named groups' packages are missing. Quick when
# everything is present.
#   scripts/install-packages.sh GROUP...
# Groups:
#   build  what building and running the program needs (scripts/setup.sh, scripts/run.sh)
#   test   the servers and inspection tools the test suite starts and uses (scripts/test.sh)
#   media  making and measuring sounds and images (scripts/make-*.sh, bench/)
#   package  making the Debian package (scripts/package.sh)
#   fuzz   the clang toolchain of the fuzzer (scripts/fuzz-settings.sh)
#   windows  cross-building, packaging and testing for Windows (scripts/windows/*.sh)
# A name ending in "?" is installed where the release has it; where it has not, the line under
# `fallbacks` says what stands in for it, and the install goes on. This is how one list serves
# Debian 12, Debian 13 and the next release (fonts-wine left Debian testing with Wine).
set -euo pipefail

build=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev-tools qt6-translations-l10n libgl-dev
  libasound2-dev libsdl2-dev libsndfile1-dev libxss-dev
  # The layout's faces: Tahoma (in fonts-wine), DejaVu Sans Condensed and its bold (in
  # fonts-dejavu-extra; fonts-dejavu-core has only the normal width).
  fonts-wine? fonts-dejavu-core fonts-dejavu-extra
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
package=(
  # dpkg-shlibdeps: the Depends on the libraries the program was linked with, at this release's
  # versions and names; CPack runs `file` before it
  dpkg-dev file
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

declare -A fallbacks=(
  [fonts-wine]="the regular texts are set in DejaVu Sans Condensed (fonts-dejavu-extra), the narrow face the layout falls back to"
)

(($#)) || { echo "usage: scripts/install-packages.sh GROUP... (build, test, media, package, fuzz, windows)" >&2; exit 2; }
wanted=()
for group in "$@"; do
  case $group in
    build) wanted+=("${build[@]}") ;;
    test) wanted+=("${test[@]}") ;;
    media) wanted+=("${media[@]}") ;;
    package) wanted+=("${package[@]}") ;;
    fuzz) wanted+=("${fuzz[@]}") ;;
    windows) wanted+=("${windows[@]}") ;;
    *) echo "install-packages: no group $group" >&2; exit 2 ;;
  esac
done

installed() { [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]; }
# Whether the release's package lists have a version of the package to install.
# (Read whole: with pipefail, grep -q ending first would fail the pipe.)
available() {
  local policy
  policy=$(apt-cache policy "$1" 2>/dev/null)
  [[ $policy =~ Candidate:\ [^\(] ]]
}

missing=()
optional=()
for p in "${wanted[@]}"; do
  if [[ $p == *\? ]]; then
    installed "${p%\?}" || optional+=("${p%\?}")
  else
    installed "$p" || missing+=("$p")
  fi
done
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
updated=0
update() { ((updated)) || $sudo apt-get update -qq; updated=1; }
# The release's lists are read once they are there; a release without one of the optional
# packages is not asked again on every run.
if ((${#missing[@]})) || { ((${#optional[@]})) && ! compgen -G '/var/lib/apt/lists/*_Packages' >/dev/null; }; then
  update
fi
for p in "${optional[@]}"; do
  if available "$p"; then
    missing+=("$p")
  else
    echo "install-packages: this release has no $p; ${fallbacks[$p]:-nothing stands in for it}"
  fi
done
if ((${#missing[@]})); then
  # One name may be in two groups.
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  echo "Installing: ${missing[*]}"
  update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
