#!/usr/bin/env bash
# Replacement benchmark: quillon-replace on a large Visual FoxPro table.
#
#   bash bench/run_benchmark.sh [records]
#
# Builds Release into build-bench/, writes a table of `records` records
# (default 1000000, about 150 MB with its memo file) into a scratch folder and
# measures, in this one run:
#   baseline A  reading the table and memo files end to end (cat > /dev/null)
#   run 1       quillon-replace with a find text that occurs nowhere, vs baseline A
#   run 2       quillon-replace changing 1% of the records, vs run 1
#   run 2 with a 3-tag index
#               the same on a copy of the table with a structural index (three
#               tags, one of them on the changed field), vs run 2; every tag is
#               checked against the records afterwards
#   memory      peak resident memory of runs 1 and 2
#   python      python3-dbf doing the run-2 replacement on a 100,000-record table,
#               vs quillon-replace on a copy of the same table
#   undo        each change run again without its undo journal (the journal's
#               cost), and the bulk run taken back through its journal
#   sets        a set list of 16,000 sets over a 1,000-record table, vs the
#               same table with 8,000 of those sets, and 200,000 vs 100,000
#               sets over 100 records: a set list costs in proportion to its
#               length, and its peak memory stays within twice the set file
#               plus 32 MB
#   scale       peak memory of run 2's shape on 1,000,000 and 10,000,000
#               records, and of the bulk shape on 1,000,000 and 3,000,000 (more
#               would pass FoxPro's 2 GB memo limit): the same whatever the
#               table's size
#   cascade     a database's key changed in 20,000 parent records under an
#               update rule of cascade, reaching 100,000 child records, vs
#               the same changes made by walking both tables with the rule
#               set to ignore; afterwards no child is left without its parent
#               and every tag is consistent
#   bulk run    a set list of five pairs over a 100,000-record table with a memo
#               and an eight-tag index, changing every memo and a few percent
#               of the indexed fields, vs the no-match run on the same table;
#               flushes, bytes written against bytes changed, peak memory, the
#               index checked and the table read by python3-dbfread afterwards
# and prints a summary with every figure, its target and PASS/MISS. The targets
# are reported, never enforced: the script exits 0 whatever the figures are.
#
# Environment:
#   BENCH_REPEAT=N      measure each figure N times and report the median (default 5)
#   BENCH_KEEP=1        keep the scratch folder
#   BENCH_ONLY=bulk     measure the bulk run alone (skips the 1,000,000-record figures)
#   BENCH_ONLY=sets     measure the long set lists alone
#   BENCH_ONLY=scale    measure memory against the table's size alone
#   BENCH_ONLY=cascade  measure the cascade figure alone
#   BENCH_CASCADE_PARENTS=N  contacts of the cascade figure (default 20000)
#   BENCH_CASCADE_LARGE=N    contacts of the larger container whose cascade's
#                       peak memory is measured once (default 100000, five
#                       times the figure's, to show the peak flat; at most
#                       164708, what grow_container.py makes; 0 skips it)
#   BENCH_SCALE_RECORDS=N  the large table of that figure (default 10000000;
#                       about 12 GB of scratch space)
#   QUILLON_REPLACE=P   use the program at P instead of the one built in build-bench/
#   TMPDIR              where the scratch folder is made (default /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

RECORDS=${1:-1000000}
ONLY=${BENCH_ONLY:-}
BULK_RECORDS=${BENCH_BULK_RECORDS:-100000}
PY_RECORDS=$((RECORDS < 100000 ? RECORDS : 100000))
REPEAT=${BENCH_REPEAT:-5}
BUILD=$ROOT/build-bench
NOMATCH=Quetzalcoatl   # bench_make_table never writes it
MARKER=Zanzibar        # bench_make_table writes it in 1% of the records
REPLACEMENT=Zanzibaz
PYTHON=/usr/bin/python3

say() { printf '%s\n' "$*"; }
calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }
line() { printf '%-12s%-46s%10s  %s\n' "$@"; }  # line LABEL WHAT SECONDS NOTE

# ---------------------------------------------------------------- build
say "== Building Release into build-bench/"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
bash scripts/deps.sh strace >/dev/null
targets=(bench_make_table bench_measure bench_add_index bench_check_index bench_reindex bench_write_back)
known_targets=$(ninja -C "$BUILD" -t targets all)
if [[ -z ${QUILLON_REPLACE:-} ]] && grep -q '^quillon-replace:' <<< "$known_targets"; then
  targets+=(quillon-replace)
fi
cmake --build "$BUILD" --target "${targets[@]}" | tail -n 1
MAKE_TABLE=$BUILD/bench/bench_make_table
MEASURE=$BUILD/bench/bench_measure
ADD_INDEX=$BUILD/bench/bench_add_index
CHECK_INDEX=$BUILD/bench/bench_check_index
WRITE_BACK=$BUILD/bench/bench_write_back
if [[ -n ${QUILLON_REPLACE:-} ]]; then
  REPLACE=$QUILLON_REPLACE
else
  REPLACE=$(find "$BUILD" -name quillon-replace -type f -perm -u+x 2>/dev/null | head -n 1)
fi
if [[ -z $REPLACE || ! -x $REPLACE ]]; then
  say "quillon-replace is not built (no such target yet): only the baseline and python3-dbf are measured."
  REPLACE=
else
  say "quillon-replace: $REPLACE"
fi
if ! "$PYTHON" -c 'import dbf' 2>/dev/null; then
  say "python3-dbf is missing (Debian package python3-dbf): the python comparison is skipped."
  PYTHON=
fi

# ---------------------------------------------------------------- scratch
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/quillon-bench.XXXXXX")
if [[ ${BENCH_KEEP:-} == 1 ]]; then
  say "scratch folder (kept): $SCRATCH"
else
  trap 'rm -rf "$SCRATCH"' EXIT
fi
mkdir -p "$SCRATCH/big" "$SCRATCH/indexed" "$SCRATCH/small" "$SCRATCH/bulk" "$SCRATCH/temp"
export TEMP=$SCRATCH/temp QT_QPA_PLATFORM=offscreen

