#!/bin/sh
# Checks that no COM port of the build tree's Wine prefix reaches a device of the machine:
#   com_ports_test.sh WINE_DIR
# Every dosdevices/comN link must name a path under WINE_DIR/ports, and whatever such a path resolves
# to must be a pseudo-terminal (a test's simulator) or nothing. COM1..COM9 must be named in the prefix's
# registry (HKLM\Software\Wine\Ports) as WINE_DIR/ports/comN.
set -u
wine_dir=$(cd "$1" && pwd)
prefix="$wine_dir/prefix"
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

[ -d "$prefix/dosdevices" ] || fail "no prefix at $prefix"
count=0
for link in "$prefix"/dosdevices/com*; do
  [ -L "$link" ] || continue
  count=$((count + 1))
  target=$(readlink "$link")
  case "$target" in
    "$wine_dir"/ports/*) ;;
    *) fail "$(basename "$link") -> $target is outside $wine_dir/ports" ;;
  esac
  resolved=$(readlink -f "$link" 2>/dev/null || true)
  if [ -e "$resolved" ]; then
    case "$resolved" in
      /dev/pts/*) ;;
      *) fail "$(basename "$link") resolves to $resolved, not a pseudo-terminal" ;;
    esac
  fi
done
[ "$count" -ge 9 ] || fail "only $count COM links in the prefix"

n=1
while [ "$n" -le 9 ]; do
  grep -qixF "\"COM$n\"=\"$wine_dir/ports/com$n\"" "$prefix/system.reg" ||
    fail "COM$n is not named in the prefix's registry"
  n=$((n + 1))
done

if [ "$failed" -eq 0 ]; then
  echo "$count COM links checked: none reaches a device of the machine"
fi
exit "$failed"
