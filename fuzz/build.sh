#!/usr/bin/env bash
# Builds the named fuzz harnesses with clang (ASan + UBSan) into build-fuzz/
# and makes their seed corpora in build-fuzz/corpus/ (fuzz/run.sh and
# fuzz/campaign.sh start with it).
#   bash fuzz/build.sh harness...
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(pwd)/build-fuzz

# clang with the libFuzzer runtime, besides what the main build needs (cmake,
# and gtest: the index harness checks the index with the tests' checker).
bash scripts/deps.sh clang libclang-rt-dev

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && generator=()
cmake -S fuzz -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"$(nproc)" --target "$@"
/usr/bin/python3 fuzz/make_seeds.py "$build/corpus"
# The reproducers of past findings run first, as regression inputs.
cp fuzz/findings/*.bin "$build/corpus/table_fuzzer/" 2>/dev/null || true
