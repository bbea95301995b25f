#!/bin/sh
# Configures and builds one architecture: scripts/build.sh x86_64|i686 [cmake args...]
# The tree lands in build/ARCH, the SDK folder in build/sdk/ARCH
# (CORVANE_BUILD_ROOT replaces build/).
set -e
arch="$1"; shift
top="$(cd "$(dirname "$0")/.." && pwd)"
root="${CORVANE_BUILD_ROOT:-$top/build}"
tree="$root/$arch"
cmake -S "$top" -B "$tree" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$root/sdk/$arch" "$@" >/dev/null
cmake --build "$tree" -j"$(nproc)"
cmake --install "$tree" >/dev/null
