#!/usr/bin/env bash
# Builds Vintra for Windows (scripts/windows/build.sh) and makes, in out/:
#   vintra-<version>-win64.zip      the program folder to unpack anywhere and run vintra.exe
#   vintra-<version>-setup.exe      the installer (NSIS; /S installs silently), with the
#                                   uninstaller (uninstall.nsi) and the list of what it removes
# and prints their sizes.
set -euo pipefail
cd "$(dirname "$0")/../.."

bash scripts/windows/build.sh

start=$SECONDS
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win64/CMakeCache.txt)
name=vintra-$version-win64
stage=$PWD/build-win64/stage/$name
rm -rf "$stage"
cmake --install build-win64 --prefix "$stage" --strip >/dev/null
# The libraries are built with their symbols; the packages ship them without.
find "$stage" -iname '*.dll' -exec x86_64-w64-mingw32-strip --strip-unneeded {} +

mkdir -p out
rm -f "out/$name.zip" "out/vintra-$version-setup.exe"
(cd build-win64/stage && cmake -E tar cf "../../out/$name.zip" --format=zip "$name")

# Windows' version blocks take four numbers; the project may give two or three.
IFS=. read -r major minor patch tweak <<<"$version"
version4=${major:-0}.${minor:-0}.${patch:-0}.${tweak:-0}
# What the uninstaller removes: exactly the staged files, then their folders, deepest first.
files=$PWD/build-win64/stage/files.nsh
{
  (cd "$stage" && find . -type f -printf '%P\n' | LC_ALL=C sort) | sed 's|/|\\|g; s|.*|!insertmacro REMOVE_FILE "&"|'
  # shellcheck disable=SC2016 # $INSTDIR is the installer's variable, written as it stands
  (cd "$stage" && find . -mindepth 1 -type d -printf '%P\n' | LC_ALL=C sort -r) | sed 's|/|\\|g; s|.*|RMDir "$INSTDIR\\&"|'
} >"$files"
nsis=(makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DVERSION4="$version4"
  -DICON="$PWD/build-win64/app/vintra.ico")
uninstaller=$PWD/build-win64/stage/uninstall.bin
launcher=$PWD/build-win64/stage/uninstall.exe
x86_64-w64-mingw32-strip -o "$launcher" build-win64/app/uninstall.exe
"${nsis[@]}" -DFILE_LIST="$files" -DOUTFILE="$uninstaller" scripts/windows/uninstall.nsi
size_kb=$(($(du -sk --apparent-size "$stage" | cut -f1) + ($(stat -c %s "$uninstaller") + $(stat -c %s "$launcher")) / 1024))
"${nsis[@]}" -DSTAGE="$stage" -DLAUNCHER="$launcher" -DUNINSTALLER="$uninstaller" -DSIZE_KB="$size_kb" \
  -DOUTFILE="$PWD/out/vintra-$version-setup.exe" scripts/windows/vintra.nsi
echo "== packages: $((SECONDS - start)) s"
for f in "out/$name.zip" "out/vintra-$version-setup.exe"; do
  bytes=$(stat -c %s "$f")
  echo "$f  $((bytes / 1048576)).$((bytes % 1048576 * 10 / 1048576)) MB ($bytes bytes)"
done
echo "unpacked: $(du -sh "$stage" | cut -f1)"
