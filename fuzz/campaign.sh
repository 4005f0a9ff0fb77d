#!/usr/bin/env bash
# A long fuzzing campaign: runs every harness (or those named) for the given
# minutes each (default 120), starting from the corpus kept in the repository
# (fuzz/corpus/<harness>/) and the generated seeds, then merges the inputs
# that reach new code back into fuzz/corpus/, so that the next campaign (and
# anyone's) starts where this one stopped. Reports the executions reached.
#   bash fuzz/campaign.sh [minutes-per-harness] [harness...]
#   FUZZ_JOBS=N   parallel fuzzing processes per harness (default: the cores)
# Exits non-zero when a harness finds something: its input is left in
# build-fuzz/findings/<harness>/ and its log in build-fuzz/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
minutes=${1:-120}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(table_fuzzer container_fuzzer index_fuzzer)
build=$root/build-fuzz
jobs=${FUZZ_JOBS:-$(nproc)}

bash fuzz/build.sh "${harnesses[@]}" | tail -n 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/logs"
failed=0
for h in "${harnesses[@]}"; do
  kept=$root/fuzz/corpus/$h
  mkdir -p "$kept" "$work/$h/new" "$build/findings/$h"
  before=$(find "$kept" -type f | wc -l)
  status=0
  # New inputs go to the scratch folder; the kept corpus and the seeds are
  # read only.
  (cd "$work/$h" && "$build/$h" -seed=0 -max_total_time=$((minutes * 60)) -timeout=10 -rss_limit_mb=2048 \
     -max_len=65536 -jobs="$jobs" -workers="$jobs" -print_final_stats=1 -artifact_prefix="$build/findings/$h/" \
     "$work/$h/new" "$kept" "$build/corpus/$h") >"$build/logs/$h.campaign.log" 2>&1 || status=$?
  # With -jobs each worker logs to fuzz-<n>.log in the scratch folder.
  runs=0
  for log in "$work/$h"/fuzz-*.log "$build/logs/$h.campaign.log"; do
    [ -f "$log" ] || continue
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    runs=$((runs + ${n:-0}))
    cat "$log" >> "$build/logs/$h.campaign-workers.log"
    grep -q "ERROR: \|Test unit written" "$log" && status=1
  done
  # Only inputs that reach code the seeds (made anew from the fixtures by
  # every run) do not are kept: the seeds go into the merge first and are
  # left out of what is kept.
  merged=$work/$h/merged
  mkdir -p "$merged"
  for seed in "$build/corpus/$h"/*; do cp "$seed" "$merged/seed-$(basename "$seed")"; done
  (cd "$work/$h" && "$build/$h" -merge=1 -max_len=65536 "$merged" "$kept" "$work/$h/new") \
    >>"$build/logs/$h.campaign.log" 2>&1 || true
  rm -f "$merged"/seed-*
  rm -rf "$kept" && mv "$merged" "$kept"
  after=$(find "$kept" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    echo "$h: $runs inputs in ${minutes} min on $jobs processes, nothing found; corpus $before -> $after inputs"
  else
    failed=$((failed + 1))
    echo "$h: FOUND SOMETHING after $runs inputs; see $build/findings/$h/ and $build/logs/$h.campaign-workers.log"
  fi
done
echo "campaign: ${#harnesses[@]} harnesses, $failed found something"
[ "$failed" -eq 0 ]
