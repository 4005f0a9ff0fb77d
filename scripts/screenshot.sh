#!/usr/bin/env bash
# Takes the README's screenshots of the main window: starts the built program
# under a virtual X server with scratch settings that point at a copy of the
# sample tables and hold a find and a replace text, and saves the window as
# docs/main-window.png; then, when the Windows build is there
# (scripts/test-windows.sh makes it), does the same with quillon.exe under
# Wine, its settings in the registry of the Wine prefix, and saves
# docs/main-window-wine.png. Builds the program first, and installs what it
# needs besides: imagemagick (import), x11-utils (xwininfo) and xdotool.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh imagemagick x11-utils xdotool
bash scripts/build.sh
root=$(pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r samples "$scratch/Samples"
mkdir -p "$scratch/config" docs
cat > "$scratch/config/Velmora.conf" <<CONF
[Quillon]
FoxproOption=2
FreeTableFolder=$scratch/Samples
TabControl1=0
Text1=Old Market Street
Text2=Market Square
CONF
XDG_CONFIG_HOME="$scratch/config" xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  "$1/build/quillon" &
  program=$!
  sleep 3
  window=$(xwininfo -root -tree | awk "/\"Quillon\"/ { print \$1; exit }")
  import -window "$window" "$1/docs/main-window.png"
  kill $program' sh "$root"
echo "docs/main-window.png written"

[[ -f build-windows/quillon.exe ]] || exit 0
bash scripts/deps.sh wine64 fonts-wine
cp -r samples "$scratch/Samples under Wine"
chmod -R u+w "$scratch"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -e
  ROOT=$1
  cd "$ROOT"
  . scripts/wine-env.sh
  store_windows_settings FoxproOption=2 "FreeTableFolder=$(winpath "$2/Samples under Wine")" TabControl1=0 \
    "Text1=Old Market Street" "Text2=Market Square"
  "$WINE" build-windows/quillon.exe &
  program=$!
  for _ in $(seq 300); do
    window=$(xdotool search --onlyvisible --name "^Quillon\$" | tail -n1)
    [[ -n $window ]] && break
    sleep 0.1
  done
  sleep 3
  import -window "$window" docs/main-window-wine.png
  kill $program
  /usr/lib/wine/wineserver -k' bash "$root" "$scratch"
echo "docs/main-window-wine.png written"
