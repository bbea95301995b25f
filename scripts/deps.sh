#!/bin/sh
# Installs what a fresh Debian 12 machine lacks to build and test Corvane.
set -e
packages="cmake ninja-build g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 libboost-dev googletest socat gcc"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
