#!/bin/sh
# The main job: builds both deliverables, sets the log up in the private Wine
# prefix as a user would (rundll32 Dez64.dll,default), registers the filter
# module there as a user would (regsvr32 Morphlet.dll), runs a host that logs
# through it from two threads and shows the log file and the lines this run
# wrote, then runs a stream through the spy filter in Wine's filter graph
# manager and shows the spy's lines for the first samples, the number of
# samples that passed and the bitrate, and last runs a stream through the
# registered filter, created by its CLSID.
set -eu
. "$(dirname "$0")/common.sh"
need_packages
configure_and_build
wine_start
trap wine_stop EXIT

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

echo "== running a stream through the spy filter"
RC=0
OUT=$("$WINE" "$BUILD/bin/spyhost.exe" 250 2>/dev/null) || RC=$?
printf '%s\n' "$OUT" | tr -d '\r'
[ "$RC" -eq 0 ] || { echo "spyhost failed ($RC)"; exit 1; }

echo "== running a stream through the registered spy filter, created by its CLSID"
RC=0
OUT=$("$WINE" "$BUILD/bin/regspyhost.exe" 100 2>/dev/null) || RC=$?
printf '%s\n' "$OUT" | tr -d '\r'
[ "$RC" -eq 0 ] || { echo "regspyhost failed ($RC)"; exit 1; }
