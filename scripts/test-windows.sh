#!/usr/bin/env bash
# Cross-builds Quillon for 64-bit Windows with MinGW-w64 into build-windows/
# (scripts/build-windows.sh: quillon.exe, quillon-replace.exe and the test
# programs; the first time also the static Qt they link, 11-25 minutes),
# then, under Wine with a virtual display (Xvfb):
#  - runs the test programs: the table library, the engine and the batch
#    command, then the shell, the set and the window tests, each within a
#    time limit;
#  - has quillon-replace.exe and the Linux build (build/quillon-replace,
#    made by scripts/build.sh) do the same jobs on copies of the same tables
#    and compares every byte they wrote;
#  - makes the download (scripts/package-windows.sh), starts its quillon.exe
#    and the Linux program on the same stored settings, runs a replacement
#    in each main window and compares the tables and the change logs
#    (scripts/windows-window-run.sh).
# QUILLON_WINE_TESTS="test_data" runs only those test programs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

need=()
for p in wine64 fonts-wine xvfb xdotool zip unzip; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

start=$SECONDS
bash scripts/build-windows.sh
echo "Windows build: $((SECONDS - start)) s"

WORK=$(mktemp -d)
XVFB=""
cleanup() {
  # This prefix's Wine processes end with the run; so does the display.
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  [[ -z $XVFB ]] || kill "$XVFB" 2>/dev/null || true
  [[ ${KEEP_WORK:-} ]] || rm -rf "$WORK"
}
trap cleanup EXIT

# One virtual display for every Windows program of this run: Wine's desktop
# process keeps the display it started on.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$WORK/display" >/dev/null 2>&1 &
XVFB=$!
for _ in $(seq 100); do [[ -s $WORK/display ]] && break; sleep 0.1; done
[[ -s $WORK/display ]] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n1 "$WORK/display")

. scripts/wine-env.sh

status=0
# A window test that waits for a window that never comes must not hang the
# run: each program has five minutes (the longest, test_ui, takes about 80 s).
# Wine's notes on the Linux root it cannot name are left out.
for t in ${QUILLON_WINE_TESTS-test_data test_access test_engine test_cli test_shell test_sets test_ui}; do
  echo "== $t.exe under Wine"
  t0=$SECONDS
  if ! timeout -k 10 300 "$WINE" "build-windows/tests/$t.exe" --gtest_brief=1 \
      2> >(grep -v 'FS volume label and serial are not available' >&2); then
    echo "FAILED: $t.exe under Wine"
    status=1
  fi
  echo "$t.exe: $((SECONDS - t0)) s"
done

echo "== quillon-replace.exe under Wine against the Linux build"
LINUX=build/quillon-replace
[[ -x $LINUX ]] || bash scripts/build.sh >/dev/null
# One set of tables: the samples, a table and a folder with non-ASCII names,
# and a database container whose tables carry structural indexes.
mkdir -p "$WORK/master/Données" "$WORK/master/dbc"
cp samples/*.dbf samples/*.fpt "$WORK/master/Données/"
cp samples/customers.dbf "$WORK/master/Données/clients_café.dbf"
cp samples/customers.fpt "$WORK/master/Données/clients_café.fpt"
cp tests/fixtures/ruby-dbf/foxprodb/* "$WORK/master/dbc/"
chmod -R u+w "$WORK/master"
printf 'a::å\r\nStreet::Straße\r\nå::ä\r\n' > "$WORK/master/sets.txt"

run_job() {  # run_job <linux|windows> <folder> <args...>
  local side=$1 dir=$2
  shift 2
  mkdir -p "$dir/log"
  if [[ $side == linux ]]; then
    (cd "$dir" && TEMP="$dir/log" "$ROOT/$LINUX" "$@" >>"$dir/log/out.txt" 2>&1) || echo "exit $?" >>"$dir/log/out.txt"
  else
    # The change log is taken from the prefix's TEMP.
    local temp
    temp=$(wine_temp)
    [[ -f $dir/log/backups.log ]] && cp "$dir/log/backups.log" "$temp/backups.log" || rm -f "$temp/backups.log"
    (cd "$dir" && "$WINE" "$ROOT/build-windows/quillon-replace.exe" "$@" >>"$dir/log/out.txt" 2>&1) ||
      echo "exit $?" >>"$dir/log/out.txt"
    if [[ -f $temp/backups.log ]]; then mv "$temp/backups.log" "$dir/log/backups.log"; fi
  fi
}

for side in linux windows; do
  rm -rf "${WORK:?}/$side"
  cp -r "$WORK/master" "$WORK/$side"
  d="$WORK/$side"
  # Table by table: a folder's tables come in the order its file system
  # lists them, which is not the same on Linux and under Wine.
  for t in clients_café customers orders products; do
    run_job $side "$d" --folder Données --table $t --find Street --replace Straße --no-undo-journal
    run_job $side "$d" --folder Données --table $t --sets sets.txt --no-undo-journal
  done
  run_job $side "$d" --dbc dbc/FOXPRO-DB-TEST.DBC --find e --replace é --no-undo-journal
  run_job $side "$d" --dbc dbc/FOXPRO-DB-TEST.DBC --find 1 --replace 2 --no-undo-journal
done

compare=0
while IFS= read -r -d '' f; do
  rel=${f#"$WORK/linux/"}
  [[ $rel == log/* ]] && continue
  if ! cmp -s "$f" "$WORK/windows/$rel"; then
    echo "DIFFERS: $rel"
    compare=1
  fi
done < <(find "$WORK/linux" -type f -print0)
# The change logs: the same lines apart from the time each was written.
strip_time() { sed -E 's/^\[[^]]*\]//' "$1"; }
if ! diff <(strip_time "$WORK/linux/log/backups.log") <(strip_time "$WORK/windows/log/backups.log") >/dev/null; then
  echo "DIFFERS: the change logs"
  diff <(strip_time "$WORK/linux/log/backups.log") <(strip_time "$WORK/windows/log/backups.log") | head -20
  compare=1
fi
if ! diff <(tr -d '\r' <"$WORK/linux/log/out.txt") <(tr -d '\r' <"$WORK/windows/log/out.txt") >/dev/null; then
  echo "DIFFERS: what the two printed"
  diff <(tr -d '\r' <"$WORK/linux/log/out.txt") <(tr -d '\r' <"$WORK/windows/log/out.txt") | head -20
  compare=1
fi
changed=$(grep -c . "$WORK/linux/log/backups.log" || true)
tables=$(find "$WORK/linux" -type f \( -iname '*.dbf' -o -iname '*.fpt' -o -iname '*.cdx' \) | wc -l)
if ((changed == 0)); then
  echo "FAILED: the jobs changed nothing"
  compare=1
fi
if ((compare == 0)); then
  echo "ok: $tables table, memo and index files byte for byte the same, $changed change-log lines the same"
else
  status=1
fi

echo "== the download"
bash scripts/package-windows.sh

echo "== quillon.exe from the download under Wine against the Linux program"
t0=$SECONDS
if ! bash scripts/windows-window-run.sh; then
  echo "FAILED: quillon.exe against the Linux program"
  status=1
fi
echo "quillon.exe against the Linux program: $((SECONDS - t0)) s"
echo "Windows build, tests, comparisons and download: ${SECONDS} s"
exit $status
