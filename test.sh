#!/usr/bin/env bash
# Set up, build with AddressSanitizer and UndefinedBehaviorSanitizer, and run every test.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=ON
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd build/sanitize
ctest --output-on-failure -j 2
