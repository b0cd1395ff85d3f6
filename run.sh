#!/usr/bin/env bash
# Set up, build in Release and start the server in the console on its defaults
# (TCP 10300, UDP 10301). Ctrl+C stops it. Settings and logs are kept in build/run/.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh build/release -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF
mkdir -p build/run
cp build/release/quorvane-server build/run/quorvane-server
exec build/run/quorvane-server -d
