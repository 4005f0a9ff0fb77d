#!/usr/bin/env bash
# One run in the main window, done by quillon.exe under Wine and by the Linux
# program, compared. Each starts on stored settings that name a copy of the
# same folder of tables (the samples and a table with a non-ASCII name, in a
# folder with one) and hold a find and a replace text: the Windows program
# finds them in the registry, the Linux one in Velmora.conf. Each shows its
# main window at once; the keyboard moves to "Start Replacing" and presses
# it, as a user would, answers "Done." and closes the window. Then every
# table and memo file must be the same byte for byte, and so must the change
# logs apart from the time on each line and the order of the tables (a
# folder lists its tables in the file system's order).
#
# quillon.exe is the one in the download (build-windows/quillon-*.zip,
# unpacked into a folder with a non-ASCII name); the Linux program is
# build/quillon. Called by scripts/test-windows.sh, which sets DISPLAY (a
# virtual display).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
: "${DISPLAY:?}"
. scripts/wine-env.sh
FIND=Street
REPLACE=Straße

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  [[ ${KEEP_WORK:-} ]] || rm -rf "$WORK"
}
trap cleanup EXIT

zip=$(ls -t build-windows/quillon-*-windows-x64.zip | head -n1)
mkdir "$WORK/Programme Grüße"
(cd "$WORK/Programme Grüße" && unzip -q "$ROOT/$zip")
EXE=$(ls "$WORK/Programme Grüße"/*/quillon.exe)
[[ -x build/quillon ]] || bash scripts/build.sh >/dev/null

mkdir -p "$WORK/master/Données"
cp samples/*.dbf samples/*.fpt "$WORK/master/Données/"
cp samples/customers.dbf "$WORK/master/Données/clients_café.dbf"
cp samples/customers.fpt "$WORK/master/Données/clients_café.fpt"
chmod -R u+w "$WORK/master"

# The window's id once a visible top-level window titled `title` of the
# program shows, within 60 seconds.
wait_window() {  # wait_window <pid> <title>
  local window
  for _ in $(seq 600); do
    window=$(xdotool search --onlyvisible --name "^$2\$" 2>/dev/null | tail -n1 || true)
    [[ -n $window ]] && { echo "$window"; return 0; }
    kill -0 "$1" 2>/dev/null || { echo "the program ended before its window showed" >&2; return 1; }
    sleep 0.1
  done
  echo "no window titled $2 showed" >&2
  return 1
}

# Starts the program ($@), runs the replacement in its main window and
# closes it. The main window opens with the table list focused; six Tab
# presses reach "Start Replacing" (Select All, Deselect All, the tabs, the
# find and the replace box come first).
drive() {  # drive <side> <program and arguments...>
  local side=$1
  shift
  "$@" >"$WORK/$side-out.txt" 2>&1 &
  local pid=$!
  PIDS+=("$pid")
  local main
  main=$(wait_window "$pid" Quillon) || return 1
  sleep 2  # the tables are listed and ticked
  # No window manager runs on the virtual display: the window is given the
  # keyboard directly.
  xdotool windowfocus --sync "$main"
  xdotool key --delay 150 Tab Tab Tab Tab Tab Tab space
  # "Done." comes in a message box of its own.
  local box=""
  for _ in $(seq 1200); do
    box=$(xdotool search --onlyvisible --name '^Quillon$' 2>/dev/null | grep -vx "$main" | tail -n1 || true)
    [[ -n $box ]] && break
    sleep 0.1
  done
  [[ -n $box ]] || { echo "$side: the run did not end with a message within 120 s" >&2; return 1; }
  sleep 0.5
  xdotool windowfocus --sync "$box"
  xdotool key Return
  sleep 1
  # Closing the window ends the program.
  if [[ $side == windows ]]; then
    xdotool windowfocus --sync "$main"
    xdotool key alt+F4
  else
    kill "$pid"
  fi
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return 0
}

status=0
# The Linux program.
cp -r "$WORK/master" "$WORK/linux"
mkdir -p "$WORK/linux-config" "$WORK/linux-log"
cat >"$WORK/linux-config/Velmora.conf" <<CONF
[Quillon]
FoxproOption=2
FreeTableFolder=$WORK/linux/Données
TabControl1=0
Text1=$FIND
Text2=$REPLACE
CONF
drive linux env XDG_CONFIG_HOME="$WORK/linux-config" TEMP="$WORK/linux-log" QT_QPA_PLATFORM=xcb \
  build/quillon || status=1

# The Windows program: the settings go into the registry of the prefix.
cp -r "$WORK/master" "$WORK/windows"
store_windows_settings FoxproOption=2 "FreeTableFolder=$(winpath "$WORK/windows/Données")" TabControl1=0 \
  "Text1=$FIND" "Text2=$REPLACE"
temp=$(wine_temp)
rm -f "$temp/backups.log" "$temp"/quillon-undo-*.jnl
drive windows "$WINE" "$EXE" || status=1
# What the program stores lands in the same key of the registry: the run's
# undo journal, which is in the prefix's TEMP.
journal=$("$WINE" reg query 'HKCU\Software\Velmora\Quillon' /v LastUndoJournal 2>/dev/null |
  tr -d '\r' | sed -nE 's/^ *LastUndoJournal +REG_SZ +//p')
if [[ $journal != *quillon-undo-*.jnl || ! -f $temp/${journal##*\\} ]]; then
  echo "FAILED: the registry holds no undo journal of the run under Velmora\\Quillon (\"$journal\")"
  status=1
fi
mkdir -p "$WORK/windows-log"
[[ -f $temp/backups.log ]] && mv "$temp/backups.log" "$WORK/windows-log/"

# The comparison.
while IFS= read -r -d '' f; do
  rel=${f#"$WORK/linux/"}
  if ! cmp -s "$f" "$WORK/windows/$rel"; then
    echo "DIFFERS: $rel"
    status=1
  fi
done < <(find "$WORK/linux" -type f -print0)
changed=0
for f in "$WORK/linux/Données"/*; do cmp -s "$f" "$WORK/master/Données/${f##*/}" || changed=$((changed + 1)); done
lines() { [[ -f $1 ]] && sed -E 's/^\[[^]]*\]//; s/\r$//' "$1" | sort; }
if ! diff <(lines "$WORK/linux-log/backups.log") <(lines "$WORK/windows-log/backups.log") >"$WORK/log.diff"; then
  echo "DIFFERS: the change logs"
  head -20 "$WORK/log.diff"
  status=1
fi
logged=$(lines "$WORK/linux-log/backups.log" | grep -c . || true)
if ((changed == 0 || logged == 0)); then
  echo "FAILED: the run changed nothing ($changed files, $logged change-log lines)"
  status=1
fi
if ((status == 0)); then
  echo "ok: the run in quillon.exe's main window changed $changed table and memo files as the Linux program did, byte for byte; $logged change-log lines the same"
else
  echo "Windows program's output:"; cat "$WORK/windows-out.txt" 2>/dev/null | head -20
  echo "Linux program's output:"; cat "$WORK/linux-out.txt" 2>/dev/null | head -20
fi
exit $status
