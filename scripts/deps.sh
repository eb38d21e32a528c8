#!/usr/bin/env bash
# Installs the build and test tools a fresh Debian machine lacks.
set -euo pipefail
pkgs=(cmake ninja-build pkg-config g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
      liblzma-dev zlib1g-dev libpng-dev xz-utils
      # The window tests: a virtual display, its tools, the X client and font libraries, a face.
      xvfb x11-utils x11-apps xdotool libx11-6 libxft2 fonts-dejavu-core)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
