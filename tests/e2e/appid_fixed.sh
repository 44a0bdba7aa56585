#!/bin/bash
# Moving the advertised site must not rename the desktop entry, the AppStream file or the icon:
# a renamed id is a new program to desktops and software centres. Configures this tree with
# another site address into a temporary folder and looks at what would be installed.
#   appid_fixed.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
site=https://moved-away.example.org
id=example.zelk_soft.Vintra
if ! cmake -S "$source_dir" -B "$tmp" -G Ninja -DVINTRA_BUILD_TESTS=OFF -DVINTRA_SITE_URL="$site" >"$tmp/configure.log" 2>&1; then
  cat "$tmp/configure.log"
  exit 1
fi
fail=0
for file in "assets/$id.desktop" "assets/$id.metainfo.xml"; do
  [[ -f $tmp/$file ]] || { echo "FAILED: no $file with the site at $site; made: $(cd "$tmp/assets" && echo *.desktop *.xml)"; fail=1; }
done
if ((fail == 0)); then
  grep -qx "Icon=$id" "$tmp/assets/$id.desktop" || { echo "FAILED: the desktop entry's icon is not $id"; fail=1; }
  grep -q "<id>$id</id>" "$tmp/assets/$id.metainfo.xml" || { echo "FAILED: the AppStream id is not $id"; fail=1; }
  # The home page does follow the site.
  grep -q "<url type=\"homepage\">$site</url>" "$tmp/assets/$id.metainfo.xml" ||
    { echo "FAILED: the AppStream home page is not $site"; fail=1; }
fi
if ! grep -q "kSiteUrl\[\] = \"$site\"" "$tmp/app/generated/app/links.h"; then
  echo "FAILED: the program does not link to $site"
  fail=1
fi
((fail == 0)) && echo "PASSED: the id stays $id with the site at $site"
exit "$fail"
