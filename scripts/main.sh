#!/bin/sh
# The main job, done the way a user of the filter does it: builds both
# deliverables, sets the log up in the private Wine prefix
# (rundll32 Dez64.dll,default), registers the filter module there
# (regsvr32 Morphlet.dll), runs a host that logs through the log library and
# shows the log file's first lines; then makes a short real video file with
# ffmpeg, has Wine's graph builder render it, puts the registered spy filter
# (created by its CLSID) in before the renderer and plays the file in the
# renderer's window (under a private Xvfb server when there is no display),
# and shows the spy's log lines of the first samples, the number of samples
# and the bitrate (asked through the filter's interface INRVSpyFilter).
set -eu
. "$(dirname "$0")/common.sh"
need_packages
configure_and_build

# The video plays in a window: on the caller's display, or on a private Xvfb
# server for this run. Wine's desktop takes the display of the wineserver's
# first program (without one, the Video Renderer gets no surfaces and the
# file cannot be rendered), so the prefix's wineserver starts anew under it.
XVFB_PID=""
finish() {
  wine_stop
  [ -z "$XVFB_PID" ] || kill "$XVFB_PID" 2>/dev/null || true
}
trap finish EXIT
if [ -z "${DISPLAY:-}" ]; then
  FD_FILE=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$FD_FILE" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 1 100); do [ -s "$FD_FILE" ] && break; sleep 0.1; done
  [ -s "$FD_FILE" ] || { echo "Xvfb did not start"; exit 1; }
  export DISPLAY=":$(cat "$FD_FILE")"
  rm -f "$FD_FILE"
  echo "== no display: a private Xvfb server on $DISPLAY"
fi
wine_stop
wine_start

DLL=$("$WINE" winepath -w "$BUILD/bin/Dez64.dll" 2>/dev/null)
echo "== built: $BUILD/bin/Dez64.dll"
printf '%s\n' "== setting the log up: rundll32 $DLL,default"
"$WINE" rundll32.exe "$DLL,default" >/dev/null 2>&1 || true

MORPHLET=$("$WINE" winepath -w "$BUILD/bin/Morphlet.dll" 2>/dev/null)
printf '%s\n' "== registering the spy filter: regsvr32 /s $MORPHLET"
"$WINE" regsvr32 /s "$MORPHLET" || { echo "regsvr32 Morphlet.dll failed"; exit 1; }

echo "== running the host"
OUT=$("$WINE" "$BUILD/bin/loghost.exe" 5 2>/dev/null | tr -d '\r')
# (printf, not echo: Windows paths hold backslashes)
printf '%s\n' "$OUT" | grep -v '^LOG_'
LOG_WIN=$(printf '%s\n' "$OUT" | sed -n 's/^LOG_FILE=//p')
OFFSET=$(printf '%s\n' "$OUT" | sed -n 's/^LOG_OFFSET=//p')
[ -n "$LOG_WIN" ] || { echo "no log file named"; exit 1; }
LOG=$("$WINE" winepath -u "$LOG_WIN" 2>/dev/null)
[ -f "$LOG" ] || { printf '%s\n' "log file missing: $LOG_WIN"; exit 1; }

printf '%s\n' "== log file: $LOG_WIN"
echo "   ($LOG)"
echo "== its first lines from this run:"
tail -c +"$((OFFSET + 1))" "$LOG" | head -n 40 | tr -d '\r'

# A real file: two seconds of ffmpeg's test picture, uncompressed, which
# Wine's graph builder renders with its GStreamer splitter and its Video
# Renderer.
CLIP=$BUILD/media/clip.avi
mkdir -p "$BUILD/media"
echo "== making a video file: ffmpeg -f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v rawvideo -pix_fmt bgr24 clip.avi"
ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v rawvideo -pix_fmt bgr24 "$CLIP"
FRAMES=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$CLIP")
CLIP_WIN=$("$WINE" winepath -w "$CLIP" 2>/dev/null)
printf '%s\n' "   $CLIP_WIN: $FRAMES frames"

echo "== playing it with the spy filter before the renderer"
PLAY_OUT=$BUILD/media/playhost.txt
RC=0
"$WINE" "$BUILD/bin/playhost.exe" "$CLIP_WIN" "$FRAMES" >"$PLAY_OUT" 2>/dev/null </dev/null || RC=$?
tr -d '\r' <"$PLAY_OUT"
[ "$RC" -eq 0 ] || { echo "== FAILED: playhost exited with $RC"; exit 1; }
