#!/usr/bin/env bash
# Fails when clang-tidy (.clang-tidy) finds
# anything in the library, the service or the client. Only a configure is needed: the
# compile commands come from build/tidy.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/tidy -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
run-clang-tidy -quiet -p build/tidy -j "$(nproc)" '/(libquorvane3|service|cli)/.*\.cpp$' >build/tidy/findings.txt 2>&1 || true
# run-clang-tidy's own status does not always count findings: the findings do.
if sed 's/\x1b\[[0-9;]*m//g' build/tidy/findings.txt | grep -E "(warning|error): " | sort -u | grep .; then
  echo "clang-tidy found the above (whole output in build/tidy/findings.txt)" >&2
  exit 1
fi
