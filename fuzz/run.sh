#!/usr/bin/env bash
# Builds the fuzz harnesses with clang (ASan + UBSan) into build-fuzz/, makes
# their seed corpora and runs each for the given seconds (default 60), from
# the seeds and the corpus a long campaign kept (fuzz/corpus/, see
# fuzz/campaign.sh).
#   bash fuzz/run.sh [seconds-per-harness] [harness...]
# Exits non-zero when a harness finds something: its input is left in
# build-fuzz/findings/<harness>/ and its log in build-fuzz/logs/<harness>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(table_fuzzer container_fuzzer index_fuzzer)
build=$root/build-fuzz

bash fuzz/build.sh "${harnesses[@]}"

# A fixed seed makes the short run go the same way each time (FUZZ_SEED=0
# picks one at random, as a long campaign wants).
seed=${FUZZ_SEED:-1}

# libFuzzer leaves its files in the working folder: a scratch one.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/logs"
passed=0
failed=0
for h in "${harnesses[@]}"; do
  mkdir -p "$build/findings/$h"
  log=$build/logs/$h.log
  status=0
  (cd "$work" && "$build/$h" -seed="$seed" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
     -artifact_prefix="$build/findings/$h/" "$build/corpus/$h" $(ls -d "$root/fuzz/corpus/$h" 2>/dev/null)) \
     >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "$h: ${runs:-?} inputs in ${seconds}s, nothing found"
  else
    failed=$((failed + 1))
    echo "$h: FOUND SOMETHING (exit $status); log: $log"
    sed -n '/ORACLE FAILURE/,/^==/{/^==/!p}' "$log" | head -20
    grep -E "ERROR: |SUMMARY: |Test unit written" "$log" | head -5 || true
    grep -E "^    #[0-9]+ .*/(data|fuzz|base|access)/" "$log" | head -15 || true
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
