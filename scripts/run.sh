#!/bin/sh
# The main job: installs what is missing, builds the x86_64 SDK and runs the
# command-line companion, corvane.exe, under Wine on what the SDK offers so far.
set -e
top="$(cd "$(dirname "$0")/.." && pwd)"
. "$top/scripts/steps.sh"
root="${CORVANE_BUILD_ROOT:-$top/build}"
run "install what is missing" "$top/scripts/deps.sh"
step "build and install the x86_64 SDK" "$top/scripts/build.sh" x86_64
tree="$root/x86_64"
corvane() {
  echo
  printf '$ corvane'; printf " '%s'" "$@"; echo
  "$tree/wine-run" "$tree/bin/corvane.exe" "$@"
}

# A serial port's settings as a client receives them, in their one-line text form.
corvane props 'Id="Baud",vt=VT_UI4,Flags=0,PL=0,Value=9600,Options={4800,"",0}|{9600,"",0}|{19200,"",0}|{115200,"fast",0};Id="Parity",vt=VT_UI1,Flags=0,PL=0,Value=0,Options={0,"None",0}|{1,"Odd",0}|{2,"Even",0};Id="ReadTimeout",vt=VT_I4,Flags=0,PL=1,Value=500,Min=0,Max=60000;Id="Port",AP=read-only,vt=VT_BSTR,Flags=0,PL=0,Value="\\.\COM3";Id="DTR",vt=VT_BOOL,Flags=1,PL=0,Value=True;'
# Bad input gets a clear error and a non-zero exit status.
corvane props 'Id="Baud",vt=VT_U4,Value=9600;' || echo "(exit status $?)"

# A receiver simulated on the loopback address: corvane-sim plays the device's
# login dialogue and echoes what it receives; its log goes to sim.log.
log="$tree/sim.log"
start_sim() {
  rm -f "$log"
  "$tree/wine-run" "$tree/bin/corvane-sim.exe" --once "$@" >"$log" 2>&1 &
  sim=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | tr -d '\r')
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "corvane-sim did not start"; cat "$log"; exit 1
}

start_sim --password secret
# A terminal session: two lines typed, each echoed back by the receiver.
(sleep 2; printf 'hello receiver\r\n'; sleep 1; printf 'second line\r\n'; sleep 2) |
  corvane open tcp "127.0.0.1:$port" --password secret
wait $sim || true
echo "--- what the simulated receiver saw:"
cat "$log"

start_sim --password secret
(sleep 1) | corvane open tcp "127.0.0.1:$port" --password wrong || echo "(exit status $?)"
wait $sim || true

# A Bluetooth Smart device simulated behind the stand-in BluetoothApis.dll
# beside corvane.exe: its device nodes are registered with SetupAPI, the
# locator finds it, its GATT services are read, and a terminal session runs
# over the reliable link protocol (the simulated device echoes).
step "register the simulated Bluetooth Smart device" "$tree/wine-run" "$tree/bin/blesim.exe" register
corvane list ble
corvane services 00:11:22:33:44:55
corvane read 00:11:22:33:44:55 '{00001800-0000-1000-8000-00805F9B34FB}'
(sleep 2; printf 'hello over the air\r\n'; sleep 2) | corvane open ble 00:11:22:33:44:55

# A USB instrument played by UsbSim.dll beside corvane.exe, which stands in
# for the maker's USB driver behind the kernel's file functions: its device
# node is registered with SetupAPI, the locator lists it, and a terminal
# session runs over its two bulk pipes (the simulated instrument echoes).
"$tree/wine-run" "$tree/bin/usbsim.exe" register
corvane list usb
(sleep 1; printf 'hello over usb\r\n'; sleep 1) | corvane open usb CV10000001A

# The machine's COM ports as the serial locator sees them.
corvane list serial

# Classic Bluetooth over the simulated Microsoft stack (the stand-in
# Bthprops.cpl beside corvane.exe, whose default world is described in
# sim/bluetooth-classic/README.md): the radio, a search and the cache it
# leaves, a pairing by PIN, terminal sessions with an echoing device and with
# one that streams lines, and a published service that a simulated device dials.
corvane radio
corvane list bluetooth
corvane list bluetooth --cache --class 2
corvane pair 00:80:25:00:00:03 1234
(sleep 1; printf 'hello over RFCOMM\r\n'; sleep 1) | corvane open bluetooth 00:80:25:00:00:01
(sleep 1) | corvane open bluetooth 00:80:25:00:00:03 --pin 1234
(sleep 1) | corvane open bluetooth 00:80:25:00:00:02 --linger 0 | head -n 5 || true
corvane serve "Corvane Demo" --for 2

# Classic Bluetooth through the Toshiba stack, played by the TosBtApi.dll
# beside corvane.exe: the locator lists the simulated world's devices, and a
# terminal session runs through one of the stack's virtual COM ports (COM23,
# joined by the simulator's cable to the echoing device on COM43). The
# library makes Toshiba ports through its default choice when the Microsoft
# stack has no radio: BTHSIM_NO_RADIO=1 takes the simulated Microsoft radio away.
corvane list bluetooth --driver toshiba
echo
echo "\$ corvane open bluetooth 00:80:25:00:00:01 --driver toshiba"
(sleep 2; printf 'hello through the Toshiba stack\r\n'; sleep 2) |
  BTHSIM_NO_RADIO=1 TOSBTSIM_PORTS=23:43 sh "$top/sim/nullmodem/with-rig.sh" "$tree/nullmodem" "$tree/wineprefix" COM23 COM43 \
    "$tree/wine-run" "$tree/bin/corvane.exe" open bluetooth 00:80:25:00:00:01 --driver toshiba
