# Shared set-up for the project's scripts: sourced, not run.
# Installs what is missing, configures and builds the tree, and manages the
# private Wine prefix of the build.

TOP=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$TOP/build}
export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
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

# Creates the prefix on first use and keeps its wineserver alive until wine_stop.
wine_start() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating Wine prefix $WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    "$WINESERVER" -w
  fi
  "$WINESERVER" -p 2>/dev/null || true
  # Start Wine's own services now, with their output detached: started by a
  # test instead, they would inherit its pipes and keep ctest waiting.
  "$WINE" wineboot >/dev/null 2>&1 </dev/null || true
}

wine_stop() {
  "$WINESERVER" -k 2>/dev/null || true
}
