#!/bin/sh
# Runs every benchmark of the x86_64 build and prints their figures as one
# table: each transport's port beside the best bare loop on the same
# transport, measured in the same run. Builds what is missing first (as the
# main job does); the serial and Toshiba benchmarks get null-modem cables of
# their own (their run targets lay them), the others the simulators built beside them.
#   scripts/bench.sh                 every benchmark
#   scripts/bench.sh tcp usb         only these (folder names under bench/)
# Each benchmark's own report goes to build/bench/NAME.txt; a benchmark that
# fails or does not end within CORVANE_BENCH_LIMIT seconds (default 600) gets
# a row that says so, and the others still run.
set -e
top="$(cd "$(dirname "$0")/.." && pwd)"
. "$top/scripts/steps.sh"
root="${CORVANE_BUILD_ROOT:-$top/build}"
tree="$root/x86_64"
limit="${CORVANE_BENCH_LIMIT:-600}"
out="$root/bench"

if [ ! -x "$tree/wine-run" ] || ! command -v wine >/dev/null 2>&1; then
  run "install what is missing" "$top/scripts/deps.sh"
fi
run "build x86_64" "$top/scripts/build.sh" x86_64
need wine wineserver timeout

names="$*"
[ -n "$names" ] || names="$(cd "$top/bench" && for d in */; do [ -f "$d/CMakeLists.txt" ] && echo "${d%/}"; done)"
mkdir -p "$out"

export WINEPREFIX="$tree/wineprefix" WINEDEBUG=-all
run "prepare the Wine prefix" "$top/scripts/wine-prefix.sh" "$WINEPREFIX"
# One server for the whole run, started without our output attached (see
# scripts/test.sh).
wineserver -k 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT

rows="$out/rows.txt"
: >"$rows"
for name in $names; do
  report="$out/$name.txt"
  echo "== bench $name (report: $report)" >&2
  if [ "$name" = serial ] || [ "$name" = toshiba_bluetooth ]; then
    # These two need the null-modem cable, which their run targets lay.
    set -- cmake --build "$tree" --target "run_bench_$name"
  else
    set -- "$tree/wine-run" "$tree/bin/bench_$name.exe"
  fi
  status=0
  timeout -k 10 "$limit" "$@" </dev/null >"$report" 2>&1 || status=$?
  grep '^table: ' "$report" | sed 's/^table: //' >>"$rows" || true
  if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    echo "| $name | did not end within $limit s | | | |" >>"$rows"
  elif [ "$status" != 0 ]; then
    echo "| $name | failed with status $status (see $report) | | | |" >>"$rows"
  fi
done

echo
echo "| transport | measure | port | bare | ratio |"
echo "|---|---|---|---|---|"
cat "$rows"
echo
echo "ratio: port / bare for throughput, bare / port for latency (higher is better);"
echo "each benchmark's full report is in $out."
