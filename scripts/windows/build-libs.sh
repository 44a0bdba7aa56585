#!/usr/bin/env bash
# Builds, once per machine, the Windows x64 libraries Vintra links against, from Debian's own source
# packages with Debian's mingw-w64 cross compiler: SDL2, mpg123, lame, libsndfile (with MP3) and
# qt6-base (Core, Gui, Widgets, Test and the windows platform plugin).
#
# Everything goes into a cache folder outside the repository, named by the versions it holds, so a
# clone, a second clone and a later run share one build; a finished step leaves a stamp and is not
# repeated, so a second run takes seconds. Each step prints how long it took.
#
#   scripts/windows/build-libs.sh            build what is missing, print the prefix at the end
#   scripts/windows/build-libs.sh --prefix   only print the prefix folder
#
# VINTRA_WIN64_CACHE  the cache root (default ~/.cache/vintra-win64)
# VINTRA_WIN64_JOBS   parallel compile jobs (default: the number of processors)
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)

qt_version=6.4.2
sdl_version=2.26.5
sndfile_version=1.2.0
mpg123_version=1.31.2
lame_version=3.100
cache=${VINTRA_WIN64_CACHE:-$HOME/.cache/vintra-win64}/qt${qt_version}-sdl${sdl_version}-sndfile${sndfile_version}
prefix=$cache/prefix
if [[ ${1:-} == --prefix ]]; then
  echo "$prefix"
  exit 0
fi
jobs=${VINTRA_WIN64_JOBS:-$(nproc)}
triplet=x86_64-w64-mingw32
toolchain=$repo/cmake/toolchain-mingw64.cmake
src=$cache/src
stamps=$cache/stamps
mkdir -p "$src" "$stamps" "$prefix" "$cache/build"

# A step runs once: its stamp says it finished. The time is printed either way.
step() {
  local name=$1
  shift
  local start=$SECONDS
  if [[ -e $stamps/$name ]]; then
    echo "== $name: done before ($(cat "$stamps/$name"))"
    return
  fi
  echo "== $name ..."
  "$@"
  local took=$((SECONDS - start))
  echo "built in ${took} s on $(date -u +%F)" >"$stamps/$name"
  echo "== $name: ${took} s"
}

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"

install_packages() {
  bash "$repo/scripts/install-packages.sh" windows
}

