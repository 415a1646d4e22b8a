#!/bin/sh
# Builds everything and runs the whole test suite under Wine.
set -eu
. "$(dirname "$0")/common.sh"
need_packages imagemagick
configure_and_build
wine_start
trap wine_stop EXIT
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@"
