#!/usr/bin/env bash
# Draws the program's pictures with ImageMagick and writes them into assets/:
#   assets/icons/vintra-<N>.png  application icon, a white stopwatch on a shaded red disc
#   assets/images/arrow.png      32x32 arrow of the "Подробнее" button, on black (black is keyed out)
#   assets/images/speaker.png    17x17 loudspeaker of the music button, on white (white is keyed out)
# The results are committed; run this again only after changing the drawings.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh media
command -v convert >/dev/null || { echo "make-images: ImageMagick's convert is missing" >&2; exit 1; }

icons=assets/icons
images=assets/images
mkdir -p "$icons" "$images"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- application icon -------------------------------------------------------------------------
# Drawn once at 1024 px and scaled down, so every size gets clean anti-aliased edges.
S=1024
# Disc shading: a radial gradient whose light centre sits up and to the left.
convert -size 1536x1536 radial-gradient:'#ff6a5c'-'#8a0a12' \
  -crop ${S}x${S}+352+352 +repage "$work/shade.png"
# Disc mask with a thin darker rim for a little depth.
convert -size ${S}x${S} xc:none -fill white -draw "circle 512,512 512,12" "$work/mask.png"
convert "$work/shade.png" "$work/mask.png" -alpha off -compose CopyOpacity -composite \
  -fill none -stroke '#6e0710' -strokewidth 16 -draw "circle 512,512 512,20" "$work/disc.png"
# The stopwatch in white: ring, crown with stem, side button, hand and hub. The hand points to
# about two o'clock, the moment an interval turns.
convert -size ${S}x${S} xc:none \
  -fill none -stroke white -strokewidth 78 -draw "circle 512,574 512,316" \
  -stroke none -fill white \
  -draw "roundrectangle 442,150 582,214 22,22" \
  -draw "rectangle 484,200 540,290" \
  -draw "polygon 689,355 731,397 780,348 738,306" \
  -stroke white -strokewidth 58 -draw "line 512,574 650,434" \
  -stroke none -draw "circle 512,574 512,528" \
  "$work/watch.png"
# A soft shadow under the white parts keeps them readable on the lighter part of the disc.
convert "$work/watch.png" -background '#3a0006' -shadow 55x10+10+14 +repage \
  -gravity center -crop ${S}x${S}+0+0 +repage "$work/shadow.png"
convert "$work/disc.png" \( "$work/shadow.png" "$work/mask.png" -alpha on -compose DstIn -composite \) \
  -compose Over -composite "$work/watch.png" -compose Over -composite "$work/icon-big.png"
for n in 256 128 48 32 24 16; do
  convert "$work/icon-big.png" -filter Lanczos -resize ${n}x${n} \
    -define png:color-type=6 -strip "PNG32:$icons/vintra-$n.png"
done

# --- arrow of the "Подробнее" button ---------------------------------------------------------
# 24-bit colour on black without anti-aliasing, so that keying out the black leaves a clean edge:
# pale red upper half, bright red lower half, dark red outline.
arrow="3,11 16,11 16,4 29,16 16,28 16,21 3,21"
convert -size 32x32 xc:black +antialias \
  -fill '#ff0000' -stroke none -draw "polygon $arrow" \
  -region 32x16+0+0 -fill '#ff9c9c' -opaque '#ff0000' +region \
  -fill none -stroke '#7a0000' -strokewidth 1 -draw "polygon $arrow" \
  -strip "PNG24:$images/arrow.png"

# --- loudspeaker of the music button --------------------------------------------------------
# Dark grey body with a black outline and two black waves, on white.
convert -size 17x17 xc:white +antialias \
  -fill '#505050' -stroke black -strokewidth 1 \
  -draw "rectangle 1,6 4,10" \
  -draw "polygon 4,6 8,2 8,14 4,10" \
  -fill none -stroke '#202020' -draw "arc 6,5 12,11 -60,60" \
  -stroke black -draw "arc 6,2 16,14 -60,60" \
  -strip "PNG24:$images/speaker.png"

written=("$icons"/*.png "$images"/*.png)
echo "make-images: wrote ${#written[@]} files"
