#!/usr/bin/env bash
# Builds Vintra for Windows (scripts/windows/build.sh) and makes, in out/:
#   vintra-<version>-win64.zip      the program folder to unpack anywhere and run vintra.exe
#   vintra-<version>-setup.exe      the installer (NSIS; /S installs silently)
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
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" -DICON="$PWD/build-win64/app/vintra.ico" \
  -DOUTFILE="$PWD/out/vintra-$version-setup.exe" scripts/windows/vintra.nsi
echo "== packages: $((SECONDS - start)) s"
for f in "out/$name.zip" "out/vintra-$version-setup.exe"; do
  bytes=$(stat -c %s "$f")
  echo "$f  $((bytes / 1048576)).$((bytes % 1048576 * 10 / 1048576)) MB ($bytes bytes)"
done
echo "unpacked: $(du -sh "$stage" | cut -f1)"
