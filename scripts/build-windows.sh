#!/usr/bin/env bash
# Cross-builds Quillon for 64-bit Windows with MinGW-w64 into build-windows/:
# quillon.exe (the program with its windows), quillon-replace.exe (the batch
# command) and the test programs, each one static executable that needs
# nothing but Windows' own DLLs. The windows are built against the static Qt
# that scripts/build-qt-windows.sh makes once and caches outside the
# checkout (11-25 minutes the first time). Installs MinGW-w64 and the
# GoogleTest sources when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

need=()
for p in g++-mingw-w64-x86-64-posix googletest ninja-build cmake; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

QT=$(bash scripts/build-qt-windows.sh | tail -n1)
# Qt's own toolchain file puts its folder on the cross build's search path
# and loads the project's toolchain file first.
toolchain=$QT/lib/cmake/Qt6/qt.toolchain.cmake
cache=build-windows/CMakeCache.txt
if [[ -f $cache ]] && ! grep -q "^CMAKE_TOOLCHAIN_FILE:[A-Z]*=$toolchain\$" "$cache"; then
  # Configured before with another toolchain or another Qt: CMake keeps the
  # first toolchain of a build folder, so the folder is configured anew.
  rm -rf "$cache" build-windows/CMakeFiles
fi
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQUILLON_WINDOWS=ON -DQUILLON_WERROR=ON >/dev/null
cmake --build build-windows -j"$(nproc)"
