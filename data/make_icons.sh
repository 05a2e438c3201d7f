#!/usr/bin/env bash
# Makes the desktop icon in the hicolor sizes from the program's 32 x 32
# icon (app/resources/tarnup.png, drawn by app/resources/make_images.py).
# The picture is pixel art: sizes that are whole multiples of 32 keep every
# pixel square (nearest neighbour); 16 and 48 are filtered. The outputs are
# committed, so the build needs neither this script nor ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"
src=../app/resources/tarnup.png
for size in 16 32 48 64 128 256; do
  case $size in
    16 | 48) filter=(-filter Lanczos) ;;
    *) filter=(-filter Point) ;;
  esac
  convert "$src" "${filter[@]}" -resize "${size}x${size}" -strip \
    -define png:exclude-chunks=date,time "icons/tarnup-$size.png"
done
