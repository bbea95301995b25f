#!/bin/sh
# The test command: installs what is missing, builds both architectures,
# runs every test of the x86_64 build under Wine, then builds and runs a
# client against the installed SDK folder.
set -e
top="$(cd "$(dirname "$0")/.." && pwd)"
. "$top/scripts/steps.sh"
root="${CORVANE_BUILD_ROOT:-$top/build}"
run "install what is missing" "$top/scripts/deps.sh"

for arch in x86_64 i686; do
  echo "== build $arch"
  run "build and install $arch" "$top/scripts/build.sh" "$arch"
done

# No 32-bit Wine runs here: what the i686 build can be checked for without
# running it. Its record layouts are static_asserts, compiled above; its tests
# and tools were built; its DLLs must export what the x86_64 ones do, named as
# a 32-bit client links to them; and a client must build against its SDK.
echo "== i686 checks (built, not run)"
run "the i686 exports match the x86_64 ones" "$top/scripts/check-exports.sh" "$root/x86_64/bin" "$root/i686/bin"
step "configure the i686 client against the i686 SDK folder" cmake -S "$top/examples/client" -B "$root/client-i686" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-i686.cmake" \
  -DCMAKE_PREFIX_PATH="$root/sdk/i686"
step "build the i686 client" cmake --build "$root/client-i686"

tree="$root/x86_64"
export WINEPREFIX="$tree/wineprefix" WINEDEBUG=-all
run "prepare the Wine prefix" "$top/scripts/wine-prefix.sh" "$WINEPREFIX"
# One Wine server for the whole run: each program then starts in well under a
# second. The server and the prefix's services (and its desktop window) are
# started here with no output attached: whatever Wine starts for its first
# client inherits that client's standard output, and CTest would wait for
# them to close it long after the test has ended.
wineserver -k 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1 || { echo "FAILED: start the Wine server (wineserver -p)" >&2; exit 1; }
# Fails harmlessly (rundll32 finds no such entry), having started the services.
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
# The desktop process ends whenever no program is left on the desktop, and the
# next test that makes a window starts it again with that test's output: CTest
# then waits for the desktop to end too (up to the whole run, or into a
# time-out). A program that stays on the desktop for the whole run keeps the
# first desktop process, started here with no output, alive.
wine notepad.exe </dev/null >/dev/null 2>&1 &
trap 'wineserver -k 2>/dev/null || true' EXIT

echo "== tests (x86_64, under Wine)"
run "the x86_64 tests" ctest --test-dir "$tree" --output-on-failure -j2 --timeout 300

echo "== a client built against the SDK folder"
client="$root/client-x86_64"
step "configure the client against the SDK folder" cmake -S "$top/examples/client" -B "$client" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$root/sdk/x86_64"
step "build the client" cmake --build "$client"
sdkbin="$(winepath -w "$root/sdk/x86_64/bin")" || { echo "FAILED: winepath of the SDK folder" >&2; exit 1; }
WINEPATH="$sdkbin" run "run the client" "$tree/wine-run" "$client/client.exe"

echo "== the port clients, built against a copy of the SDK folder"
# The copy stands for the SDK on another machine: the Boost headers are found
# where a user keeps them, never through the build tree that made the SDK.
copy="$root/sdk-copy/x86_64" ports="$root/ports-x86_64"
rm -rf "$copy" "$ports" && mkdir -p "$copy" && cp -R "$root/sdk/x86_64/." "$copy/"
if cmake -S "$top/examples/ports" -B "$ports" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64.cmake" \
     -DCMAKE_PREFIX_PATH="$copy" -DCORVANE_BOOST_INCLUDE="$root/no-boost-here" >"$root/ports-refused.log" 2>&1 ||
   ! grep -q "CORVANE_BOOST_INCLUDE" "$root/ports-refused.log"; then
  echo "FAILED: the package took a folder without Boost, or did not say what to set:" >&2
  cat "$root/ports-refused.log" >&2; exit 1
fi
rm -rf "$ports"
step "configure the port clients against the copy" cmake -S "$top/examples/ports" -B "$ports" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64.cmake" -DCMAKE_PREFIX_PATH="$copy" -DBoost_INCLUDE_DIR=/usr/include
if grep -q "CORVANE_BOOST_INCLUDE:PATH=$root/x86_64" "$ports/CMakeCache.txt" || grep -Eq -- "-I/usr/include( |$)|-isystem /usr/include( |$)" "$ports/build.ninja"; then
  echo "FAILED: the port clients reach Boost through the build tree or /usr/include" >&2; exit 1
fi
step "build the port clients" cmake --build "$ports"
run "run the port clients against the simulators" sh "$top/examples/ports/run-clients.sh" "$copy" "$ports" "$tree"

# Debian's 32-bit Wine cannot be installed from the registries here; run the
# i686 tests wherever one is.
if [ -x /usr/lib/wine/wine ] || command -v wine32 >/dev/null 2>&1; then
  echo "== tests (i686, under 32-bit Wine)"
  run "the i686 tests" ctest --test-dir "$root/i686" --output-on-failure -j2 --timeout 300
else
  echo "== i686: built (Corvane.dll, Basalt.dll, SDK in $root/sdk/i686); tests skipped: no 32-bit Wine on this machine"
fi
echo "== all tests passed"
