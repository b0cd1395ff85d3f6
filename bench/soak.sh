#!/usr/bin/env bash
# Builds the server and the soak benchmark in Release, starts the server on free loopback
# ports and runs the soak against it, neither pinned (all loopback connections come from one
# address, so the per-address connection limit is off; the login timeout keeps its default
# of 60 s, which the soak's slow connections meet).
# Usage: SECONDS_TO_RUN=600 bench/soak.sh [extra soak options]
. "$(dirname "$0")/bench_lib.sh"
PIN=${PIN:-0} AWAKE=${AWAKE:-0}
bench_init soak
DURATION=${SECONDS_TO_RUN:-600}
build_targets quorvane-server soak

SERVER_NAME=Soak ADMIN_PASSWORD=admin LOGIN_TIMEOUT=60
start_server || exit 1
echo "server pid $TARGET_PID on TCP $TCP_PORT UDP $UDP_PORT; output in $OUT"
"$SOAK" --port "$TCP_PORT" --udp-port "$UDP_PORT" --server-pid "$TARGET_PID" --seconds "$DURATION" "$@" |
    tee "$OUT/soak.txt"
exit "${PIPESTATUS[0]}"
