#!/usr/bin/env bash
# Set up, build in Release and start the server in the console (TCP 10300, UDP 10301) with
# file sharing on. Ctrl+C stops it. Settings, lists, logs and shared files are kept in
# build/run/; on the first run the settings are the server's defaults with the values of
# scripts/quick-start.settings.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh build/release -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF
mkdir -p build/run
cp build/release/quorvane-server build/run/quorvane-server
settings=build/run/QuorvaneService.xml
if [ ! -e "$settings" ]; then
    mapfile -t values < <(grep -v '^#' scripts/quick-start.settings | grep .)
    build/release/quorvane-first-settings "$settings" "${values[@]}"
    echo "Quick start: $settings written with ${values[*]} (file sharing on, the files in build/run/files)."
else
    echo "Quick start: $settings kept as it is (delete it to start again from the quick start's settings)."
fi
exec build/run/quorvane-server -d
