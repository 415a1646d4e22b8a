#!/bin/sh
# Runs a Windows program under Wine where it can create windows without X:
# in a throw-away copy of the prefix (hard links, registry files copied)
# whose graphics driver is Wine's null driver. The shared prefix and its
# running wineserver are left as they are.
set -u
: "${WINEPREFIX:?}"
MAIN=$WINEPREFIX
COPY=$(mktemp -d "$MAIN-display.XXXXXX")
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
printf '\n[Software\\\\Wine\\\\Drivers] 0\n"Graphics"="null"\n' >> "$COPY/user.reg"
export WINEPREFIX="$COPY"
"$(dirname "$0")/wine-run.sh" "$@"
rc=$?
cleanup
exit $rc
