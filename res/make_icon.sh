#!/bin/sh
# Draws the program's icon: a drive with an arrow writing onto it.
# Usage: make_icon.sh OUT.ico   (needs ImageMagick's convert and icotool;
# CONVERT and ICOTOOL may name them)
set -eu
out=$1
png=$out.png
"${CONVERT:-convert}" -size 64x64 xc:none \
  -fill '#24324a' -draw 'roundrectangle 4,28 59,59 7,7' \
  -fill '#3d5275' -draw 'roundrectangle 8,32 55,44 4,4' \
  -fill '#9fb3cf' -draw 'rectangle 12,49 38,53' \
  -fill '#4cd964' -draw 'circle 49,51 52,51' \
  -fill '#f39c12' -draw 'polygon 25,1 39,1 39,13 48,13 32,29 16,13 25,13' \
  -strip PNG32:"$png"
"${ICOTOOL:-icotool}" -c -o "$out" "$png"
rm -f "$png"
