#!/bin/sh
# Decodes the bitmaps that the picture test leaves behind with ImageMagick, an
# independent reader, and checks their format, size, orientation and colours.
# The picture is 3 x 2: red, green, blue on top; white, black, yellow below.
set -eu
dir=$1
expected="0,0:FF0000 1,0:00FF00 2,0:0000FF 0,1:FFFFFF 1,1:000000 2,1:FFFF00"
passed=0
failed=0
for f in "$dir"/*.bmp; do
  if [ ! -e "$f" ]; then
    echo "no bitmaps in $dir"
    exit 1
  fi
  identify "$f"
  info=$(identify -format '%m %w %h' "$f")
  pixels=$(convert "$f" -depth 8 txt:- |
    awk '!/^#/ { split($0, a, "#"); printf "%s%s ", $1, substr(a[2], 1, 6) }' | sed 's/ $//')
  case "$info" in
    BMP*" 3 2") ;;
    *) echo "FAIL $f: format and size '$info'"; failed=$((failed + 1)); continue ;;
  esac
  if [ "$pixels" != "$expected" ]; then
    echo "FAIL $f: pixels '$pixels', expected '$expected'"
    failed=$((failed + 1))
    continue
  fi
  passed=$((passed + 1))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -ge 5 ]
