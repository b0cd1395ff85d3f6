#!/usr/bin/env bash
# File transfers through the server against a plain TCP copy of the same bytes, measured
# side by side in one run on loopback: upload and download throughput of a SIZE_MIB file
# with the project's own client (bench/filebench) and with a simple Python client
# (bench/filebench.py, 1 MiB reads and writes), the server's memory growth during a download
# to a reader slower than the disk, and the voice latency of the realistic load (50 channels
# x 10 users, one talker each at 50 pps) with and without transfers running. The server runs
# on core 0, the clients on core 1.
#
# Environment (and those of bench/bench_lib.sh: SKIP_BUILD, OUT, PIN, AWAKE, VOICE_REALTIME):
#   SIZE_MIB=1024   size of the file
#   REPS=5          runs of each throughput figure, alternating plain copy and server
#   READ_RATE=100   MB/s of the slow reader
#   VOICE_ONLY=1    measure only the voice latency with and without transfers
#   PYTHON=python3  the interpreter of the simple client; PYTHON= leaves that client out
. "$(dirname "$0")/bench_lib.sh"
bench_init filebench
SIZE_MIB=${SIZE_MIB:-1024}
REPS=${REPS:-5}
READ_RATE=${READ_RATE:-100}
PYTHON=${PYTHON-python3}
build_targets quorvane-server loadgen filebench tcpcopy
# Both sides of a comparison do the same work. A download's receiver, the plain copy's as
# the client's, discards what it reads in the timed runs: writing a fresh file would measure
# the receiving machine's page allocation (on a virtual machine first touches of memory cost
# ten times the copy itself), not the server. An upload's plain receiver writes into the
# server's directory, on the file system where the server writes its files. Every client
# then moves the file once more into a real file, compared with the original.
SINK=$(mktemp -d /dev/shm/quorvane-filebench.XXXXXX)
SCRATCH+=("$SINK")

# --- the server, sharing files in its directory's files/ ----------------------------------
SHARE_FILES=1
start_spinner
start_server || exit 1
COPY_PORT=$((EXTRA_PORT + 100))  # and up: a port of its own for every plain copy
DIR=$SERVER_DIR

log "making a ${SIZE_MIB} MiB file"
head -c "$((SIZE_MIB * 1048576))" /dev/urandom >"$OUT/in.bin"
sync

client() { "${CLIENT_ON[@]}" "$@"; }

