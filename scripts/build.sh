#!/bin/sh
# Configures and builds one architecture: scripts/build.sh x86_64|i686 [cmake args...]
# The tree lands in build/ARCH, the SDK folder in build/sdk/ARCH
# (CORVANE_BUILD_ROOT replaces build/).
set -e
. "$(dirname "$0")/steps.sh"
arch="$1"; shift
top="$(cd "$(dirname "$0")/.." && pwd)"
root="${CORVANE_BUILD_ROOT:-$top/build}"
tree="$root/$arch"
step "configure the $arch build (cmake)" cmake -S "$top" -B "$tree" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$root/sdk/$arch" "$@"
run "build $arch" cmake --build "$tree" -j"$(nproc)"
step "install the $arch SDK into $root/sdk/$arch" cmake --install "$tree"
