#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Quillon need,
# and any further packages named as arguments, skipping the network entirely
# when they are all present already.
set -euo pipefail
packages=(cmake g++ ninja-build qt6-base-dev libgl-dev libgtest-dev libgmock-dev
          python3-dbf python3-dbfread libdbd-xbase-perl xvfb xauth
          clang clang-format "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