# --- throughput: plain copies and server, alternating -------------------------------------
# The plain copy runs on the same cores as the transfer it is compared with: towards the
# server's core for uploads, from it for downloads.
pin_to() {  # core command...: on that core when pinned
    if [ "$PIN" = 1 ]; then taskset -c "$@"; else shift; "$@"; fi
}
plain_copy() {  # sender-core receiver-core rep destination
    [ "$4" = /dev/null ] || rm -f "$4"
    sync
    pin_to "$2" "$TCPCOPY" --recv "$COPY_PORT" "$4" >"$OUT/plain-$1$2-$3.out" &
    local receiver=$!
    for _ in $(seq 50); do grep -q listening "$OUT/plain-$1$2-$3.out" 2>/dev/null && break; sleep 0.1; done
    pin_to "$1" "$TCPCOPY" --send "$COPY_PORT" "$OUT/in.bin"
    wait "$receiver"
    COPY_PORT=$((COPY_PORT + 1))
    [ "$4" = /dev/null ] || rm -f "$4"
    grep '^RESULT' "$OUT/plain-$1$2-$3.out"
}
# An upload and a download through the server with the client given, the download
# discarded.
through_server() {  # label upload-array download-array file-name client...
    local label=$1 name=$4 line
    local -n ups=$2 downs=$3
    shift 4
    sync
    line=$(client "$@" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" --file "$OUT/in.bin" --out /dev/null \
        --name "$name" | grep '^RESULT')
    log "$label: $line"
    ups+=("$(field upload_mbps "$line")")
    downs+=("$(field download_mbps "$line")")
}
# The same, untimed, into a real file compared with the original.
verify_client() {  # file-name client...
    local name=$1
    shift
    client "$@" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" --file "$OUT/in.bin" --out "$SINK/down.bin" \
        --name "$name" >/dev/null
    cmp -s "$OUT/in.bin" "$SINK/down.bin" || identical=no
    rm -f "$SINK/down.bin"
}
plain_up=() plain_down=() up=() down=() py_up=() py_down=() identical=yes rss_growth=""
[ "${VOICE_ONLY:-0}" = 1 ] && REPS=0
for rep in $(seq "$REPS"); do
    line=$(plain_copy "$CLIENT_CORE" "$TARGET_CORE" "$rep" "$DIR/plain.out")
    log "plain copy towards the server's core, run $rep: $line"
    plain_up+=("$(field mbps "$line")")
    line=$(plain_copy "$TARGET_CORE" "$CLIENT_CORE" "$rep" /dev/null)
    log "plain copy from the server's core, run $rep: $line"
    plain_down+=("$(field mbps "$line")")

    through_server "server run $rep" up down "run$rep.bin" "$FILEBENCH"
    [ -n "$PYTHON" ] && through_server "simple Python client run $rep" py_up py_down "py$rep.bin" \
        "$PYTHON" "$ROOT/bench/filebench.py"
done
if [ "$REPS" -gt 0 ]; then
    verify_client check.bin "$FILEBENCH"
    [ -n "$PYTHON" ] && verify_client pycheck.bin "$PYTHON" "$ROOT/bench/filebench.py"
fi

# --- memory: a download to a reader slower than the disk ----------------------------------
[ "${VOICE_ONLY:-0}" = 1 ] || {
line=$(client "$FILEBENCH" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" --server-pid "$TARGET_PID" \
    --file "$OUT/in.bin" --out "$SINK/slow.bin" --name "run1.bin" --skip-upload --read-rate "$READ_RATE" | grep '^RESULT')
log "slow reader at $READ_RATE MB/s: $line"
rss_growth=$(field rss_growth_kib "$line")
cmp -s "$OUT/in.bin" "$SINK/slow.bin" || identical=no
rm -f "$SINK/slow.bin"
}

# --- voice latency with and without a transfer running -------------------------------------
voice() {  # name
    "${CLIENT_ON[@]}" timeout 300 "$LOADGEN" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" \
        --server-pid "$TARGET_PID" --users 500 --channels 50 --talkers 1 --rate 50 --duration 8 --warmup 1 \
        --max-time 120 $([ "$VOICE_REALTIME" = 1 ] && echo --realtime) >"$OUT/$1.out" 2>"$OUT/$1.err"
    grep '^RESULT' "$OUT/$1.out" | tail -1
}
quiet=$(voice voice-quiet)
log "voice, no transfer: $quiet"
"${CLIENT_ON[@]}" "$FILEBENCH" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" --file "$OUT/in.bin" --out "$SINK/loop.bin" \
    --name loop --loops 100 --no-sync >"$OUT/loop.out" 2>&1 &
LOOP=$!
busy=$(voice voice-transfer)
kill "$LOOP" 2>/dev/null
wait "$LOOP" 2>/dev/null
rm -f "$SINK/loop.bin"
log "voice, transfers running: $busy"
log "transfers during the voice run: $(grep -c '^RESULT' "$OUT/loop.out") finished (each: upload and download, back to back)"
stop_target
rm -f "$OUT/in.bin"
rm -rf "$DIR/files"

PU=$(median "${plain_up[@]}")
PD=$(median "${plain_down[@]}")
U=$(median "${up[@]}")
D=$(median "${down[@]}")
PU2=$(median "${py_up[@]}")
PD2=$(median "${py_down[@]}")
log ""
log "| figure | value | target |"
log "|---|---|---|"
log "| plain TCP copy towards the server's core, MB/s (median of $REPS) | $PU | |"
log "| upload through the server, MB/s | $U ($(ratio "$U" "$PU") of plain) | >= 0.9: $(meets "$(ratio "$U" "$PU")" ">=" 0.9) |"
log "| same, simple Python client, MB/s | $PU2 ($(ratio "$PU2" "$PU") of plain) | >= 0.9: $(meets "$(ratio "$PU2" "$PU")" ">=" 0.9) |"
log "| plain TCP copy from the server's core, MB/s | $PD | |"
log "| download through the server, MB/s | $D ($(ratio "$D" "$PD") of plain) | >= 0.9: $(meets "$(ratio "$D" "$PD")" ">=" 0.9) |"
log "| same, simple Python client, MB/s | $PD2 ($(ratio "$PD2" "$PD") of plain) | >= 0.9: $(meets "$(ratio "$PD2" "$PD")" ">=" 0.9) |"
log "| transferred files byte-identical | $identical | yes |"
log "| server RSS growth during a download read at $READ_RATE MB/s, KiB | $rss_growth | <= 4096 |"
log "| voice p99 latency, no transfer, us | $(field p99_us "$quiet") | < 1000 |"
log "| voice p99 latency, transfers running, us | $(field p99_us "$busy") | < 1000: $(meets "$(field p99_us "$busy")" "<" 1000) |"
log "| voice loss, transfers running, % | $(field loss_pct "$busy") | |"
log "logs in $OUT"