say "== Writing the tables"
if [[ -n $ONLY ]]; then RECORDS=1000; fi
"$MAKE_TABLE" --records "$RECORDS" "$SCRATCH/big/bench.dbf" | tee "$SCRATCH/big.txt"
"$MAKE_TABLE" --records "$PY_RECORDS" "$SCRATCH/small/bench.dbf" > "$SCRATCH/small.txt"
# The same table with a structural index: ADDRESS (the field run 2 changes),
# CODE and SINCE.
cp "$SCRATCH/big/bench.dbf" "$SCRATCH/big/bench.fpt" "$SCRATCH/indexed/"
"$ADD_INDEX" "$SCRATCH/indexed/bench.dbf" | tee "$SCRATCH/indexed.txt"
marked() { awk '/^records/ { print $(NF-2) }' "$1"; }
BIG_MARKED=$(marked "$SCRATCH/big.txt")
SMALL_MARKED=$(marked "$SCRATCH/small.txt")
BIG_BYTES=$(cat "$SCRATCH/big/bench.dbf" "$SCRATCH/big/bench.fpt" | wc -c)
say "small table: $PY_RECORDS records, $SMALL_MARKED holding \"$MARKER\""

# Copies a master table into $SCRATCH/run, flushes the copy to disk so that its
# write-back does not fall into a measurement, and reads it once so that every
# measurement starts with the files in the page cache.
RUN=$SCRATCH/run
fresh_copy() {
  rm -rf "$RUN" && mkdir "$RUN"
  cp "$SCRATCH/$1"/bench.* "$RUN/"
  rm -f "$TEMP/backups.log" "$TEMP"/quillon-undo-*.jnl
  sync
  cat "$RUN"/bench.* > /dev/null
}

# measure NAME COMMAND...: runs the command, appends "seconds rss_kb exit" to
# $SCRATCH/NAME.times and keeps its output in $SCRATCH/NAME.out.
measure() {
  local name=$1; shift
  "$MEASURE" "$SCRATCH/result" "$@" > "$SCRATCH/$name.out" 2>&1 || true
  cat "$SCRATCH/result" >> "$SCRATCH/$name.times"
}
# Drops the files from the page cache (they were synced first), so that the
# next read comes from the disk; needs no root, unlike dropping every cache.
evict() {
  "$PYTHON_EVICT" -c 'import os, sys
for p in sys.argv[1:]:
    fd = os.open(p, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)' "$@"
}
PYTHON_EVICT=/usr/bin/python3
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds_of() { awk '{ print $1 }' "$SCRATCH/$1.times" | median; }
rss_mb_of() { awk '$2 > m { m = $2 } END { printf "%.1f", m * 1024 / 1000000 }' "$SCRATCH/$1.times"; }
exits_of() { awk '{ print $3 }' "$SCRATCH/$1.times" | sort -u | paste -sd, -; }
count_in() { { grep -ao -- "$1" "$2" || true; } | wc -l; }
log_lines() { if [[ -f $TEMP/backups.log ]]; then wc -l < "$TEMP/backups.log"; else echo 0; fi; }

CHECKS=()
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [[ $2 == "$3" ]]; then CHECKS+=("ok     $1: $3"); else CHECKS+=("WRONG  $1: expected $2, got $3"); fi
}

# ---------------------------------------------------------------- measurements
say ""
say "== Measuring (median of $REPEAT; warm page cache: every file set is read once before it is"
say "   measured, because dropping the page cache needs root)"

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
if [[ -z $ONLY ]]; then
fresh_copy big
for ((i = 0; i < REPEAT; i++)); do
  "$MEASURE" "$SCRATCH/result" cat "$RUN/bench.dbf" "$RUN/bench.fpt" > /dev/null
  cat "$SCRATCH/result" >> "$SCRATCH/baseline.times"
done
BASE=$(seconds_of baseline)
line "baseline A" "cat table + memo ($(calc "$BIG_BYTES / 1000000" 1) MB)" "$(calc "$BASE") s" "$(calc "$BIG_BYTES / 1000000 / $BASE" 0) MB/s"

