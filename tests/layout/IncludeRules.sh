#!/bin/sh
# The framework's include rules, checked on the source tree:
# - a lower folder never includes a higher one: text/ is the lowest, then
#   alloc/ and redir/, then filter/;
# - nothing below include/dshowx includes a chief header (DSFilters.h,
#   DSAllocators.h, DSParsers.h, DSWrappers.h), which only gather the
#   headers of their folder for the code that uses the framework;
# - no include cycle among the framework's headers.
# Usage: IncludeRules.sh <source root>. Prints each breach; fails on any.
set -eu
top=$(cd "$1" && pwd)
fw=$top/include/dshowx
status=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT

level() {
  case $1 in
    text/*) echo 1 ;;
    alloc/* | redir/*) echo 2 ;;
    filter/*) echo 3 ;;
    *) echo 4 ;;
  esac
}

# The framework header a quoted include names, as a path below include/dshowx,
# or nothing when it is not one of the framework's.
resolve() {
  dir=$1 name=$2
  if [ "$dir" != . ] && [ -f "$fw/$dir/$name" ]; then
    echo "$dir/$name"
  elif [ -f "$fw/$name" ]; then
    echo "$name"
  fi
}

cd "$fw"
for file in *.h */*.h; do
  dir=$(dirname "$file")
  for name in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file"); do
    target=$(resolve "$dir" "$name")
    [ -n "$target" ] || continue
    target=${target#./}
    echo "$file $target" >>"$edges"
    if [ "$dir" != . ]; then
      case $target in
        DSFilters.h | DSAllocators.h | DSParsers.h | DSWrappers.h)
          echo "$file includes the chief header $target"
          status=1
          ;;
      esac
      if [ "$(level "$target")" -gt "$(level "$file")" ] && [ "$(level "$target")" -lt 4 ]; then
        echo "$file (a lower folder) includes $target"
        status=1
      fi
    fi
  done
done
if ! tsort "$edges" >/dev/null 2>"$edges.err"; then
  echo "include cycle:"
  head -20 "$edges.err"
  status=1
fi
rm -f "$edges.err"
[ "$status" -eq 0 ] && echo "include rules hold for $(wc -l <"$edges") includes"
exit "$status"
