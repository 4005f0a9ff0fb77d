#!/usr/bin/env bash
# Compiles every .cpp of the table library with clang's thread-safety
# analysis and fails on any warning: each lock's guarded members and the
# functions that need it are annotated (data/util/thread_annotations.h).
# Usage: check_threads.sh [ROOT]. Skips (exit 0 with a note) without clang++.
set -u
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
compiler="${CLANGXX:-clang++}"
if ! command -v "$compiler" >/dev/null 2>&1; then
  echo "check_threads: $compiler not found, thread-safety analysis skipped"
  exit 0
fi
cd "$root" || exit 1
failed=0
count=0
while IFS= read -r file; do
  # A platform's own file is compiled only on its platform.
  case "$file" in *_windows.cpp) continue ;; esac
  count=$((count + 1))
  if ! out=$("$compiler" -std=c++20 -fsyntax-only -Wthread-safety -Werror=thread-safety -I"$root" "$file" 2>&1) ||
    [ -n "$out" ]; then
    echo "$out"
    echo "check_threads: $file: warnings or errors"
    failed=1
  fi
done < <(find data -name '*.cpp' | sort)
if [ "$failed" -ne 0 ]; then exit 1; fi
echo "check_threads: $count files of data/ checked, no thread-safety warning"
