#!/usr/bin/env bash
# TLS handshakes a second and the server's CPU per line over TLS against plain text, on a
# Release server (bench/README.md, "TLS"). Usage: bash bench/tls_bench.sh
#   TLS_SECONDS=10   how long the handshakes run      TLS_LINES=200000   pings per port
source "$(dirname "$0")/bench_lib.sh"
bench_init tls
build_targets quorvane-server tlsbench
scratch=$(mktemp -d)
SCRATCH+=("$scratch")
(cd "$scratch" && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj /CN=localhost >/dev/null 2>&1)
# The third port of the next start's (start_server moves PORT_BASE on by 3); no metrics here.
METRICS=0
TLS_PORT=$((PORT_BASE + 5))
COMMAND_RATE=0
EXTRA_SETTINGS="<tls-port>$TLS_PORT</tls-port><certificate-file>$scratch/cert.pem</certificate-file><privatekey-file>$scratch/key.pem</privatekey-file>"
start_server
ss -Hltn "sport = :$TLS_PORT" | grep -q LISTEN || { log "the TLS port $TLS_PORT is not open"; exit 1; }
log "$("$BUILD/bench/tlsbench" "$TARGET_PID" "$TCP_PORT" "$TLS_PORT" "${TLS_SECONDS:-10}" "${TLS_LINES:-200000}")"
