#!/bin/sh
# The test command: installs what is missing, builds both architectures,
# runs every test of the x86_64 build under Wine, then builds and runs a
# client against the installed SDK folder.
set -e
top="$(cd "$(dirname "$0")/.." && pwd)"
root="${CORVANE_BUILD_ROOT:-$top/build}"
"$top/scripts/deps.sh"

for arch in x86_64 i686; do
  echo "== build $arch"
  "$top/scripts/build.sh" "$arch"
done

tree="$root/x86_64"
export WINEPREFIX="$tree/wineprefix" WINEDEBUG=-all
"$top/scripts/wine-prefix.sh" "$WINEPREFIX"
# One Wine server for the whole run: each program then starts in well under a
# second. The server and the prefix's services (and its desktop window) are
# started here with no output attached: whatever Wine starts for its first
# client inherits that client's standard output, and CTest would wait for
# them to close it long after the test has ended.
wineserver -k 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT

echo "== tests (x86_64, under Wine)"
ctest --test-dir "$tree" --output-on-failure -j2 --timeout 300

echo "== a client built against the SDK folder"
client="$root/client-x86_64"
cmake -S "$top/examples/client" -B "$client" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$root/sdk/x86_64" >/dev/null
cmake --build "$client" >/dev/null
WINEPATH="$(winepath -w "$root/sdk/x86_64/bin")" "$tree/wine-run" "$client/client.exe"

# Debian's 32-bit Wine cannot be installed from the registries here; run the
# i686 tests wherever one is.
if [ -x /usr/lib/wine/wine ] || command -v wine32 >/dev/null 2>&1; then
  echo "== tests (i686, under 32-bit Wine)"
  ctest --test-dir "$root/i686" --output-on-failure -j2 --timeout 300
else
  echo "== i686: built (Corvane.dll, Basalt.dll, SDK in $root/sdk/i686); tests skipped: no 32-bit Wine on this machine"
fi
echo "== all tests passed"
