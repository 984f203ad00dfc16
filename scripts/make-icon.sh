#!/usr/bin/env bash
# Draws the finder's icon with ImageMagick: a serial connector under a
# magnifying glass. Writes finder/icons/kelvane-finder.ico (16, 32, 48 and
# 256 px, for the Windows programs) and the PNGs the Linux menu entry uses.
# The results are kept in the tree; run this again only to change the icon.
set -euo pipefail
cd "$(dirname "$0")/.."
out=finder/icons
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

pins=""
for x in 76 102 128 154 180; do pins+=" circle $x,108 $((x + 9)),108"; done
for x in 89 115 141 167; do pins+=" circle $x,140 $((x + 9)),140"; done

convert -size 256x256 xc:none \
  -fill '#1f4e79' -draw 'roundrectangle 8,8 247,247 44,44' \
  -fill white -draw 'polygon 40,80 216,80 194,168 62,168' \
  -fill '#1f4e79' -draw "$pins" \
  -fill none -stroke '#f2b705' -strokewidth 18 -draw 'circle 168,170 168,218' \
  -strokewidth 26 -draw 'line 204,206 232,234' \
  PNG32:"$tmp/icon-256.png"

for size in 16 32 48; do
  convert "$tmp/icon-256.png" -filter Lanczos -resize ${size}x${size} PNG32:"$tmp/icon-$size.png"
done
convert "$tmp/icon-16.png" "$tmp/icon-32.png" "$tmp/icon-48.png" "$tmp/icon-256.png" \
  "$out/kelvane-finder.ico"
cp "$tmp/icon-256.png" "$out/kelvane-finder-256.png"
cp "$tmp/icon-48.png" "$out/kelvane-finder-48.png"
echo "icon written to $out"
