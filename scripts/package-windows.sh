#!/usr/bin/env bash
# Makes the Windows download, build-windows/quillon-<version>-windows-x64.zip:
# both programs (stripped), the sample tables in Samples, a README for
# Windows users, the licence texts, and what the LGPL asks of a program
# linked with a static Qt: Quillon's own object code and the link command,
# so that anyone can link quillon.exe again against a Qt they changed.
# Cross-builds first (scripts/build-windows.sh) when the build is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
B=build-windows

[[ -f $B/quillon.exe && -f $B/quillon-replace.exe ]] || bash scripts/build-windows.sh
command -v zip >/dev/null || {
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends zip >/dev/null
}
QT=$(bash scripts/build-qt-windows.sh | tail -n1)
version=$(sed -nE 's/^project\(Quillon VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
name=quillon-$version-windows-x64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dir=$stage/$name
mkdir -p "$dir/Samples" "$dir/LICENSES" "$dir/relink"

for exe in quillon.exe quillon-replace.exe; do
  x86_64-w64-mingw32-strip -o "$dir/$exe" "$B/$exe"
done
# The samples as made, not the copy beside the build that runs change.
cp samples/*.dbf samples/*.fpt "$dir/Samples/"

# Text files for Windows: CR LF line ends.
crlf() { sed 's/$/\r/' "$1" >"$2"; }
crlf packaging/windows/README.txt "$dir/README.txt"
crlf "$QT/licenses/LICENSES/LGPL-3.0-only.txt" "$dir/LICENSES/Qt-LGPL-3.0.txt"
crlf "$QT/licenses/LICENSES/GPL-3.0-only.txt" "$dir/LICENSES/Qt-GPL-3.0.txt"
crlf "$QT/licenses/debian-copyright" "$dir/LICENSES/Qt-and-its-third-party-code.txt"
crlf /usr/share/doc/gcc-mingw-w64-base/copyright "$dir/LICENSES/GCC-runtime.txt"
crlf /usr/share/doc/mingw-w64-common/copyright "$dir/LICENSES/MinGW-w64-runtime.txt"

# The relinking kit: every file of the build that the link of quillon.exe
# reads, under the same relative path, and the link command with the Qt
# folder left to the one who links.
link=$(ninja -C "$B" -t commands quillon.exe | tail -n1)
link=${link#cd "$ROOT/$B" && }
link=${link#: && }
link=${link% && :}
link=${link/\/usr\/bin\/x86_64-w64-mingw32-g++-posix /x86_64-w64-mingw32-g++-posix }
[[ $link == *" -o quillon.exe "* ]] || { echo "Unexpected link command: $link" >&2; exit 1; }
for word in $link; do
  if [[ $word == *.a || $word == *.obj || $word == *.o || $word == *.res ]] && [[ $word != /* && -f $B/$word ]]; then
    mkdir -p "$dir/relink/$(dirname "$word")"
    cp "$B/$word" "$dir/relink/$word"
  fi
done
{
  printf '#!/bin/sh\n'
  printf '# Links quillon.exe again from the object code beside this file against the\n'
  printf '# static Qt whose install folder is $QT (see README-relink.txt).\n'
  printf 'set -e\ncd "$(dirname "$0")"\n: "${QT:?set QT to the install folder of your Qt}"\n'
  printf '%s\n' "${link//$QT/\$QT}"
} >"$dir/relink/relink.sh"
# The kit must link: a kit that misses a file is no kit.
(cd "$stage" && cp -r "$name/relink" relink-check && QT=$QT sh relink-check/relink.sh) ||
  { echo "The relinking kit does not link." >&2; exit 1; }
[[ -f $stage/relink-check/quillon.exe ]] || { echo "The relinking kit made no quillon.exe." >&2; exit 1; }
rm -rf "$stage/relink-check"
crlf packaging/windows/README-relink.txt "$dir/relink/README-relink.txt"
sed -n '/^CONFIGURE=(/,/)$/p' scripts/build-qt-windows.sh >"$dir/relink/qt-configure.txt"
cp "$QT/.key" "$dir/relink/qt-build.txt"

rm -f "$B/$name.zip"
(cd "$stage" && zip -qr9 "$ROOT/$B/$name.zip" "$name")
echo "$B/$name.zip ($(du -h "$B/$name.zip" | cut -f1))"
