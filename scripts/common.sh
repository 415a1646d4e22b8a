# Shared set-up for the project's scripts: sourced, not run.
# Installs what is missing, configures and builds the tree, and manages the
# private Wine prefix of the build.

TOP=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$TOP/build}
export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install is ever attempted; overrides the caller gives stay.
case ",${WINEDLLOVERRIDES:-}," in
  *mscoree*) ;;
  *) WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}" ;;
esac
export WINEDLLOVERRIDES
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver

# Debian packages the build and the tests need; extra ones may be passed.
need_packages() {
  missing=""
  for p in g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine xvfb xauth googletest cmake ffmpeg gstreamer1.0-plugins-good "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    echo "== installing:$missing"
    SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
  fi
}

configure_and_build() {
  cmake -S "$TOP" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$TOP/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
  cmake --build "$BUILD" -j"$(nproc)" "$@"
}

# What every Wine prefix of ours gets besides Wine's defaults (the main
# job's prefix and the tests' template prefix alike), written while the
# prefix's wineserver is down:
# - drive Z: (the Unix root) gets /dev/null as its device. Without one, Wine
#   takes the disk that holds / as the volume behind Z: and tries to read its
#   boot sector, which ordinary users (and containers) may not read: every
#   volume query on Z:, such as the drive list of the log's header, then
#   prints "Read access denied for device". Z: itself, and every path on it,
#   stay as they were; the volume is described as before (its label and serial
#   number come from Wine's fallback either way).
# - no sound driver: machines that build and test have no sound card, and
#   Wine's ALSA driver prints its errors in every process that looks for one.
#   A test that needs sound asks for the driver (wine_prefix_drivers).
# DEZ_PREFIX_SETUP names this set-up: change it when the set-up changes, so
# that prefixes made by an older one are set up again.
DEZ_PREFIX_SETUP=1
wine_prefix_setup() {
  ln -sfn /dev/null "$1/dosdevices/z::"
  wine_prefix_drivers "$1" '"Audio"=""'
  echo "$DEZ_PREFIX_SETUP" >"$1/.dez-setup"
}

# Adds values (lines of a .reg file) to HKCU Software\Wine\Drivers of a
# prefix whose wineserver is down.
wine_prefix_drivers() {
  pfx=$1
  shift
  { printf '\n[Software\\\\Wine\\\\Drivers] 0\n'; printf '%s\n' "$@"; } >>"$pfx/user.reg"
}

# Makes a new prefix in the folder $1, set up as above.
wine_prefix_create() {
  WINEPREFIX=$1 "$WINE" wineboot -i >/dev/null 2>&1 </dev/null || true
  WINEPREFIX=$1 "$WINESERVER" -w
  [ -f "$1/system.reg" ] || { echo "wineboot made no prefix in $1" >&2; return 1; }
  wine_prefix_setup "$1"
}

# Creates the prefix on first use (or sets up one made by an older set-up)
# and keeps its wineserver alive until wine_stop.
wine_start() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating Wine prefix $WINEPREFIX"
    wine_prefix_create "$WINEPREFIX"
  elif [ "$(cat "$WINEPREFIX/.dez-setup" 2>/dev/null)" != "$DEZ_PREFIX_SETUP" ]; then
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w
    wine_prefix_setup "$WINEPREFIX"
  fi
  "$WINESERVER" -p 2>/dev/null || true
  # Start Wine's own services now, with their output detached: started by a
  # program of ours instead, they would inherit its pipes.
  "$WINE" wineboot >/dev/null 2>&1 </dev/null || true
}

wine_stop() {
  "$WINESERVER" -k 2>/dev/null || true
}
