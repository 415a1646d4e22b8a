#!/bin/sh
# Builds everything and runs the whole test suite under Wine, each test
# program in a Wine prefix of its own (cmake/wine-test.sh).
#   ./scripts/test.sh [ctest arguments]
#   ./scripts/test.sh --runs <n> [ctest arguments]
# Arguments go to ctest (-R <regex> picks tests, --repeat until-fail:<n> runs
# each test up to n times). --runs runs the whole suite n times in a row and
# stops at the first run that fails.
set -eu
. "$(dirname "$0")/common.sh"
runs=1
if [ "${1:-}" = "--runs" ]; then
  runs=${2:?"--runs needs a number"}
  shift 2
fi
need_packages imagemagick
configure_and_build
cd "$BUILD"
run=1
while [ "$run" -le "$runs" ]; do
  start=$(date +%s)
  ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@"
  [ "$runs" -eq 1 ] || echo "== run $run of $runs passed in $(($(date +%s) - start)) s"
  run=$((run + 1))
done
