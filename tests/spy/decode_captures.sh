#!/bin/sh
# Decodes the bitmaps that the spy filter captured with ImageMagick, an
# independent reader: each one must be a bitmap of the size its name gives
# (<layout>_<width>x<height>.bmp) whose pixels, top row first, are exactly
# the RGB bytes of the .rgb file beside it.
set -eu
dir=$1
passed=0
failed=0
for f in "$dir"/*.bmp; do
  if [ ! -e "$f" ]; then
    echo "no bitmaps in $dir"
    exit 1
  fi
  base=${f%.bmp}
  size=${base##*_}
  w=${size%x*}
  h=${size#*x}
  identify "$f"
  info=$(identify -format '%m %w %h' "$f")
  case "$info" in
    BMP*" $w $h") ;;
    *) echo "FAIL $f: format and size '$info', expected a bitmap of $w x $h"; failed=$((failed + 1)); continue ;;
  esac
  if ! convert "$f" -depth 8 rgb:- | cmp -s - "$base.rgb"; then
    echo "FAIL $f: the decoded pixels differ from $base.rgb"
    failed=$((failed + 1))
    continue
  fi
  passed=$((passed + 1))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -ge 1 ]
