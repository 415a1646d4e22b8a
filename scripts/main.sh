#!/bin/sh
# The main job: builds both deliverables, sets the log up in the private Wine
# prefix and runs a host through it, then shows the log file.
set -eu
. "$(dirname "$0")/common.sh"
need_packages
configure_and_build
wine_start
trap wine_stop EXIT
echo "== built: $BUILD/bin/Dez64.dll"
