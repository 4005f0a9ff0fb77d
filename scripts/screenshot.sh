#!/usr/bin/env bash
# Takes the README's screenshot of the main window: starts the built program
# under a virtual X server with scratch settings that point at a copy of the
# sample tables and hold a find and a replace text, and saves the window as
# docs/main-window.png. Builds the program first, and installs what it needs
# besides: imagemagick (import) and x11-utils (xwininfo).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh imagemagick x11-utils
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
