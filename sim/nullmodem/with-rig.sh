#!/bin/sh
# Runs a command with a null-modem cable between two COM ports of a Wine prefix:
#
#   with-rig.sh RIGDIR PREFIX PORT PEER COMMAND [ARGS...]
#
# RIGDIR holds the native rig (libmodemlines.so and nullmodem, built by the
# Makefile beside this script); PORT and PEER are the two ports' names (COM5
# COM6). The command sees CORVANE_RIG_PORT, CORVANE_RIG_PEER and
# CORVANE_RIG_STATE (the cable's line state, linestate.h), and runs with the
# modem-line library preloaded, so that Wine can read and drive the lines.
# The cable goes when the command ends.
set -e
rig="$1" prefix="$2" port="$3" peer="$4"
shift 4
top="$(cd "$(dirname "$0")/../.." && pwd)"
lower() { echo "$1" | tr 'A-Z' 'a-z'; }

# In the source tree the prefix is made on first use; elsewhere it must exist.
if [ -x "$top/scripts/wine-prefix.sh" ]; then "$top/scripts/wine-prefix.sh" "$prefix"; fi
state="$rig/cable-$(lower "$port").state"
# One cable on these ports at a time: a test and a benchmark may overlap.
exec 8>"$state.lock"
flock 8

log="$rig/cable-$(lower "$port").log"
: >"$log"
"$rig/nullmodem" "$state" "$prefix/dosdevices/$(lower "$port")" "$prefix/dosdevices/$(lower "$peer")" >"$log" 2>&1 &
bridge=$!
trap 'kill $bridge 2>/dev/null; wait $bridge 2>/dev/null || true' EXIT INT TERM
tries=0
until grep -q '^ready' "$log"; do
  if ! kill -0 $bridge 2>/dev/null || [ $tries -ge 100 ]; then
    echo "with-rig.sh: the null-modem bridge did not start:" >&2
    cat "$log" >&2
    exit 1
  fi
  tries=$((tries + 1))
  sleep 0.05
done

export LD_PRELOAD="$rig/libmodemlines.so${LD_PRELOAD:+:$LD_PRELOAD}"
# A crashing program ends instead of waiting in Wine's debugger until the
# test's time-out.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedbg.exe=d"
export CORVANE_RIG_STATE="$state" CORVANE_RIG_PORT="$port" CORVANE_RIG_PEER="$peer"
set +e
"$@"
status=$?
exit $status
