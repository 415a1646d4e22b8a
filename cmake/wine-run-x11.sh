#!/bin/sh
# Runs a Windows program under Wine with a real X display: the caller's
# DISPLAY when it has one, otherwise a private Xvfb server for this run.
# Like wine-run-display.sh it works in a throw-away copy of the prefix, so
# the shared prefix's wineserver and graphics settings are left alone.
set -u
: "${WINEPREFIX:?}"
MAIN=$WINEPREFIX
COPY=$(mktemp -d "$MAIN-x11.XXXXXX")
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
cleanup() {
  WINEPREFIX="$COPY" "$WINESERVER" -k 2>/dev/null || true
  WINEPREFIX="$COPY" "$WINESERVER" -w 2>/dev/null || true
  rm -rf "$COPY"
}
trap 'cleanup; exit 1' INT TERM
cp -al "$MAIN/." "$COPY/"
rm -f "$COPY/wineserver"
for f in system.reg user.reg userdef.reg; do
  rm -f "$COPY/$f"
  cp "$MAIN/$f" "$COPY/$f"
done
export WINEPREFIX="$COPY"
if [ -n "${DISPLAY:-}" ]; then
  "$(dirname "$0")/wine-run.sh" "$@"
else
  xvfb-run -a -s "-screen 0 1024x768x24" "$(dirname "$0")/wine-run.sh" "$@"
fi
rc=$?
cleanup
exit $rc