# The source packages come from the same suites as the binary ones: a deb-src entry that mirrors
# each deb entry of the machine's deb822 sources.
add_deb_src() {
  local list=/etc/apt/sources.list.d/vintra-deb-src.sources
  if [[ ! -e $list ]]; then
    local tmp
    tmp=$(mktemp)
    awk 'BEGIN { RS=""; ORS="\n\n" }
         /(^|\n)Types:[^\n]*deb([ \n]|$)/ && !/(^|\n)Enabled: *no/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
      /etc/apt/sources.list.d/*.sources >"$tmp"
    if [[ -e /etc/apt/sources.list ]]; then
      sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list >"$tmp.list"
    fi
    if [[ ! -s $tmp && ! -s $tmp.list ]]; then
      echo "build-libs: found no deb entries to mirror as deb-src" >&2
      exit 1
    fi
    [[ -s $tmp ]] && $sudo install -m 644 "$tmp" "$list"
    [[ -s $tmp.list ]] && $sudo install -m 644 "$tmp.list" /etc/apt/sources.list.d/vintra-deb-src.list
    rm -f "$tmp" "$tmp.list"
  fi
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
}

# apt stops on mpg123 because the archive lacks a signature file its .dsc lists; the other files
# arrive all the same and apt has already checked their hashes, so the unpack skips the signature.
fetch_sources() {
  (
    cd "$src"
    apt-get source --download-only qt6-base libsdl2 libsndfile mpg123 lame || true
    rm -rf qt6-base SDL2 libsndfile mpg123 lame
    dpkg-source --no-check -x qt6-base_*.dsc qt6-base
    dpkg-source --no-check -x libsdl2_*.dsc SDL2
    dpkg-source --no-check -x libsndfile_*.dsc libsndfile
    dpkg-source --no-check -x mpg123_*.dsc mpg123
    dpkg-source --no-check -x lame_*.dsc lame
  )
  grep -q "^Version: ${qt_version}" "$src"/qt6-base_*.dsc
  grep -q "^Version: ${sdl_version}" "$src"/libsdl2_*.dsc
  grep -q "^Version: ${sndfile_version}" "$src"/libsndfile_*.dsc
  grep -q "^Version: ${mpg123_version}" "$src"/mpg123_*.dsc
  grep -q "^Version: ${lame_version}" "$src"/lame_*.dsc
}

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake_cross() {
  cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVINTRA_WIN64_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "${launcher[@]}" "$@"
}
# The host's .pc files describe Linux libraries; only the prefix's own may answer.
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
unset PKG_CONFIG_PATH

build_sdl() {
  local b=$cache/build/sdl2
  rm -rf "$b"
  # Video stays in: SDL's dynamic API table refers to its video symbols on Windows.
  cmake_cross -S "$src/SDL2" -B "$b" -DSDL_TEST=OFF -DSDL_STATIC=OFF -DSDL_SHARED=ON
  cmake --build "$b" -j "$jobs"
  cmake --install "$b"
}

autotools_cross() {
  CC=$triplet-gcc-posix CXX=$triplet-g++-posix AR=$triplet-ar RANLIB=$triplet-ranlib \
    ./configure --host=$triplet --prefix="$prefix" --enable-shared --disable-static "$@"
}

build_mpg123() {
  (
    cd "$src/mpg123"
    make distclean >/dev/null 2>&1 || true
    autotools_cross --with-cpu=x86-64 --disable-modules --with-audio=dummy --with-default-audio=dummy
    make -j "$jobs"
    make install
  )
}

build_lame() {
  (
    cd "$src/lame"
    make distclean >/dev/null 2>&1 || true
    # The PE export list has no such symbol and the link stops on it.
    sed -i '/^lame_init_old$/d' include/libmp3lame.sym
    autotools_cross --disable-frontend --disable-gtktest
    make -j "$jobs"
    make install
  )
}

build_sndfile() {
  local b=$cache/build/sndfile
  rm -rf "$b"
  cmake_cross -S "$src/libsndfile" -B "$b" -DBUILD_SHARED_LIBS=ON -DBUILD_PROGRAMS=OFF \
    -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=ON \
    -DINSTALL_MANPAGES=OFF -DENABLE_CPACK=OFF
  grep -q '^HAVE_MPEG:INTERNAL=1\|^ENABLE_MPEG:BOOL=ON' "$b/CMakeCache.txt"
  cmake --build "$b" -j "$jobs"
  cmake --install "$b"
}

# Only what a Widgets program and its tests use. Debian's source lacks the wintab headers
# (tablet events off); OpenGL needs both switches to stay out of the windows plugin; without
# Direct2D the DirectWrite-3 font database must be off too or qwindows.dll does not link.
configure_qt() {
  local b=$cache/build/qtbase
  rm -rf "$b"
  cmake_cross -S "$src/qt6-base" -B "$b" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_testlib=ON \
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no \
    -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF -DFEATURE_zstd=OFF \
    -DFEATURE_style_windowsvista=OFF -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF \
    -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_androiddeployqt=OFF \
    -DFEATURE_textodfwriter=OFF -DFEATURE_textmarkdownreader=OFF -DFEATURE_textmarkdownwriter=OFF
}
build_qt() {
  cmake --build "$cache/build/qtbase" -j "$jobs"
}
install_qt() {
  cmake --install "$cache/build/qtbase"
  test -e "$prefix/plugins/platforms/qwindows.dll"
}

# The licence texts of everything the packages ship, one folder per component. The GCC runtime
# (libstdc++, libgcc, winpthreads) is covered by Debian's copyright files of the cross compiler.
collect_licences() {
  local l=$prefix/licenses
  rm -rf "$l"
  mkdir -p "$l/qt" "$l/sdl2" "$l/libsndfile" "$l/mpg123" "$l/lame" "$l/gcc-runtime"
  cp "$src"/qt6-base/LICENSES/{LGPL-3.0-only,GPL-2.0-only,GPL-3.0-only,Qt-GPL-exception-1.0,BSD-3-Clause,MIT}.txt "$l/qt/"
  cp "$src/SDL2/LICENSE.txt" "$l/sdl2/"
  cp "$src/libsndfile/COPYING" "$l/libsndfile/"
  cp "$src/mpg123/COPYING" "$l/mpg123/"
  cp "$src/lame/COPYING" "$src/lame/LICENSE" "$l/lame/"
  cp /usr/share/doc/gcc-mingw-w64-base/copyright "$l/gcc-runtime/gcc-copyright.txt"
  cp /usr/share/doc/mingw-w64-common/copyright "$l/gcc-runtime/mingw-w64-copyright.txt"
  cp /usr/share/common-licenses/GPL-3 "$l/gcc-runtime/GPL-3.txt"
}

total=$SECONDS
# Not stamped: quick when everything is there, and a later script may need a package more.
start=$SECONDS
install_packages
echo "== packages: $((SECONDS - start)) s"
step deb-src add_deb_src
step sources fetch_sources
step sdl2 build_sdl
step mpg123 build_mpg123
step lame build_lame
step sndfile build_sndfile
step qt-configure configure_qt
step qt-build build_qt
step qt-install install_qt
step licences collect_licences
echo "== all: $((SECONDS - total)) s; prefix: $prefix"
