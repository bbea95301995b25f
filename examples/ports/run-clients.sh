#!/bin/sh
# Runs the port clients against the simulators, each from a folder of its own
# that holds it, the DLLs of the SDK's bin/ and the simulator it talks to:
#
#   run-clients.sh SDK CLIENTS TREE
#
# SDK is the installed SDK folder, CLIENTS the clients' build folder, TREE the
# x86_64 build tree (its wine-run asks for the simulators beside a program,
# its nullmodem/ holds the serial cable). Stops at the first client that fails.
set -e
sdk="$1" clients="$2" tree="$3"
top="$(cd "$(dirname "$0")/../.." && pwd)"
# Lays CLIENT's folder with the SDK's DLLs and FILES of the SDK beside it.
lay() {
  dir="$clients/run/$1"; name="$1"; shift
  rm -rf "$dir"; mkdir -p "$dir"
  cp "$clients/$name.exe" "$sdk"/bin/*.dll "$dir/"
  for file in "$@"; do cp "$sdk/$file" "$dir/"; done
}
client() {
  echo "-- $*"
  timeout 120 "$tree/wine-run" "$@" || { echo "FAILED: $* (exit status $?)" >&2; exit 1; }
}
# A client that cannot do its job says so and exits with status 1.
refused() {
  echo "-- $* (refused)"
  status=0
  out="$(timeout 120 "$tree/wine-run" "$@" 2>&1)" || status=$?
  echo "$out"
  if [ $status -ne 1 ] || ! echo "$out" | grep -q '^FAILED: '; then
    echo "FAILED: $* should have said FAILED and exited 1, exited $status" >&2; exit 1
  fi
}
start_sim() {
  rm -f "$log"
  "$tree/wine-run" "$sdk/bin/corvane-sim.exe" --once "$@" >"$log" 2>&1 &
  sim=$!
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | tr -d '\r')
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "FAILED: corvane-sim did not start" >&2; cat "$log" >&2; exit 1
}

log="$clients/run/sim.log"
lay tcp
start_sim --password secret
client "$clients/run/tcp/tcp.exe" 127.0.0.1 "$port" secret
wait $sim || true
start_sim --password secret
refused "$clients/run/tcp/tcp.exe" 127.0.0.1 "$port" wrong
wait $sim || true

lay serial
echo "-- serial COM26 COM46, over a null-modem cable"
sh "$top/sim/nullmodem/with-rig.sh" "$tree/nullmodem" "$tree/wineprefix" COM26 COM46 \
  timeout 60 "$tree/wine-run" "$clients/run/serial/serial.exe" COM26 COM46 ||
  { echo "FAILED: serial (exit status $?)" >&2; exit 1; }

refused "$clients/run/serial/serial.exe" COM98 COM99

lay usb sim/usb/UsbSim.dll sim/usb/usbsim.exe
client "$clients/run/usb/usbsim.exe" register
client "$clients/run/usb/usb.exe" CV10000001A

lay bluetooth sim/bluetooth-classic/Bthprops.cpl
client "$clients/run/bluetooth/bluetooth.exe" 00:80:25:00:00:01
lay locator sim/bluetooth-classic/Bthprops.cpl
client "$clients/run/locator/locator.exe"

lay ble sim/bluetooth-smart/BluetoothApis.dll sim/bluetooth-smart/blesim.exe
client "$clients/run/ble/blesim.exe" register
client "$clients/run/ble/ble.exe" 00:11:22:33:44:55
