#!/bin/sh
# Makes the real media files that the spy's tests with Wine's own graphs play:
# one second of ffmpeg's test picture (10 frames of 160x120) as an
# uncompressed AVI in each pixel layout below, the same picture compressed
# with Microsoft Video 1 (played only where Wine has a decoder for it), and one
# second of a tone as a PCM WAV file. A layout that ffmpeg cannot write into an AVI
# leaves no file: the tests fail when it is one that this platform plays, and
# skip it, saying so, when it is one that Wine alone does not play here.
set -u
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
picture="testsrc=size=160x120:rate=10"
# ffmpeg writes some layouts into an AVI that no reader can play and only
# warns about it: such a file is not kept.
make() {
  name=$1
  shift
  if ffmpeg -hide_banner -loglevel warning -nostdin -y "$@" "$dir/$name.tmp" 2>"$dir/$name.err" &&
     ! grep -q "cannot be written" "$dir/$name.err"; then
    mv "$dir/$name.tmp" "$dir/$name"
  fi
  rm -f "$dir/$name.tmp" "$dir/$name.err"
}
for fmt in bgr24 bgra rgb555le rgb565le pal8 gray yuyv422 uyvy422 yvyu422 yuv420p nv12 nv21 yuv410p yuv411p yuv422p; do
  make "clip-$fmt.avi" -f lavfi -i "$picture" -t 1 -c:v rawvideo -pix_fmt "$fmt" -f avi
done
make clip-msvideo1.avi -f lavfi -i "$picture" -t 1 -c:v msvideo1 -f avi
make tone.wav -f lavfi -i "sine=frequency=440:duration=1" -c:a pcm_s16le -f wav
ls "$dir"
