#!/bin/sh
# Makes the Wine prefix given as $1 once: a new prefix takes several seconds,
# so it is created on first use and kept for the life of the build tree.
# Hidden windows need the null graphics driver when there is no display.
set -e
. "$(dirname "$0")/steps.sh"
prefix="$1"
[ -f "$prefix/.corvane-ready" ] && exit 0
mkdir -p "$prefix"
lock="$prefix.lock"
# Several test programs may start at once: one of them makes the prefix.
exec 9>"$lock"
flock 9
[ -f "$prefix/.corvane-ready" ] && exit 0
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
step "create the Wine prefix $prefix (wineboot)" wineboot --init
step "select Wine's null graphics driver" wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
step "wait for the Wine prefix to settle" wineserver -w
touch "$prefix/.corvane-ready"
