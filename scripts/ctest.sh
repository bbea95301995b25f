#!/bin/sh
# Runs CTest on the x86_64 build tree by hand, with the Wine server, the
# prefix's services and one desktop program started detached from any output
# (see scripts/test.sh for why), then stops the server. Arguments go to ctest:
#   scripts/ctest.sh -R 'bluetooth_smart|usb'
set -e
top="$(cd "$(dirname "$0")/.." && pwd)"
. "$top/scripts/steps.sh"
root="${CORVANE_BUILD_ROOT:-$top/build}"
tree="$root/x86_64"
[ -f "$tree/CTestTestfile.cmake" ] || { echo "FAILED: no x86_64 build in $tree (scripts/build.sh x86_64)" >&2; exit 1; }
export WINEPREFIX="$tree/wineprefix" WINEDEBUG=-all
run "prepare the Wine prefix" "$top/scripts/wine-prefix.sh" "$WINEPREFIX"
wineserver -k 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
wine notepad.exe </dev/null >/dev/null 2>&1 &
trap 'wineserver -k 2>/dev/null || true' EXIT
ctest --test-dir "$tree" --output-on-failure --timeout 300 "$@"
