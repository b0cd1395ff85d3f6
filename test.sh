#!/usr/bin/env bash
# Set up, build with AddressSanitizer and UndefinedBehaviorSanitizer, and run every test;
# then build with ThreadSanitizer and run every test again, so data races fail too; then
# build the Debian package and try the service under a real systemd; then build the fuzz
# targets with clang, fuzz each for a short fixed time and replay the corpora.
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/setup.sh build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=ON -DQUORVANE_WERROR=ON
(
  export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  cd build/sanitize && ctest --output-on-failure -j 2
)

# The tree is formatted as .clang-format says, and clang-tidy finds nothing (.clang-tidy).
bash scripts/check-format.sh
bash scripts/check-tidy.sh

bash scripts/setup.sh build/tsan -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE_THREAD=ON -DQUORVANE_WERROR=ON
(
  # Data races and lock-order inversions both fail the run; only ACE's own internals are
  # suppressed (tests/tsan.supp).
  export TSAN_OPTIONS="halt_on_error=1:detect_deadlocks=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
  cd build/tsan && ctest --output-on-failure -j 2
)

# The Debian package (a Release build; lintian must report no error), then the service as
# that package installs it, under a real systemd in a throw-away container (skipped with
# one line where the machine cannot boot one).
bash packaging/build-deb.sh build/deb
bash tests/systemd/run.sh build/deb

bash scripts/setup.sh build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_FUZZ=ON -DQUORVANE_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
(
  export ASAN_OPTIONS="detect_leaks=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  seconds="${FUZZ_SECONDS:-15}"
  for target in build/fuzz/fuzz/fuzz_*; do
    name="$(basename "$target")"
    # New inputs go to a scratch directory; the corpus in the repository stays as it is.
    scratch="$(mktemp -d)"
    log="build/fuzz/$name.log"
    echo "Fuzzing $name for ${seconds}s"
    if ! "$target" -max_total_time="$seconds" -artifact_prefix="build/fuzz/$name-" "$scratch" "fuzz/corpus/$name" \
         >"$log" 2>&1; then
      cat "$log"
      exit 1
    fi
    tail -n 1 "$log"
    rm -rf "$scratch"
  done
  cd build/fuzz && ctest --output-on-failure -j 2
)
