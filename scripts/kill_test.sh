#!/usr/bin/env bash
# Kills the batch command at random moments of a memo- and index-heavy run,
# again and again, and checks after each kill that every record is wholly old
# or wholly new, that every memo pointer is valid, and that every tag of the
# structural index is consistent once the next Quillon run has opened the
# table (and repaired what the kill left, telling so).
#
#   bash scripts/kill_test.sh [kills]     (default 1000; CI runs 10)
set -euo pipefail
cd "$(dirname "$0")/.."
KILLS=${1:-1000}
bash scripts/build.sh >/dev/null
QUILLON_KILLS=$KILLS build/tests/test_engine --gtest_filter='CrashTest.*'
