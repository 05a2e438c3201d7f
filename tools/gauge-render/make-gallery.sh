#!/usr/bin/env bash
# Renders the five gauge kinds with gauge-render and joins them into one
# picture (ImageMagick montage).  Usage: make-gallery.sh GAUGE-RENDER OUT.png
set -euo pipefail
render=${1:?path of gauge-render}
out=${2:?output PNG}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export QT_QPA_PLATFORM=offscreen
common=(--border single --color C0C0C0 --min 0 --max 1014 --font-px 12)
"$render" --kind text --size 120x40 --fore 000000 --back FFFFFF "${common[@]}" --progress 426 "$tmp/1.png"
"$render" --kind bar --size 265x17 --fore 0000FF --back FFFFFF "${common[@]}" --progress 507 "$tmp/2.png"
"$render" --kind vbar --size 40x120 --fore 008000 --back FFFFFF "${common[@]}" --progress 700 "$tmp/3.png"
"$render" --kind pie --size 120x120 --fore 000080 --back FFFFFF "${common[@]}" --progress 380 "$tmp/4.png"
"$render" --kind needle --size 161x81 --fore 800000 --back FFFFC0 "${common[@]}" --progress 760 "$tmp/5.png"
montage \
  -label 'text 42%' "$tmp/1.png" \
  -label 'horizontal bar 50%' "$tmp/2.png" \
  -label 'vertical bar 69%' "$tmp/3.png" \
  -label 'pie 37%' "$tmp/4.png" \
  -label 'needle 74%' "$tmp/5.png" \
  -tile 5x1 -geometry +12+12 -background '#E8E8E8' -pointsize 13 "$tmp/gallery.png"
# Twice the size without smoothing, so single pixels stay visible.
convert "$tmp/gallery.png" -filter point -resize 200% -strip "$out"
