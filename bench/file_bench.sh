#!/usr/bin/env bash
# File transfers through the server against a plain TCP copy of the same bytes, measured
# side by side in one run on loopback: upload and download throughput of a SIZE_MIB file,
# the server's memory growth during a download to a reader slower than the disk, and the
# voice latency of the realistic load (50 channels x 10 users, one talker each at 50 pps)
# with and without a transfer running. The server runs on core 0, the clients on core 1.
#
# Environment:
#   SIZE_MIB=1024   size of the file
#   REPS=3          runs of each throughput figure, alternating plain copy and server
#   READ_RATE=100   MB/s of the slow reader
#   AWAKE=1         keep the server's core out of the idle halt with an idle-priority spinner
#                   (this virtual machine takes milliseconds to wake a halted core)
#   SKIP_BUILD=1    use the binaries already in build/bench
#   VOICE_ONLY=1    measure only the voice latency with and without transfers
#   OUT=dir         where logs and files go (a new directory under /tmp by default)
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build/bench
SIZE_MIB=${SIZE_MIB:-1024}
REPS=${REPS:-3}
READ_RATE=${READ_RATE:-100}
AWAKE=${AWAKE:-1}
SPINNER=""
OUT=${OUT:-$(mktemp -d /tmp/quorvane-filebench.XXXXXX)}
mkdir -p "$OUT"
# What the clients receive goes to memory: the receiving client's disk writeback would
# otherwise be measured, and it swings by a factor of five on this machine. The server's
# own files stay on disk.
SINK=$(mktemp -d /dev/shm/quorvane-filebench.XXXXXX)
TARGET_CORE=0
CLIENT_CORE=1
TARGET_PID=""
TCP_PORT=$((20000 + RANDOM % 20000))  # and the next two
UDP_PORT=$((TCP_PORT + 1))
COPY_PORT=$((TCP_PORT + 2))

. "$ROOT/bench/bench_lib.sh"

