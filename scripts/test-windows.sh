#!/usr/bin/env bash
# Cross-builds the table library, the batch command and their tests for
# 64-bit Windows with MinGW-w64 into build-windows/ (leaving
# build-windows/quillon-replace.exe, one static executable), runs the tests
# under Wine, then has quillon-replace.exe under Wine and the Linux build
# (build/quillon-replace, made by scripts/build.sh) do the same jobs on copies
# of the same tables and compares every byte they wrote.
# QUILLON_WINE_TESTS="test_data" runs only those test executables.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
[[ -x /usr/lib/wine/wine64 ]] || need+=(wine64)
[[ -f /usr/src/googletest/CMakeLists.txt ]] || need+=(googletest)
command -v ninja >/dev/null || need+=(ninja-build)
command -v cmake >/dev/null || need+=(cmake)
if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQUILLON_WINDOWS=OFF -DQUILLON_WERROR=ON >/dev/null
cmake --build build-windows -j"$(nproc)"

export WINEDEBUG=-all
export WINEPREFIX="$ROOT/build-windows/wineprefix"
WINE=/usr/lib/wine/wine64
# A fresh prefix is made once (about ten seconds); its window-less start-up
# needs no display.
"$WINE" cmd /c exit >/dev/null 2>&1 || true

status=0
for t in ${QUILLON_WINE_TESTS-test_data test_access test_engine}; do
  echo "== $t.exe under Wine"
  if ! "$WINE" "build-windows/tests/$t.exe" --gtest_brief=1; then
    echo "FAILED: $t.exe under Wine"
    status=1
  fi
done

echo "== quillon-replace.exe under Wine against the Linux build"
LINUX=build/quillon-replace
[[ -x $LINUX ]] || bash scripts/build.sh >/dev/null
WORK=$(mktemp -d)
trap '[[ ${KEEP_WORK:-} ]] || rm -rf "$WORK"' EXIT
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
    # Wine sets TEMP to the prefix's own temporary folder, whatever the
    # caller's is: the change log is taken from there.
    local temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"
    [[ -d $temp ]] || temp=$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -name Temp -type d | head -1)
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
echo "Windows build, tests and comparison: ${SECONDS} s"
exit $status
