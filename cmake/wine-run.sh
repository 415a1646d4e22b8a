#!/bin/sh
# Runs a Windows program under Wine in the build tree's private prefix.
# WINEPREFIX may be set by the caller; otherwise the prefix next to the
# program's build directory is used.
: "${WINEPREFIX:=${DEZ_BUILD_DIR:-$(pwd)}/wineprefix}"
export WINEPREFIX
: "${WINEDEBUG:=-all}"
export WINEDEBUG
case ",${WINEDLLOVERRIDES:-}," in
  *mscoree*) ;;
  *) WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}" ;;
esac
export WINEDLLOVERRIDES
exec /usr/lib/wine/wine64 "$@"
