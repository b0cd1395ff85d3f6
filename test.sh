#!/usr/bin/env bash
# Set up, build with AddressSanitizer and UndefinedBehaviorSanitizer, and run every test;
# then build with ThreadSanitizer and run every test again, so data races fail too.
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/setup.sh build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=ON
(
  export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  cd build/sanitize && ctest --output-on-failure -j 2
)

bash scripts/setup.sh build/tsan -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE_THREAD=ON
(
  # Data races and lock-order inversions both fail the run.
  export TSAN_OPTIONS="halt_on_error=1:detect_deadlocks=1:second_deadlock_stack=1"
  cd build/tsan && ctest --output-on-failure -j 2
)
