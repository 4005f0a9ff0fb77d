#!/usr/bin/env bash
# Cross-builds a static Qt 6 for 64-bit Windows from Debian's own qt6-base
# source with MinGW-w64, against the host's Qt tools (moc, rcc, uic), and
# installs it into a cache folder outside the checkout, which it prints on
# its last line. A second call finds the cache and builds nothing.
#
# The cache is keyed by everything the result depends on: the qt6-base source
# version and the host tools' version, the configure line, the MinGW compiler
# and headers versions, and the toolchain file. Its root is $QUILLON_QT_CACHE,
# else ~/.cache/quillon.
#
# The first build: about 1,000 objects, 11 minutes on a quiet 2-core machine,
# about 25 under load; the installed Qt is about 100 MB.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
TOOLCHAIN=$ROOT/cmake/mingw-w64.cmake

export DEBIAN_FRONTEND=noninteractive
SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
need=()
for p in g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev qt6-base-dev qt6-base-dev-tools \
         cmake ninja-build dpkg-dev xz-utils; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  echo "Installing: ${need[*]}" >&2
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Tablet events need src/3rdparty/wintab, which Debian's source leaves out.
# direct2d stays on: it also gates the DirectWrite font database, without
# which the windows platform plugin does not link. No offscreen platform is
# built (it needs freetype), so the window tests need a display.
CONFIGURE=(-xplatform win32-g++ -qt-host-path /usr -static -release
  -nomake examples -nomake tests -no-pkg-config -no-icu -no-dbus -no-opengl
  -no-freetype -no-libjpeg -qt-zlib -qt-libpng -qt-pcre -qt-harfbuzz
  -no-feature-network -no-feature-sql -no-feature-xml -no-feature-printsupport
  -no-feature-concurrent -no-feature-vulkan -no-feature-tabletevent
  -no-feature-zstd)
# After "--", for CMake: Debian keeps the host Qt's CMake packages under the
# multiarch folder, where the cross build does not look for them by itself.
CMAKE_ARGS=(-G Ninja -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake")

host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
version() { dpkg-query -W -f='${Version}' "$1"; }
key_text=$(printf '%s\n' \
  "qt6-base $host_version" \
  "host tools $(version qt6-base-dev-tools) $(version qt6-base-dev)" \
  "configure ${CONFIGURE[*]} -- ${CMAKE_ARGS[*]}" \
  "compiler $(version g++-mingw-w64-x86-64-posix) $(x86_64-w64-mingw32-g++-posix -dumpfullversion)" \
  "headers $(version mingw-w64-x86-64-dev)" \
  "toolchain $(sha256sum <"$TOOLCHAIN" | cut -c1-64)")
key=$(sha256sum <<<"$key_text" | cut -c1-16)
CACHE=${QUILLON_QT_CACHE:-$HOME/.cache/quillon}
PREFIX=$CACHE/qt-windows-$key
if [[ -f $PREFIX/.complete ]]; then
  echo "$PREFIX"
  exit 0
fi

# The source of the very version whose tools the host runs, so that moc's
# output and the libraries agree. apt-get source needs a deb-src line for the
# archive the host's packages come from: one is added when none is there.
if ! apt-get source --print-uris "qt6-base=$host_version" >/dev/null 2>&1; then
  list=/etc/apt/sources.list.d/quillon-deb-src.sources
  uris=$(grep -rhs -m1 '^URIs: .*debian/*$' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | head -1)
  [[ -n $uris ]] || uris=$(grep -hs -m1 -E '^deb .*/debian/? ' /etc/apt/sources.list | awk '{print $2}')
  [[ -n $uris ]] || { echo "No Debian archive found in the apt sources for its deb-src line." >&2; exit 1; }
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "Adding $list (deb-src $uris $codename)" >&2
  printf 'Types: deb-src\nURIs: %s\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$uris" "$codename" "$codename" | $SUDO tee "$list" >/dev/null
  $SUDO apt-get update -qq
fi

mkdir -p "$CACHE"
WORK=$(mktemp -d "$CACHE/qt-build.XXXXXX")
trap '[[ ${KEEP_QT_BUILD:-} ]] || rm -rf "$WORK"' EXIT
echo "Building Qt for Windows in $WORK (the first time only; 11-25 minutes)" >&2
start=$SECONDS
(cd "$WORK" && apt-get source -qq "qt6-base=$host_version" >/dev/null)
src=$(find "$WORK" -maxdepth 1 -type d -name 'qt6-base-*' | head -1)
mkdir "$WORK/build"
cd "$WORK/build"
"$src/configure" -prefix "$PREFIX.tmp" "${CONFIGURE[@]}" -- "${CMAKE_ARGS[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" >"$WORK/configure.log" 2>&1 ||
  { tail -40 "$WORK/configure.log" >&2; exit 1; }
ninja -j"$(nproc)" >"$WORK/build.log" 2>&1 || { tail -40 "$WORK/build.log" >&2; exit 1; }
rm -rf "$PREFIX.tmp"
ninja install >"$WORK/install.log" 2>&1 || { tail -40 "$WORK/install.log" >&2; exit 1; }
# The licence texts of Qt and of what it carries, for the download.
mkdir -p "$PREFIX.tmp/licenses"
cp -r "$src/LICENSES" "$PREFIX.tmp/licenses/"
cp "$src/debian/copyright" "$PREFIX.tmp/licenses/debian-copyright"
printf '%s\n' "$key_text" >"$PREFIX.tmp/.key"
touch "$PREFIX.tmp/.complete"
rm -rf "$PREFIX"
mv "$PREFIX.tmp" "$PREFIX"
echo "Qt for Windows built in $((SECONDS - start)) s: $PREFIX ($(du -sh "$PREFIX" | cut -f1))" >&2
echo "$PREFIX"
