#!/usr/bin/env bash
# Builds Quillon and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure -j"$(nproc)"
# A short fuzz run of the table library on mutated FoxPro files (fuzz/README.md).
bash fuzz/run.sh 40
# The Windows build of the table library and the batch command, its tests
# under Wine, and the same jobs done by both builds compared byte for byte.
bash scripts/test-windows.sh