if [[ -n $REPLACE ]]; then
  for ((i = 0; i < REPEAT; i++)); do
    fresh_copy big
    folders_before=$(stat -c %y "$TEMP" "$RUN")
    measure run1 "$REPLACE" --folder "$RUN" --find "$NOMATCH" --replace x
    check "run 1 (#$((i + 1))) leaves the table unchanged" same \
      "$(cmp -s "$RUN/bench.dbf" "$SCRATCH/big/bench.dbf" && cmp -s "$RUN/bench.fpt" "$SCRATCH/big/bench.fpt" && echo same || echo changed)"
    check "run 1 (#$((i + 1))) change-log lines" 0 "$(log_lines)"
    # A run that changes nothing writes nothing: it makes (and removes) no
    # change log, undo journal, marker or write-ahead file, so neither
    # folder changes.
    check "run 1 (#$((i + 1))) makes no file in TEMP or beside the table" same \
      "$([[ $(stat -c %y "$TEMP" "$RUN") == "$folders_before" ]] && echo same || echo changed)"
  done
  check "run 1 prints Done." yes "$(grep -q '^Done\.' "$SCRATCH/run1.out" && echo yes || echo no)"
  check "run 1 exit codes" 0 "$(exits_of run1)"
  RUN1=$(seconds_of run1)
  line "run 1" "no match ($NOMATCH)" "$(calc "$RUN1") s" "$(calc "$RUN1 / $BASE" 2)x baseline A, peak $(rss_mb_of run1) MB"

  # The same comparison with the files read from the disk: each measurement
  # starts with the table and memo evicted from the page cache.
  for ((i = 0; i < REPEAT; i++)); do
    fresh_copy big
    evict "$RUN/bench.dbf" "$RUN/bench.fpt"
    "$MEASURE" "$SCRATCH/result" cat "$RUN/bench.dbf" "$RUN/bench.fpt" > /dev/null
    cat "$SCRATCH/result" >> "$SCRATCH/baseline_cold.times"
    evict "$RUN/bench.dbf" "$RUN/bench.fpt"
    measure run1_cold "$REPLACE" --folder "$RUN" --find "$NOMATCH" --replace x
  done
  check "run 1 from disk exit codes" 0 "$(exits_of run1_cold)"
  BASE_COLD=$(seconds_of baseline_cold)
  RUN1_COLD=$(seconds_of run1_cold)
  line "baseline B" "cat table + memo, from disk" "$(calc "$BASE_COLD") s" ""
  line "run 1" "no match, from disk" "$(calc "$RUN1_COLD") s" "$(calc "$RUN1_COLD / $BASE_COLD" 2)x baseline B"

  # Run 2 on the table without and with its index, one after the other, so
  # that both see the same machine.
  for ((i = 0; i < REPEAT; i++)); do
    # The disk's floor: run 2's records (50, 150, ...) rewritten as they
    # are and the table forced to disk once.
    fresh_copy big
    measure writeback "$WRITE_BACK" "$RUN/bench.dbf" 50 100
    fresh_copy big
    measure run2 "$REPLACE" --folder "$RUN" --find "$MARKER" --replace "$REPLACEMENT"
    check "run 2 (#$((i + 1))) records now holding $REPLACEMENT" "$BIG_MARKED" "$(count_in "$REPLACEMENT" "$RUN/bench.dbf")"
    check "run 2 (#$((i + 1))) change-log lines" "$BIG_MARKED" "$(log_lines)"
    fresh_copy indexed
    measure run2i "$REPLACE" --folder "$RUN" --find "$MARKER" --replace "$REPLACEMENT"
    check "run 2 with index (#$((i + 1))) records now holding $REPLACEMENT" "$BIG_MARKED" \
      "$(count_in "$REPLACEMENT" "$RUN/bench.dbf")"
    check "run 2 with index (#$((i + 1))) change-log lines" "$BIG_MARKED" "$(log_lines)"
    # The same runs without their undo journals: what the journal costs.
    fresh_copy big
    measure run2nj "$REPLACE" --folder "$RUN" --find "$MARKER" --replace "$REPLACEMENT" --no-undo-journal
    fresh_copy indexed
    measure run2inj "$REPLACE" --folder "$RUN" --find "$MARKER" --replace "$REPLACEMENT" --no-undo-journal
  done
  check "run 2 prints Done." yes "$(grep -q '^Done\.' "$SCRATCH/run2.out" && echo yes || echo no)"
  check "run 2 exit codes" 0 "$(exits_of run2)"
  check "run 2 with index prints Done." yes "$(grep -q '^Done\.' "$SCRATCH/run2i.out" && echo yes || echo no)"
  check "run 2 with index exit codes" 0 "$(exits_of run2i)"
  # The index the last indexed run left: every tag against the records (our
  # reader, page by page), and the number of keys per tag as Perl's
  # XBase::Index reads them, when it is installed.
  "$CHECK_INDEX" "$RUN/bench.dbf" > "$SCRATCH/check_index.txt" 2>&1 || true
  sed 's/^/         /' "$SCRATCH/check_index.txt"
  check "run 2 with index leaves every tag consistent with the records" 3 \
    "$(grep -c ', consistent$' "$SCRATCH/check_index.txt" || true)"
  if perl -MXBase::Index -e 1 2>/dev/null; then
    PERL_KEYS=$(perl "$ROOT/tests/tools/cdx_dump.pl" "$RUN/bench.cdx" |
      awk '$1 == "TAG" { t = $2 } $1 == "KEY" { n[t]++ } $1 == "FAIL" { f++ }
           END { printf "ADDRESS %d CODE %d SINCE %d failures %d", n["ADDRESS"], n["CODE"], n["SINCE"], f }')
    check "run 2 with index: keys per tag as Perl XBase reads them" \
      "ADDRESS $RECORDS CODE $RECORDS SINCE $RECORDS failures 0" "$PERL_KEYS"
  fi
  RUN2=$(seconds_of run2)
  RUN2I=$(seconds_of run2i)
  line "run 2" "1% changed ($MARKER -> $REPLACEMENT)" "$(calc "$RUN2") s" "$(calc "$RUN2 / $RUN1" 2)x run 1, peak $(rss_mb_of run2) MB"
  FLOOR=$(calc "$RUN1 + $(seconds_of writeback)")
  line "floor" "run 1 + its records forced to disk once" "$(calc "$FLOOR") s" "run 2 is $(calc "$RUN2 / $FLOOR" 2)x the floor (target <= 1.25x)"
  line "run 2" "the same with a 3-tag index" "$(calc "$RUN2I") s" "$(calc "$RUN2I / $RUN2" 2)x run 2, peak $(rss_mb_of run2i) MB"
  # The file syscalls of one more run 2, per changed record (strace slows
  # the run: counted apart from the times above).
  fresh_copy big
  strace -f -c -e trace=fcntl,pread64,pwrite64,fsync,fdatasync,sync_file_range -o "$SCRATCH/run2_strace.txt" \
    "$REPLACE" --folder "$RUN" --find "$MARKER" --replace "$REPLACEMENT" > /dev/null 2>&1 || true
  RUN2_CALLS=$(awk -v n="$BIG_MARKED" '$NF ~ /^(fcntl|pread64|pwrite64|fsync|fdatasync|sync_file_range)$/ {
      printf "%s %d (%.2f/record)  ", $NF, $4, $4 / n }' "$SCRATCH/run2_strace.txt")
  line "run 2" "syscalls, $BIG_MARKED records changed" "" "$RUN2_CALLS"
fi

if [[ -n $PYTHON ]]; then
  for ((i = 0; i < REPEAT; i++)); do
    fresh_copy small
    measure python "$PYTHON" "$ROOT/bench/python_dbf_replace.py" "$RUN/bench.dbf" "$MARKER" "$REPLACEMENT"
    check "python3-dbf (#$((i + 1))) records now holding $REPLACEMENT" "$SMALL_MARKED" \
      "$(count_in "$REPLACEMENT" "$RUN/bench.dbf")"
  done
  check "python3-dbf exit codes" 0 "$(exits_of python)"
  PYT=$(seconds_of python)
  line "python" "python3-dbf, 1% changed, $PY_RECORDS records" "$(calc "$PYT") s" ""
  if [[ -n $REPLACE ]]; then
    for ((i = 0; i < REPEAT; i++)); do
      fresh_copy small
      measure small "$REPLACE" --folder "$RUN" --find "$MARKER" --replace "$REPLACEMENT"
      check "quillon-replace on $PY_RECORDS (#$((i + 1))) records now holding $REPLACEMENT" "$SMALL_MARKED" \
        "$(count_in "$REPLACEMENT" "$RUN/bench.dbf")"
    done
    check "quillon-replace on $PY_RECORDS exit codes" 0 "$(exits_of small)"
    SMALL=$(seconds_of small)
    line "" "quillon-replace, same table" "$(calc "$SMALL") s" "python3-dbf takes $(calc "$PYT / $SMALL" 1)x as long"
  fi
fi

fi  # BENCH_ONLY

# ---------------------------------------------------------------- long set lists
# Every record holds the first set's find text, so no record is passed over
# and each is searched for every set; the others are found nowhere. Twice the
# sets should take about twice as long.
if [[ -n $REPLACE && $ONLY != bulk && $ONLY != scale && $ONLY != cascade ]]; then
  say ""
  say "== Long set lists: 1,000 records, 8,000 and 16,000 sets"
  mkdir -p "$SCRATCH/sets"
  "$MAKE_TABLE" --records 1000 "$SCRATCH/sets/bench.dbf" > /dev/null
  for n in 8000 16000; do
    { echo 'e::E'; seq 2 "$n" | sed 's/.*/Quetzalcoatl&::x&/'; } > "$SCRATCH/sets$n.txt"
  done
  for ((i = 0; i < REPEAT; i++)); do
    fresh_copy sets
    measure sets8000 "$REPLACE" --folder "$RUN" --sets "$SCRATCH/sets8000.txt" --no-undo-journal
    SETS8000_LINES=$(log_lines)
    fresh_copy sets
    measure sets16000 "$REPLACE" --folder "$RUN" --sets "$SCRATCH/sets16000.txt" --no-undo-journal
    check "16,000 sets (#$((i + 1))) change what 8,000 change" "$SETS8000_LINES" "$(log_lines)"
  done
  check "long set list exit codes" 0,0 "$(exits_of sets8000),$(exits_of sets16000)"
  SETS8000=$(seconds_of sets8000)
  SETS16000=$(seconds_of sets16000)
  line "sets" "8,000 sets, every record searched" "$(calc "$SETS8000") s" "peak $(rss_mb_of sets8000) MB"
  line "sets" "16,000 sets" "$(calc "$SETS16000") s" "$(calc "$SETS16000 / $SETS8000" 2)x 8,000 sets"
  # The same shape with 100,000 and 200,000 sets over 100 records: the time
  # still in proportion to the list, and the memory within twice the set
  # file's size plus 32 MB.
  say "== Long set lists: 100 records, 100,000 and 200,000 sets"
  mkdir -p "$SCRATCH/sets100"
  "$MAKE_TABLE" --records 100 "$SCRATCH/sets100/bench.dbf" > /dev/null
  for n in 100000 200000; do
    { echo 'e::E'; seq 2 "$n" | sed 's/.*/Quetzalcoatl&::x&/'; } > "$SCRATCH/sets$n.txt"
  done
  for ((i = 0; i < REPEAT; i++)); do
    fresh_copy sets100
    measure sets100000 "$REPLACE" --folder "$RUN" --sets "$SCRATCH/sets100000.txt" --no-undo-journal
    SETS100000_LINES=$(log_lines)
    fresh_copy sets100
    measure sets200000 "$REPLACE" --folder "$RUN" --sets "$SCRATCH/sets200000.txt" --no-undo-journal
    check "200,000 sets (#$((i + 1))) change what 100,000 change" "$SETS100000_LINES" "$(log_lines)"
  done
  check "longer set list exit codes" 0,0 "$(exits_of sets100000),$(exits_of sets200000)"
  SETS100000=$(seconds_of sets100000)
  SETS200000=$(seconds_of sets200000)
  SETS200000_FILE_MB=$(calc "$(stat -c %s "$SCRATCH/sets200000.txt") / 1000000" 1)
  line "sets" "100,000 sets, every record searched" "$(calc "$SETS100000") s" "peak $(rss_mb_of sets100000) MB"
  line "sets" "200,000 sets" "$(calc "$SETS200000") s" \
    "$(calc "$SETS200000 / $SETS100000" 2)x 100,000 sets; peak $(rss_mb_of sets200000) MB, set file $SETS200000_FILE_MB MB"
fi

# ---------------------------------------------------------------- bulk run
# A memo- and index-heavy job: every memo changes, and a few percent of the
# indexed character, integer, numeric and date fields (see make_table.cpp).
if [[ $ONLY != sets && $ONLY != scale && $ONLY != cascade ]]; then
say ""
say "== Bulk run: $BULK_RECORDS records, memo, eight-tag index, five pairs"
"$MAKE_TABLE" --bulk --records "$BULK_RECORDS" "$SCRATCH/bulk/bulk.dbf" | tee "$SCRATCH/bulk.txt"
"$ADD_INDEX" --bulk "$SCRATCH/bulk/bulk.dbf"
printf 'Ledger::Journal\nZanzibar::Zanzibaz\n77::78\n.25::.75\n-04-1::-04-3\n' > "$SCRATCH/pairs.txt"
# One line per value assigned; a refused value gets none, and the refusals
# come as one report for the first and one that counts the others.
BULK_LINES=$(awk '/^lines/ { print $2 }' "$SCRATCH/bulk.txt")
BULK_REFUSED=$(awk '/^expected/ { for (i = 1; i <= NF; ++i) if ($i == "new") print $(i - 1) }' "$SCRATCH/bulk.txt")
BULK_FILES=("$SCRATCH"/bulk/bulk.*)
BULK_BYTES=$(cat "${BULK_FILES[@]}" | wc -c)
bulk_copy() {
  rm -rf "$RUN" && mkdir "$RUN"
  cp "$SCRATCH"/bulk/bulk.* "$RUN/"
  rm -f "$TEMP/backups.log" "$TEMP"/quillon-undo-*.jnl
  sync
  cat "$RUN"/bulk.* > /dev/null
}
if [[ -n $REPLACE ]]; then
  for ((i = 0; i < REPEAT; i++)); do
    bulk_copy
    measure bulk_nomatch "$REPLACE" --folder "$RUN" --find "$NOMATCH" --replace x
    bulk_copy
    measure bulk "$REPLACE" --folder "$RUN" --sets "$SCRATCH/pairs.txt"
    check "bulk run (#$((i + 1))) change-log lines" "$BULK_LINES" "$(log_lines)"
    bulk_copy
    measure bulk_nj "$REPLACE" --folder "$RUN" --sets "$SCRATCH/pairs.txt" --no-undo-journal
  done
  # The refused dates are reported, so the run exits 1.
  check "bulk run prints Done." yes "$(grep -q '^Done\.' "$SCRATCH/bulk.out" && echo yes || echo no)"
  check "bulk run exit codes (refused dates reported)" 1 "$(exits_of bulk)"
  check "bulk run: refused dates told in two reports, the second counting the rest" \
    "1 $((BULK_REFUSED - 1)) more values" \
    "$(grep -c 'cannot take the value' "$SCRATCH/bulk.out") $(grep -o '[0-9]* more values' "$SCRATCH/bulk.out")"
  check "bulk no-match exit codes" 0 "$(exits_of bulk_nomatch)"
  "$CHECK_INDEX" "$RUN/bulk.dbf" > "$SCRATCH/bulk_index.txt" 2>&1 || true
  sed 's/^/         /' "$SCRATCH/bulk_index.txt"
  check "bulk run leaves every tag consistent with the records" 8 \
    "$(grep -c ', consistent$' "$SCRATCH/bulk_index.txt" || true)"
  "$PYTHON_EVICT" "$ROOT/bench/bulk_check.py" "$SCRATCH/bulk" "$RUN" bulk > "$SCRATCH/bulk_check.txt"
  value() { awk -v k="$1" '$1 == k { print $2 }' "$SCRATCH/bulk_check.txt"; }
  check "bulk run: python3-dbfread reads every record" "$BULK_RECORDS" "$(value records)"
  check "bulk run: memos now holding Journal and no Ledger" "$BULK_RECORDS" "$(value memos)"
  check "bulk run: names still holding Zanzibar" 0 "$(value zanzibar)"
  BULK_CHANGED=$(value changed)
  # Flushes: one more run, counted by the kernel's syscall tracepoints (perf),
  # or under strace where perf cannot count them (strace slows the run, so
  # more batches end by their time limit and the count comes out higher).
  bulk_copy
  if perf stat -x, -e syscalls:sys_enter_fsync,syscalls:sys_enter_fdatasync -o "$SCRATCH/bulk_perf.txt" \
       "$REPLACE" --folder "$RUN" --sets "$SCRATCH/pairs.txt" > /dev/null 2>&1 ||
     grep -q sys_enter_fsync "$SCRATCH/bulk_perf.txt" 2>/dev/null; then
    BULK_FLUSHES=$(awk -F, '/sys_enter_f/ { n += $1 } END { print n + 0 }' "$SCRATCH/bulk_perf.txt")
  else
    bulk_copy
    strace -f -c -e trace=fsync,fdatasync -o "$SCRATCH/bulk_strace.txt" \
      "$REPLACE" --folder "$RUN" --sets "$SCRATCH/pairs.txt" > /dev/null 2>&1 || true
    BULK_FLUSHES="$(awk '$NF ~ /^(fsync|fdatasync)$/ { n += $4 } END { print n + 0 }' "$SCRATCH/bulk_strace.txt") (strace)"
  fi
  # The bulk run taken back through its journal: every record reads as before.
  bulk_copy
  "$REPLACE" --folder "$RUN" --sets "$SCRATCH/pairs.txt" > /dev/null 2>&1 || true
  BULK_JOURNAL=$(ls "$TEMP"/quillon-undo-*.jnl | head -1)
  BULK_JOURNAL_BYTES=$(wc -c < "$BULK_JOURNAL")
  measure bulk_undo "$REPLACE" --undo "$BULK_JOURNAL"
  check "bulk undo exit code" 0 "$(exits_of bulk_undo)"
  "$PYTHON_EVICT" "$ROOT/bench/bulk_check.py" "$SCRATCH/bulk" "$RUN" bulk > "$SCRATCH/bulk_undo_check.txt"
  check "bulk undo: records python3-dbfread reads as before the run" "$BULK_RECORDS" \
    "$(awk '$1 == "same" { print $2 }' "$SCRATCH/bulk_undo_check.txt")"
  "$CHECK_INDEX" "$RUN/bulk.dbf" > "$SCRATCH/bulk_undo_index.txt" 2>&1 || true
  check "bulk undo leaves every tag consistent with the records" 8 \
    "$(grep -c ', consistent$' "$SCRATCH/bulk_undo_index.txt" || true)"
  rm -f "$TEMP"/quillon-undo-*.jnl
  BULK_NOMATCH=$(seconds_of bulk_nomatch)
  BULK=$(seconds_of bulk)
  BULK_WRITTEN=$(awk '{ print $4 }' "$SCRATCH/bulk.times" | median)
  line "bulk" "no match, same table" "$(calc "$BULK_NOMATCH") s" "peak $(rss_mb_of bulk_nomatch) MB"
  line "bulk" "five pairs, every memo changed" "$(calc "$BULK") s" "$(calc "$BULK / $BULK_NOMATCH" 1)x no match, peak $(rss_mb_of bulk) MB"
  BULK_NJ=$(seconds_of bulk_nj)
  line "bulk" "the same without the undo journal" "$(calc "$BULK_NJ") s" "the journal costs $(calc "$BULK / $BULK_NJ" 2)x"
  line "bulk" "undo of the bulk run" "$(calc "$(seconds_of bulk_undo)") s" "journal $(calc "$BULK_JOURNAL_BYTES / 1000000" 1) MB"
fi
fi  # BENCH_ONLY=sets

# Memory against the table's size: run 2's shape (1% of the records
# changed) on 1,000,000 and on BENCH_SCALE_RECORDS (default 10,000,000)
# records, and the bulk shape (every memo changed, an eight-tag index) on
# 1,000,000 and 3,000,000. Peak memory must not grow with the table.
SCALE_RECORDS=${BENCH_SCALE_RECORDS:-10000000}
if [[ -n $REPLACE && ( -z $ONLY || $ONLY == scale ) ]]; then
  say ""
  say "== Memory against the table's size: 1,000,000 and $SCALE_RECORDS records"
  printf 'Ledger::Journal\nZanzibar::Zanzibaz\n77::78\n.25::.75\n-04-1::-04-3\n' > "$SCRATCH/scale_pairs.txt"
  scale_copy() {  # scale_copy BASE: the scale table into $RUN, read once
    rm -rf "$RUN" && mkdir "$RUN"
    cp "$SCRATCH/scale/$1".* "$RUN/"
    rm -f "$TEMP/backups.log" "$TEMP"/quillon-undo-*.jnl
    sync
    cat "$RUN/$1".* > /dev/null
  }
  # The bulk shape doubles its memo file (every value is written anew):
  # more than 3,000,000 records of it would pass FoxPro's 2 GB memo limit.
  SCALE_BULK=$((SCALE_RECORDS < 3000000 ? SCALE_RECORDS : 3000000))
  for n in 1000000 "$SCALE_RECORDS"; do
    rm -rf "$SCRATCH/scale" && mkdir -p "$SCRATCH/scale"
    "$MAKE_TABLE" --records "$n" "$SCRATCH/scale/bench.dbf" > /dev/null
    # Against the no-match run and the disk's floor (its records forced to
    # disk once) on the same table, measured once each.
    scale_copy bench
    measure "scale_run1_$n" "$REPLACE" --folder "$RUN" --find "$NOMATCH" --replace x
    measure "scale_wb_$n" "$WRITE_BACK" "$RUN/bench.dbf" 50 100
    scale_copy bench
    measure "scale_run2_$n" "$REPLACE" --folder "$RUN" --find "$MARKER" --replace "$REPLACEMENT"
    check "scale: run 2 on $n records exit code" 0 "$(exits_of "scale_run2_$n")"
    SCALE_RUN1=$(seconds_of "scale_run1_$n")
    SCALE_FLOOR=$(calc "$SCALE_RUN1 + $(seconds_of "scale_wb_$n")")
    SCALE_RUN2=$(seconds_of "scale_run2_$n")
    line "scale" "run 2, $n records" "$(calc "$SCALE_RUN2") s" "peak $(rss_mb_of "scale_run2_$n") MB; $(calc "$SCALE_RUN2 / $SCALE_RUN1" 2)x no match ($(calc "$SCALE_RUN1") s), $(calc "$SCALE_RUN2 / $SCALE_FLOOR" 2)x the floor ($(calc "$SCALE_FLOOR") s)"
  done
  for n in 1000000 "$SCALE_BULK"; do
    rm -rf "$SCRATCH/scale" && mkdir -p "$SCRATCH/scale"
    "$MAKE_TABLE" --bulk --records "$n" "$SCRATCH/scale/bulk.dbf" > /dev/null
    "$ADD_INDEX" --bulk "$SCRATCH/scale/bulk.dbf" > /dev/null
    scale_copy bulk
    measure "scale_bulk_$n" "$REPLACE" --folder "$RUN" --sets "$SCRATCH/scale_pairs.txt"
    check "scale: bulk run on $n records prints Done." yes "$(grep -q '^Done\.' "$SCRATCH/scale_bulk_$n.out" && echo yes || echo no)"
    line "scale" "bulk, $n records, indexed" "$(calc "$(seconds_of "scale_bulk_$n")") s" "peak $(rss_mb_of "scale_bulk_$n") MB"
  done
  rm -rf "$SCRATCH/scale" "$RUN" "$TEMP"/quillon-undo-*.jnl "$TEMP/backups.log"
fi

# ---------------------------------------------------------------- cascade
if [[ -n $REPLACE && ( -z $ONLY || $ONLY == cascade ) ]]; then
  say ""
  say "== Cascade: ${BENCH_CASCADE_PARENTS:-20000} contacts' keys, 5 calls each"
  CASCADE_PARENTS=${BENCH_CASCADE_PARENTS:-20000}
  CASCADE_LARGE=${BENCH_CASCADE_LARGE:-100000}
  mkdir -p "$SCRATCH/cascade_master"
  cp tests/fixtures/ruby-dbf/foxprodb/* "$SCRATCH/cascade_master/"
  chmod -R u+w "$SCRATCH/cascade_master"
  "$PYTHON_EVICT" bench/grow_container.py "$SCRATCH/cascade_master" "$CASCADE_PARENTS" 5
  "$BUILD/bench/bench_reindex" "$SCRATCH/cascade_master/FOXPRO-DB-TEST.DBC" contacts calls
  # Writes the relations' update, delete and insert rules into the container.
  set_rules() {
    "$PYTHON_EVICT" - "$1" "$2" <<'PY'
import struct, sys
path, rules = sys.argv[1], sys.argv[2].encode()
data = bytearray(open(path, 'rb').read())
header, length = struct.unpack('<HH', data[8:10] + data[10:12])
at, where = 32, {}
while data[at] != 0x0D:
    where[data[at:at + 11].split(b'\0')[0].decode()] = struct.unpack('<I', data[at + 12:at + 16])[0]
    at += 32
for record in range(header, len(data) - length + 1, length):
    if data[record + where['OBJECTTYPE']:record + where['OBJECTTYPE'] + 8] == b'Relation':
        data[record + where['RIINFO']:record + where['RIINFO'] + 3] = rules
open(path, 'wb').write(data)
PY
  }
  cascade_copy() {  # cascade_copy RULES
    rm -rf "$RUN" && cp -r "$SCRATCH/cascade_master" "$RUN"
    set_rules "$RUN/FOXPRO-DB-TEST.DBC" "$1"
    rm -f "$TEMP/backups.log" "$TEMP"/quillon-undo-*.jnl
    sync
    cat "$RUN"/* > /dev/null
  }
  for ((i = 0; i < REPEAT; i++)); do
    cascade_copy III
    measure cascade_plain "$REPLACE" --dbc "$RUN/FOXPRO-DB-TEST.DBC" --table contacts --table calls --find 7 --replace 8
    cascade_copy CRR
    measure cascade "$REPLACE" --dbc "$RUN/FOXPRO-DB-TEST.DBC" --table contacts --find 7 --replace 8
  done
  line "cascade" "plain: both tables walked, rule ignore" "$(calc "$(seconds_of cascade_plain)") s" ""
  line "cascade" "cascade: contacts walked, rule cascade" "$(calc "$(seconds_of cascade)") s" "$(grep -ao 'fields changed.*' "$SCRATCH/cascade.out" | head -1)"
  orphans=$("$PYTHON_EVICT" - "$RUN" <<'PY'
import struct, sys
def ids(path, name):
    data = open(path, 'rb').read()
    count = struct.unpack('<I', data[4:8])[0]
    header, length = struct.unpack('<HH', data[8:12])
    at, offset = 32, 1
    while data[at] != 0x0D:
        if data[at:at + 11].split(b'\0')[0].decode() == name:
            break
        offset += data[at + 16]
        at += 32
    return [struct.unpack('<i', data[header + r * length + offset:header + r * length + offset + 4])[0]
            for r in range(count) if data[header + r * length] != 0x2A]
parents = set(ids(sys.argv[1] + '/contacts.dbf', 'CONTACT_ID'))
print(sum(1 for k in ids(sys.argv[1] + '/calls.dbf', 'CONTACT_ID') if k not in parents))
PY
)
  check "cascade: calls without their contact afterwards" 0 "$orphans"
  check "cascade: tags consistent afterwards" 0 "$("$REPLACE" --dbc "$RUN/FOXPRO-DB-TEST.DBC" --check | grep -vc 'consistent$' || true)"
  # Peak memory of the same cascade on a larger container, measured once.
  if ((CASCADE_LARGE > 0)); then
    say "== Cascade: $CASCADE_LARGE contacts' keys, 5 calls each (peak memory)"
    rm -rf "$SCRATCH/cascade_master"
    mkdir -p "$SCRATCH/cascade_master"
    cp tests/fixtures/ruby-dbf/foxprodb/* "$SCRATCH/cascade_master/"
    chmod -R u+w "$SCRATCH/cascade_master"
    "$PYTHON_EVICT" bench/grow_container.py "$SCRATCH/cascade_master" "$CASCADE_LARGE" 5
    "$BUILD/bench/bench_reindex" "$SCRATCH/cascade_master/FOXPRO-DB-TEST.DBC" contacts calls
    cascade_copy CRR
    measure cascade_large "$REPLACE" --dbc "$RUN/FOXPRO-DB-TEST.DBC" --table contacts --find 7 --replace 8
    check "large cascade exit code" 0 "$(exits_of cascade_large)"
    line "cascade" "$CASCADE_LARGE contacts, rule cascade" "$(calc "$(seconds_of cascade_large)") s" "peak $(rss_mb_of cascade_large) MB"
    rm -rf "$SCRATCH/cascade_master" "$RUN"
  fi
fi

# ---------------------------------------------------------------- summary
say ""
say "== Checks"
printf '%s\n' "${CHECKS[@]:-(none: quillon-replace was not run)}"

say ""
say "== Summary ($RECORDS records, $(calc "$BIG_BYTES / 1000000" 1) MB; page cache warm unless 'from disk'; median of $REPEAT)"
row() { printf '%-44s %14s %12s  %s\n' "$@"; }
verdict() { awk "BEGIN { print ($1) ? \"PASS\" : \"MISS\" }"; }
say "load average before / after: $LOAD_BEFORE / $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores (other work on the machine skews the times)"
row "figure" "measured" "target" "result"
[[ -z $ONLY ]] && row "baseline A: cat table + memo" "$(calc "$BASE") s" "-" "baseline"
if [[ -n $REPLACE && -z $ONLY ]]; then
  row "run 1: no match" "$(calc "$RUN1") s" "-" ""
  row "run 1 / baseline A (page cache)" "$(calc "$RUN1 / $BASE" 2)x" "<= 3x" "$(verdict "$RUN1 / $BASE <= 3")"
  row "baseline B: cat table + memo, from disk" "$(calc "$BASE_COLD") s" "-" "baseline"
  row "run 1 from disk: no match" "$(calc "$RUN1_COLD") s" "-" ""
  row "run 1 / baseline B (from disk)" "$(calc "$RUN1_COLD / $BASE_COLD" 2)x" "<= 3x" "$(verdict "$RUN1_COLD / $BASE_COLD <= 3")"
  row "run 2: 1% of the records changed" "$(calc "$RUN2") s" "-" ""
  row "run 2 / run 1" "$(calc "$RUN2 / $RUN1" 2)x" "<= 1.5x" "$(verdict "$RUN2 / $RUN1 <= 1.5")"
  row "floor: run 1 + its records forced to disk" "$(calc "$FLOOR") s" "-" ""
  row "run 2 / the floor" "$(calc "$RUN2 / $FLOOR" 2)x" "<= 1.25x" "$(verdict "$RUN2 / $FLOOR <= 1.25")"
  row "run 2 with a 3-tag index" "$(calc "$RUN2I") s" "-" ""
  row "run 2 with a 3-tag index / run 2 without" "$(calc "$RUN2I / $RUN2" 2)x" "<= 1.5x" "$(verdict "$RUN2I / $RUN2 <= 1.5")"
  RUN2NJ=$(seconds_of run2nj)
  RUN2INJ=$(seconds_of run2inj)
  row "run 2 / the same without undo journal" "$(calc "$RUN2 / $RUN2NJ" 2)x" "<= 1.3x" "$(verdict "$RUN2 / $RUN2NJ <= 1.3")"
  row "run 2 with index / the same without journal" "$(calc "$RUN2I / $RUN2INJ" 2)x" "<= 1.3x" "$(verdict "$RUN2I / $RUN2INJ <= 1.3")"
  row "run 1 peak memory (max RSS)" "$(rss_mb_of run1) MB" "< 100 MB" "$(verdict "$(rss_mb_of run1) < 100")"
  row "run 2 peak memory (max RSS)" "$(rss_mb_of run2) MB" "< 100 MB" "$(verdict "$(rss_mb_of run2) < 100")"
  row "run 2 with index peak memory" "$(rss_mb_of run2i) MB" "< 100 MB" "$(verdict "$(rss_mb_of run2i) < 100")"
elif [[ -z $REPLACE ]]; then
  row "run 1, run 2, peak memory" "not run" "" "quillon-replace not built"
fi
if [[ -n $REPLACE && $ONLY != bulk && $ONLY != scale && $ONLY != cascade ]]; then
  row "sets: 8,000 sets over 1,000 records" "$(calc "$SETS8000") s" "-" "baseline"
  row "sets: 16,000 sets / 8,000 sets" "$(calc "$SETS16000 / $SETS8000" 2)x" "<= 2.3x" "$(verdict "$SETS16000 / $SETS8000 <= 2.3")"
  row "sets: 100,000 sets over 100 records" "$(calc "$SETS100000") s" "-" "baseline"
  row "sets: 200,000 sets / 100,000 sets" "$(calc "$SETS200000 / $SETS100000" 2)x" "<= 2.2x" "$(verdict "$SETS200000 / $SETS100000 <= 2.2")"
  SETS_LIMIT=$(calc "2 * $SETS200000_FILE_MB + 32" 1)
  row "sets: 200,000 sets peak memory" "$(rss_mb_of sets200000) MB" "<= $SETS_LIMIT MB" "$(verdict "$(rss_mb_of sets200000) <= $SETS_LIMIT")"
  row "  (twice the set file, $SETS200000_FILE_MB MB, + 32 MB)" "" "" ""
fi
if [[ -n $REPLACE && ( -z $ONLY || $ONLY == scale ) ]]; then
  for shape in run2 bulk; do
    n=$([[ $shape == run2 ]] && echo "$SCALE_RECORDS" || echo "$SCALE_BULK")
    small=$(rss_mb_of "scale_${shape}_1000000")
    large=$(rss_mb_of "scale_${shape}_$n")
    row "$shape peak memory, 1,000,000 records" "$small MB" "< 32 MB" "$(verdict "$small < 32")"
    row "$shape peak memory, $n records" "$large MB" "< 32 MB" "$(verdict "$large < 32")"
  done
fi
if [[ -n $REPLACE && ( -z $ONLY || $ONLY == cascade ) ]]; then
  row "cascade: plain run, both tables" "$(calc "$(seconds_of cascade_plain)") s" "-" "baseline"
  row "cascade run / plain run" "$(calc "$(seconds_of cascade) / $(seconds_of cascade_plain)" 2)x" "<= 3x" "$(verdict "$(seconds_of cascade) / $(seconds_of cascade_plain) <= 3")"
  row "cascade run peak memory" "$(rss_mb_of cascade) MB" "<= 32 MB" "$(verdict "$(rss_mb_of cascade) <= 32")"
  if ((CASCADE_LARGE > 0)); then
    row "cascade peak memory, $CASCADE_LARGE contacts" "$(rss_mb_of cascade_large) MB" "<= 32 MB" "$(verdict "$(rss_mb_of cascade_large) <= 32")"
  fi
fi
if [[ -n $REPLACE && $ONLY != sets && $ONLY != scale && $ONLY != cascade ]]; then
  row "bulk: no match ($BULK_RECORDS records, $(calc "$BULK_BYTES / 1000000" 1) MB)" "$(calc "$BULK_NOMATCH") s" "-" "baseline"
  row "bulk: five pairs, every memo changed" "$(calc "$BULK") s" "-" ""
  row "bulk run / bulk no match" "$(calc "$BULK / $BULK_NOMATCH" 1)x" "<= 50x" "$(verdict "$BULK / $BULK_NOMATCH <= 50")"
  row "bulk run flushes (fsync and the like)" "$BULK_FLUSHES" "-" "(two per batch: the memo values, then the run log)"
  row "bulk run bytes written / bytes changed" "$(calc "$BULK_WRITTEN / 1000000" 1) / $(calc "$BULK_CHANGED / 1000000" 1) MB" "-" ""
  row "  ratio" "$(calc "$BULK_WRITTEN / $BULK_CHANGED" 2)x" "<= 3x" "$(verdict "$BULK_WRITTEN / $BULK_CHANGED <= 3")"
  row "bulk run peak memory (max RSS)" "$(rss_mb_of bulk) MB" "< 100 MB" "$(verdict "$(rss_mb_of bulk) < 100")"
  row "bulk run / the same without undo journal" "$(calc "$BULK / $BULK_NJ" 2)x" "<= 1.3x" "$(verdict "$BULK / $BULK_NJ <= 1.3")"
  row "bulk undo (journal $(calc "$BULK_JOURNAL_BYTES / 1000000" 1) MB)" "$(calc "$(seconds_of bulk_undo)") s" "-" \
    "$(calc "$(seconds_of bulk_undo) / $BULK" 1)x the run"
fi
if [[ -n $PYTHON && -z $ONLY ]]; then
  row "python3-dbf, $PY_RECORDS records, 1% changed" "$(calc "$PYT") s" "-" ""
  if [[ -n $REPLACE ]]; then
    row "quillon-replace, same table" "$(calc "$SMALL") s" "-" ""
    row "python3-dbf time / quillon-replace time" "$(calc "$PYT / $SMALL" 1)x" ">= 20x" "$(verdict "$PYT / $SMALL >= 20")"
  fi
fi
if printf '%s\n' "${CHECKS[@]:-}" | grep -q '^WRONG'; then
  say ""
  say "Some checks above are WRONG: the timings of those runs do not measure a correct replacement."
fi
