#!/bin/sh
# Installs what a fresh Debian 12 machine lacks to build and test Corvane.
# wine64 is the 64-bit loader; the commands wine, wineboot, wineserver and
# winepath come with the package wine.
set -e
. "$(dirname "$0")/steps.sh"
packages="cmake ninja-build g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 libboost-dev googletest gcc make"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    need sudo
    SUDO=sudo
  fi
  step "apt-get update" $SUDO apt-get update -qq
  step "apt-get install$missing" env DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
need cmake ninja x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix wine wineboot wineserver winepath gcc make
