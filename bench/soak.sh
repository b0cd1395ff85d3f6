#!/usr/bin/env bash
# Builds the server and the soak benchmark in Release, starts the server on free loopback
# ports and runs the soak against it (all loopback connections from one address, so the
# per-address connection limit is off; the login timeout keeps its default of 60 s).
# Usage: SECONDS_TO_RUN=600 bench/soak.sh [extra soak options]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build/bench}"
OUT="${OUT:-$(mktemp -d /tmp/quorvane-soak.XXXXXX)}"
DURATION="${SECONDS_TO_RUN:-600}"

if [ "${SKIP_BUILD:-0}" != 1 ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_BENCH=ON -DQUORVANE_TESTS=OFF >"$OUT/cmake.log"
    cmake --build "$BUILD" -j2 --target quorvane-server soak >"$OUT/build.log"
fi

TCP_PORT=$((20000 + RANDOM % 20000))
UDP_PORT=$((TCP_PORT + 1))
cp "$BUILD/quorvane-server" "$OUT/"
printf '%s' '<?xml version="1.0" encoding="utf-8"?><quorvane version="3.3"><hosting>' \
    '<server-name>Soak</server-name>' \
    "<hostport>$TCP_PORT</hostport><soundport>$UDP_PORT</soundport><bind-ip>127.0.0.1</bind-ip>" \
    '<max-users>30000</max-users><admin-enabled>true</admin-enabled><admin-username>admin</admin-username>' \
    '<admin-password>admin</admin-password><max-connections-per-address>0</max-connections-per-address>' \
    '<password-lockout>0</password-lockout><login-timeout>60</login-timeout><static-channels></static-channels>' \
    '</hosting></quorvane>' >"$OUT/QuorvaneService.xml"
(cd "$OUT" && exec ./quorvane-server -d >server.out 2>server.err) &
PID=$!
trap 'kill -INT $PID 2>/dev/null; wait $PID 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    ss -Hltn "sport = :$TCP_PORT" 2>/dev/null | grep -q LISTEN && break
    sleep 0.1
done
echo "server pid $PID on TCP $TCP_PORT UDP $UDP_PORT; output in $OUT"
"$BUILD/bench/soak" --port "$TCP_PORT" --udp-port "$UDP_PORT" --server-pid "$PID" --seconds "$DURATION" "$@" |
    tee "$OUT/soak.txt"
