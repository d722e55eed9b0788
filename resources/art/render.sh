#!/usr/bin/env bash
# Renders the splash art and the icon from their SVG sources into the PNG and
# ICO files that the executable embeds (librsvg2-bin and imagemagick).
set -euo pipefail
cd "$(dirname "$0")"
rsvg-convert -w 1120 -h 700 background.svg -o background.png
rsvg-convert -w 627 -h 525 character.svg -o character.png
rsvg-convert -w 115 -h 149 flame.svg -o flame.png
sizes="256 64 48 32 16"
frames=()
for size in $sizes; do
    rsvg-convert -w "$size" -h "$size" icon.svg -o "icon-$size.png"
    frames+=("PNG32:icon-$size.png")
done
# Every entry 32-bit with alpha; the 256-pixel one stays a PNG inside the icon.
/usr/bin/convert "${frames[@]}" -define icon:format=png quorvane.ico 2>/dev/null ||
    /usr/bin/convert "${frames[@]}" quorvane.ico
rm -f icon-*.png
# Background and pictures as 32-bit RGBA, the form the launcher decodes.
for picture in background character flame; do
    /usr/bin/convert "$picture.png" -define png:color-type=6 "PNG32:$picture.png"
done
echo "rendered background.png character.png flame.png quorvane.ico"