cleanup() {
    stop_target
    stop_spinner
    rm -rf "$SINK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "${SKIP_BUILD:-0}" != 1 ]; then
    log "building Release in $BUILD"
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_BENCH=ON -DQUORVANE_TESTS=OFF \
        >"$OUT/cmake.log" 2>&1 &&
        cmake --build "$BUILD" -j2 --target quorvane-server loadgen filebench tcpcopy >"$OUT/build.log" 2>&1 || {
        log "build failed, see $OUT/build.log"
        exit 1
    }
fi
SERVER_BIN=$BUILD/quorvane-server
FILEBENCH=$BUILD/bench/filebench
TCPCOPY=$BUILD/bench/tcpcopy
LOADGEN=$BUILD/bench/loadgen

# --- the server, sharing files in $OUT/server/files --------------------------------------
DIR=$OUT/server
mkdir -p "$DIR/files"
cp "$SERVER_BIN" "$DIR/"
printf '%s' '<?xml version="1.0" encoding="utf-8"?><quorvane version="3.3"><hosting>' \
    '<server-name>Bench</server-name><server-password></server-password><root-topic></root-topic>' \
    '<root-diskquota>0</root-diskquota><motd></motd>' \
    "<hostport>$TCP_PORT</hostport><soundport>$UDP_PORT</soundport><bind-ip>127.0.0.1</bind-ip>" \
    '<max-users>30000</max-users><allow-channel-creation>true</allow-channel-creation>' \
    '<allow-operators>true</allow-operators><server-logging>false</server-logging>' \
    '<admin-enabled>false</admin-enabled><admin-username></admin-username><admin-password></admin-password>' \
    "<files-root>$DIR/files</files-root><channel-diskquota>0</channel-diskquota><static-channels>" \
    '<channel><name>files</name><password></password><topic></topic><diskquota>1000000000000</diskquota></channel>' \
    '</static-channels>' \
    '<max-connections-per-address>0</max-connections-per-address><password-lockout>0</password-lockout>' \
    '<login-timeout>0</login-timeout><max-channels>0</max-channels>' \
    '</hosting></quorvane>' >"$DIR/QuorvaneService.xml"
start_spinner
(cd "$DIR" && exec taskset -c "$TARGET_CORE" ./quorvane-server -d >server.out 2>server.err) &
TARGET_PID=$!
for _ in $(seq 100); do
    ss -Hltn "sport = :$TCP_PORT" 2>/dev/null | grep -q LISTEN && break
    sleep 0.1
done

log "making a ${SIZE_MIB} MiB file"
head -c "$((SIZE_MIB * 1048576))" /dev/urandom >"$OUT/in.bin"
sync

client() { taskset -c "$CLIENT_CORE" "$@"; }

# --- throughput: plain copies and server, alternating -------------------------------------
# The plain copy runs on the same cores as the transfer it is compared with: towards the
# server's core for uploads, from it for downloads.
plain_copy() {  # sender-core receiver-core rep
    rm -f "$SINK/plain.out"
    sync
    taskset -c "$2" "$TCPCOPY" --recv "$COPY_PORT" "$SINK/plain.out" >"$OUT/plain-$1$2-$3.out" &
    local receiver=$!
    for _ in $(seq 50); do grep -q listening "$OUT/plain-$1$2-$3.out" 2>/dev/null && break; sleep 0.1; done
    taskset -c "$1" "$TCPCOPY" --send "$COPY_PORT" "$OUT/in.bin"
    wait "$receiver"
    COPY_PORT=$((COPY_PORT + 1))
    rm -f "$SINK/plain.out"
    grep '^RESULT' "$OUT/plain-$1$2-$3.out"
}
plain_up=() plain_down=() up=() down=() identical=yes rss_growth=""
[ "${VOICE_ONLY:-0}" = 1 ] && REPS=0
for rep in $(seq "$REPS"); do
    line=$(plain_copy "$CLIENT_CORE" "$TARGET_CORE" "$rep")
    log "plain copy towards the server's core, run $rep: $line"
    plain_up+=("$(field mbps "$line")")
    line=$(plain_copy "$TARGET_CORE" "$CLIENT_CORE" "$rep")
    log "plain copy from the server's core, run $rep: $line"
    plain_down+=("$(field mbps "$line")")

    sync
    line=$(client "$FILEBENCH" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" --server-pid "$TARGET_PID" \
        --file "$OUT/in.bin" --out "$SINK/down.bin" --name "run$rep.bin" | grep '^RESULT')
    log "server run $rep: $line"
    up+=("$(field upload_mbps "$line")")
    down+=("$(field download_mbps "$line")")
    cmp -s "$OUT/in.bin" "$SINK/down.bin" || identical=no
    rm -f "$SINK/down.bin"
done

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
    timeout 300 taskset -c "$CLIENT_CORE" "$LOADGEN" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" \
        --server-pid "$TARGET_PID" --users 500 --channels 50 --talkers 1 --rate 50 --duration 8 --warmup 1 \
        --max-time 120 >"$OUT/$1.out" 2>"$OUT/$1.err"
    grep '^RESULT' "$OUT/$1.out" | tail -1
}
quiet=$(voice voice-quiet)
log "voice, no transfer: $quiet"
client "$FILEBENCH" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" --file "$OUT/in.bin" --out "$SINK/loop.bin" \
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
log ""
log "| figure | value | target |"
log "|---|---|---|"
log "| plain TCP copy towards the server's core, MB/s (median of $REPS) | $PU | |"
log "| upload through the server, MB/s | $U ($(ratio "$U" "$PU") of plain) | >= 0.8 |"
log "| plain TCP copy from the server's core, MB/s | $PD | |"
log "| download through the server, MB/s | $D ($(ratio "$D" "$PD") of plain) | >= 0.8 |"
log "| transferred files byte-identical | $identical | yes |"
log "| server RSS growth during a download read at $READ_RATE MB/s, KiB | $rss_growth | <= 4096 |"
log "| voice p99 latency, no transfer, us | $(field p99_us "$quiet") | < 1000 |"
log "| voice p99 latency, transfers running, us | $(field p99_us "$busy") | < 1000 |"
log "| voice loss, transfers running, % | $(field loss_pct "$busy") | |"
log "logs in $OUT"
