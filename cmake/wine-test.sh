#!/bin/sh
# Runs one test program under Wine in a Wine prefix of its own, so that no
# test sees another's registry, files, windows or kernel objects, whatever
# runs beside it:
#
#   wine-test.sh [--null-display | --x11] [--sound] [--no3d] <program> [arguments...]
#
# The prefix is a clone of the build's template prefix (DEZ_PREFIX_TEMPLATE):
# hard links to the template's files, except the files that Wine rewrites in
# place (the registry files, which wineserver rewrites whole, and the .ini
# files), which are copied. The clone gets its own wineserver, which is
# stopped with every process of the clone when the program ends; then the
# clone is removed.
#   --null-display  windows can be created, on Wine's null graphics driver;
#   --x11           a real X display: the caller's DISPLAY when it has one,
#                   otherwise a private Xvfb server for this run;
#   --sound         Wine's sound drivers are left on (the template has none);
#   --no3d          Wine's Direct3D draws without OpenGL (its "no3d"
#                   renderer): Wine's Video Renderer then needs no OpenGL
#                   context per connection (with OpenGL, Wine keeps each
#                   connection's device, its thread and some megabytes to
#                   the end of the process).
#
#   wine-test.sh --template
# makes the template prefix when it is missing or was made by an older
# set-up (scripts/common.sh), and removes clones that killed runs left
# behind. Runs that find no template make it themselves, one at a time.
set -u
. "$(dirname "$0")/../scripts/common.sh"
TEMPLATE=${DEZ_PREFIX_TEMPLATE:?}
CLONES=$TEMPLATE-clones
STAMP="$DEZ_PREFIX_SETUP $("$WINE" --version 2>/dev/null)"

template_ready() {
  [ "$(cat "$TEMPLATE/.dez-template" 2>/dev/null)" = "$STAMP" ]
}

# The folder below /tmp that the Debian build of Wine makes for the
# wineserver of a prefix: its name is kept in the prefix's "wineserver" file.
server_dir_of() {
  sname=$(cat "$1/wineserver" 2>/dev/null) || return 0
  case $sname in
    wine-*) [ -d "/tmp/$sname" ] && echo "/tmp/$sname" ;;
  esac
}

# Stops the wineserver of a prefix with every process it has, and removes
# the prefix with the wineserver's folder.
remove_prefix() {
  WINEPREFIX=$1 "$WINESERVER" -k 2>/dev/null
  WINEPREFIX=$1 "$WINESERVER" -w 2>/dev/null
  sdir=$(server_dir_of "$1")
  [ -n "$sdir" ] && rm -rf "$sdir"
  rm -rf "$1"
}

make_template() {
  template_ready && return 0
  exec 9>"$TEMPLATE.lock"
  flock 9
  if ! template_ready; then
    echo "== creating the tests' template Wine prefix $TEMPLATE"
    [ -d "$TEMPLATE" ] && remove_prefix "$TEMPLATE"
    [ -d "$TEMPLATE.new" ] && remove_prefix "$TEMPLATE.new"
    if ! wine_prefix_create "$TEMPLATE.new"; then
      flock -u 9
      return 1
    fi
    # Each clone makes its own wineserver folder.
    sdir=$(server_dir_of "$TEMPLATE.new")
    [ -n "$sdir" ] && rm -rf "$sdir"
    rm -f "$TEMPLATE.new/wineserver"
    echo "$STAMP" >"$TEMPLATE.new/.dez-template"
    mv "$TEMPLATE.new" "$TEMPLATE"
  fi
  flock -u 9
  exec 9>&-
}

# Clones of runs that were killed (their names end with the run's process
# id): stopped and removed.
sweep_clones() {
  for clone in "$CLONES"/*.*.*; do
    [ -d "$clone" ] || continue
    pid=${clone%.*}
    pid=${pid##*.}
    kill -0 "$pid" 2>/dev/null || remove_prefix "$clone"
  done
}

if [ "${1:-}" = "--template" ]; then
  make_template || exit 1
  sweep_clones
  exit 0
fi

display=""
sound=""
no3d=""
while [ $# -gt 0 ]; do
  case $1 in
    --null-display) display=null ;;
    --x11) display=x11 ;;
    --sound) sound=1 ;;
    --no3d) no3d=1 ;;
    *) break ;;
  esac
  shift
done
[ $# -gt 0 ] || { echo "usage: $0 [--null-display | --x11] [--sound] [--no3d] <program> [arguments...]" >&2; exit 2; }

make_template || exit 1
mkdir -p "$CLONES"
name=$(basename "$1")
CLONE=$(mktemp -d "$CLONES/${name%.*}.$$.XXXXXX") || exit 1
XVFB=""

# Wine's processes go first, so that none of them sees its X server go.
cleanup() {
  WINEPREFIX=$CLONE "$WINESERVER" -k 2>/dev/null
  WINEPREFIX=$CLONE "$WINESERVER" -w 2>/dev/null
  if [ -n "$XVFB" ]; then
    kill "$XVFB" 2>/dev/null
    wait "$XVFB" 2>/dev/null
    XVFB=""
  fi
  remove_prefix "$CLONE"
}
trap 'cleanup; exit 1' INT TERM HUP

cp -al "$TEMPLATE/." "$CLONE/"
for f in system.reg user.reg userdef.reg .update-timestamp drive_c/windows/win.ini drive_c/windows/system.ini; do
  if [ -f "$TEMPLATE/$f" ]; then
    rm -f "$CLONE/$f"
    cp "$TEMPLATE/$f" "$CLONE/$f"
  fi
done
[ "$display" = null ] && wine_prefix_drivers "$CLONE" '"Graphics"="null"'
[ -n "$sound" ] && wine_prefix_drivers "$CLONE" '"Audio"="pulse,alsa,oss"'
[ -n "$no3d" ] && printf '\n[Software\\\\Wine\\\\Direct3D] 0\n"renderer"="no3d"\n' >>"$CLONE/user.reg"
export WINEPREFIX="$CLONE"

# A private X server: Xvfb picks a free display number itself and writes it
# when it accepts connections (no race between servers started at once).
if [ "$display" = x11 ] && [ -z "${DISPLAY:-}" ]; then
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$CLONE/xvfb.display" >"$CLONE/xvfb.log" 2>&1 &
  XVFB=$!
  waited=0
  while [ ! -s "$CLONE/xvfb.display" ]; do
    if ! kill -0 "$XVFB" 2>/dev/null || [ "$waited" -ge 600 ]; then
      echo "Xvfb did not start:" >&2
      cat "$CLONE/xvfb.log" >&2
      cleanup
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  DISPLAY=:$(head -n 1 "$CLONE/xvfb.display")
  export DISPLAY
fi

"$(dirname "$0")/wine-run.sh" "$@"
rc=$?
cleanup
exit $rc
