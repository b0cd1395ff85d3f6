# The preamble every benchmark script shares; sourced, then `bench_init NAME` and
# `build_targets TARGET...`. It gives: the Release build, the scratch directory ($OUT, logs
# and results), fresh ports for every start, the server's settings, the server's start and
# stop, the spinner, the voice client, the metrics scraper, and the clean-up on exit.
#
# Environment every script reads:
#   SKIP_BUILD=1    use the binaries already in $BUILD (default build/bench)
#   OUT=dir         where logs go (a new directory under /tmp by default)
#   PIN=1           the server on core TARGET_CORE (0), the clients on CLIENT_CORE (1);
#                   0 leaves both to the scheduler
#   AWAKE=1         an idle-priority spinner keeps the server's core (unpinned: every core)
#                   out of the idle halt; this virtual machine takes milliseconds to wake one
#   VOICE_REALTIME=1  the voice client talks at real-time priority (SCHED_FIFO 1) and sleeps
#                   to each packet's due time, so that the other clients on its core do not
#                   make its packets leave in bunches
#   METRICS=1, or METRICS_URL=http://127.0.0.1:PORT/metrics   the server serves its metrics
#                   there (settings element metrics-address) and the scripts that can
#                   scrape it every 100 ms do so

bench_init() {  # name
    set -u
    # Thousands of connections on both sides: take every descriptor the hard limit allows.
    ulimit -n "$(ulimit -Hn)"
    ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    BUILD=${BUILD:-$ROOT/build/bench}
    OUT=${OUT:-$(mktemp -d "/tmp/quorvane-$1.XXXXXX")}
    mkdir -p "$OUT"
    TARGET_CORE=${TARGET_CORE:-0}
    CLIENT_CORE=${CLIENT_CORE:-1}
    LOADGEN_CORE=$CLIENT_CORE
    PIN=${PIN:-1}
    AWAKE=${AWAKE:-1}
    VOICE_REALTIME=${VOICE_REALTIME:-1}
    METRICS=${METRICS:-0}
    METRICS_URL=${METRICS_URL:-}
    [ -n "$METRICS_URL" ] && METRICS=1
    PORT_BASE=$((20000 + RANDOM % 20000))
    SPINNER=""
    TARGET_PID=""
    VOICE_PID=""
    SCRAPE_PID=""
    SCRATCH=()
    pinning
    trap bench_cleanup EXIT
    trap 'exit 130' INT TERM
}

bench_cleanup() {
    local pid
    for pid in $VOICE_PID $SCRAPE_PID; do kill "$pid" 2>/dev/null; done
    stop_target
    stop_spinner
    [ ${#SCRATCH[@]} -gt 0 ] && rm -rf "${SCRATCH[@]}"
    return 0
}

log() { printf '%s\n' "$*" | tee -a "$OUT/bench.log"; }

field() {  # name line: the value of name=value in a RESULT line
    printf '%s\n' "$2" | tr ' ' '\n' | sed -n "s/^$1=//p" | head -1
}

median() {  # numbers...
    printf '%s\n' "$@" | grep -E '^-?[0-9.]+$' | sort -g | awk '{v[NR]=$1} END {
        if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2 }'
}

highest() {  # numbers...: the largest, or n/a
    printf '%s\n' "$@" | grep -E '^-?[0-9.]+$' | sort -g | tail -1 | grep . || echo n/a
}

ratio() {  # a b
    awk -v a="$1" -v b="$2" 'BEGIN { if (a+0 == a && b+0 == b && b != 0) printf "%.2f", a/b; else print "n/a" }'
}

us_to_ms() { awk -v v="$1" 'BEGIN { if (v + 0 == v) printf "%.3f", v / 1000; else print "n/a" }'; }

# "yes" when the value meets the target ("< 1", "<= 0.1", ">= 0.9"), "NO" when not, "n/a"
# when there is no value.
meets() {  # value operator limit
    awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN {
        if (v + 0 != v) { print "n/a"; exit }
        ok = (op == "<" && v < l) || (op == "<=" && v <= l) || (op == ">" && v > l) || (op == ">=" && v >= l)
        print ok ? "yes" : "NO" }'
}

# Builds Release in $BUILD unless SKIP_BUILD=1; names the binaries.
build_targets() {  # targets...
    if [ "${SKIP_BUILD:-0}" != 1 ]; then
        log "building Release in $BUILD"
        cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_BENCH=ON -DQUORVANE_TESTS=OFF \
            >"$OUT/cmake.log" 2>&1 &&
            cmake --build "$BUILD" -j2 --target "$@" >"$OUT/build.log" 2>&1 || {
            log "build failed, see $OUT/cmake.log and $OUT/build.log"
            tail -20 "$OUT/build.log"
            exit 1
        }
    fi
    SERVER_BIN=$BUILD/quorvane-server
    LOADGEN=$BUILD/bench/loadgen
    MINRELAY=$BUILD/bench/minrelay
    MINBROADCAST=$BUILD/bench/minbroadcast
    FILEBENCH=$BUILD/bench/filebench
    TCPCOPY=$BUILD/bench/tcpcopy
    SOAK=$BUILD/bench/soak
    SCRAPE=$BUILD/bench/scrape
    local t
    for t in "$@"; do
        [ "$t" = quorvane-server ] && t=../quorvane-server
        [ -x "$BUILD/bench/$t" ] || { log "missing $BUILD/bench/$t"; exit 1; }
    done
}

# Where a process runs, as a command prefix: "${SERVER_ON[@]}" and "${CLIENT_ON[@]}" pin to the
# server's and the clients' core when PIN=1, and are empty when not. start_server sets them.
pinning() {
    SERVER_ON=() CLIENT_ON=()
    if [ "$PIN" = 1 ]; then
        SERVER_ON=(taskset -c "$TARGET_CORE")
        CLIENT_ON=(taskset -c "$CLIENT_CORE")
    fi
}

start_spinner() {
    [ "$AWAKE" = 1 ] && [ -z "$SPINNER" ] || return 0
    local core cores=$TARGET_CORE
    [ "$PIN" = 1 ] || cores=$(seq 0 $(($(nproc) - 1)))
    for core in $cores; do
        chrt -i 0 taskset -c "$core" sh -c 'while :; do :; done' &
        SPINNER="$SPINNER $!"
    done
}

stop_spinner() {
    [ -n "$SPINNER" ] || return 0
    local pid
    for pid in $SPINNER; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    SPINNER=""
}

# Stops the measured process with SIGINT, or SIGKILL when it does not end in 10 s.
stop_target() {
    [ -n "$TARGET_PID" ] || return 0
    kill -INT "$TARGET_PID" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$TARGET_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$TARGET_PID" 2>/dev/null
    wait "$TARGET_PID" 2>/dev/null
    TARGET_PID=""
}

# A fresh set of three ports (commands, voice, metrics) for every start, so that
# connections of an earlier run still in TIME_WAIT never collide with a new one.
next_ports() {
    while :; do
        PORT_BASE=$((PORT_BASE + 3))
        [ "$PORT_BASE" -gt 60000 ] && PORT_BASE=20000
        TCP_PORT=$PORT_BASE
        UDP_PORT=$((PORT_BASE + 1))
        EXTRA_PORT=$((PORT_BASE + 2))
        if ! ss -Htanu 2>/dev/null | grep -qE "[:.]($TCP_PORT|$UDP_PORT|$EXTRA_PORT)[[:space:]]"; then
            return
        fi
    done
}

# The server's settings in DIR, on the current ports. Every client comes from 127.0.0.1,
# so the per-address limits are off. Read from the environment:
#   SHARE_FILES=1   a files root, DIR/files, with the static channel /files/ of 1 TB
#   CHANNEL_QUOTA   bytes a channel created by joining may hold (0)
#   ADMIN_PASSWORD  the administrator account "admin" with that password (none: no account)
#   LOGIN_TIMEOUT   seconds (0: off)
#   COMMAND_RATE, COMMAND_BURST   the per-connection command throttle (the server's defaults
#                   when unset; a server without one ignores them)
#   EXTRA_SETTINGS  more elements, as XML
# With METRICS=1 the server serves its metrics on METRICS_URL's address, or on the third
# port; SCRAPE_URL says where.
write_settings() {  # dir
    local files="" channels="" admin="" metrics="" throttle=""
    if [ "${SHARE_FILES:-0}" = 1 ]; then
        files=$1/files
        mkdir -p "$files"
        channels='<channel><name>files</name><password></password><topic></topic><diskquota>1000000000000</diskquota></channel>'
    fi
    [ -n "${ADMIN_PASSWORD:-}" ] &&
        admin="<admin-enabled>true</admin-enabled><admin-username>admin</admin-username><admin-password>$ADMIN_PASSWORD</admin-password>"
    [ -n "$admin" ] || admin='<admin-enabled>false</admin-enabled><admin-username></admin-username><admin-password></admin-password>'
    [ -n "${COMMAND_RATE:-}" ] && throttle="<command-rate>$COMMAND_RATE</command-rate>"
    [ -n "${COMMAND_BURST:-}" ] && throttle="$throttle<command-burst>$COMMAND_BURST</command-burst>"
    SCRAPE_URL=""
    if [ "$METRICS" = 1 ]; then
        SCRAPE_URL=${METRICS_URL:-http://127.0.0.1:$EXTRA_PORT/metrics}
        metrics=$(printf '%s' "$SCRAPE_URL" | sed -E 's#^http://([^/]+).*#\1#')
        metrics="<metrics-address>$metrics</metrics-address>"
    fi
    printf '%s' '<?xml version="1.0" encoding="utf-8"?><quorvane version="3.3"><hosting>' \
        "<server-name>${SERVER_NAME:-Bench}</server-name><server-password></server-password><root-topic></root-topic>" \
        '<root-diskquota>0</root-diskquota><motd></motd>' \
        "<hostport>$TCP_PORT</hostport><soundport>$UDP_PORT</soundport><bind-ip>127.0.0.1</bind-ip>" \
        '<max-users>30000</max-users><allow-channel-creation>true</allow-channel-creation>' \
        '<allow-operators>true</allow-operators><server-logging>false</server-logging>' "$admin" \
        "<files-root>$files</files-root><channel-diskquota>${CHANNEL_QUOTA:-0}</channel-diskquota>" \
        "<static-channels>$channels</static-channels>" \
        '<max-connections-per-address>0</max-connections-per-address><password-lockout>0</password-lockout>' \
        "<login-timeout>${LOGIN_TIMEOUT:-0}</login-timeout><max-channels>0</max-channels>" \
        "$throttle$metrics${EXTRA_SETTINGS:-}" '</hosting></quorvane>' >"$1/QuorvaneService.xml"
}

# Starts the server on fresh ports in $OUT/server-PORT (it reads its settings from the
# directory its binary is in) and waits until it listens; TARGET_PID is the server.
start_server() {
    next_ports
    SERVER_DIR="$OUT/server-$TCP_PORT"
    mkdir -p "$SERVER_DIR"
    cp "$SERVER_BIN" "$SERVER_DIR/"
    write_settings "$SERVER_DIR"
    pinning
    (cd "$SERVER_DIR" && exec "${SERVER_ON[@]}" ./quorvane-server -d >server.out 2>server.err) &
    TARGET_PID=$!
    for _ in $(seq 100); do
        ss -Hltn "sport = :$TCP_PORT" 2>/dev/null | grep -q LISTEN && return 0
        kill -0 "$TARGET_PID" 2>/dev/null || break
        sleep 0.1
    done
    log "server did not start on port $TCP_PORT (see $SERVER_DIR/server.err)"
    stop_target
    return 1
}

# How much the host takes the server's core away (a spinning probe, 3 s): latency tails
# below a few milliseconds cannot be judged on a machine that stalls more than that.
probe() {
    taskset -c "$TARGET_CORE" "$LOADGEN" --stall-probe 3 | grep '^RESULT'
}

# The realistic voice load (VOICE_USERS=500 users in VOICE_CHANNELS=50 channels, one talker
# each at 50 packets/s of 100 bytes) against the running server, on until the stop file appears (at most 400 s);
# its latency is reported over the whole run and over the windows another client writes
# to $OUT/NAME.window. Waits until it talks.
start_voice() {  # name
    rm -f "$OUT/$1.stop" "$OUT/$1.window"
    local rt=()
    [ "$VOICE_REALTIME" = 1 ] && rt=(--realtime)
    [ -n "${VOICE_DUMP:-}" ] && rt+=(--dump "$VOICE_DUMP")
    "${CLIENT_ON[@]}" timeout 500 "$LOADGEN" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" --server-pid "$TARGET_PID" \
        --users "${VOICE_USERS:-500}" --channels "${VOICE_CHANNELS:-50}" --talkers 1 --rate 50 --duration 400 --warmup 1 --max-time 480 "${rt[@]}" \
        --stop-file "$OUT/$1.stop" --window-file "$OUT/$1.window" >"$OUT/$1-voice.out" 2>"$OUT/$1-voice.err" &
    VOICE_PID=$!
    for _ in $(seq 1200); do
        grep -q '^SETUP' "$OUT/$1-voice.out" 2>/dev/null && break
        kill -0 "$VOICE_PID" 2>/dev/null || break
        sleep 0.1
    done
    sleep 3  # past the joins' announcements and the warm-up
}

stop_voice() {  # name
    touch "$OUT/$1.stop"
    wait "$VOICE_PID"
    VOICE_PID=""
}

# The voice client's figures: V_P99 V_P999 V_MAX V_LOSS over the whole run, and
# W_P99 W_P999 W_MAX W_COPIES over the window named (empty: the main one).
voice_figures() {  # name [window-name]
    local voice window
    voice=$(grep '^RESULT' "$OUT/$1-voice.out" | tail -1)
    if [ -n "${2:-}" ]; then
        window=$(grep "^WINDOW name=$2 " "$OUT/$1-voice.out" | tail -1)
    else
        window=$(grep '^WINDOW' "$OUT/$1-voice.out" | grep -v '^WINDOW name=' | tail -1)
    fi
    V_P99=$(field p99_us "$voice") V_P999=$(field p999_us "$voice") V_MAX=$(field max_us "$voice")
    V_LOSS=$(field loss_pct "$voice")
    W_P99=$(field p99_us "$window") W_P999=$(field p999_us "$window") W_MAX=$(field max_us "$window")
    W_COPIES=$(field copies "$window")
}

# A fresh server, the voice load, and one load generator client against both (its output in
# $OUT/NAME-client.out, bounded by the seconds given); then all stop. Its RESULT line goes
# to CLIENT_RESULT and the voice's figures to V_* and W_* (voice_figures, the main window).
voice_run() {  # name seconds loadgen-args...
    local name=$1 seconds=$2
    shift 2
    CLIENT_RESULT=""
    start_spinner
    start_server || return 1
    start_voice "$name"
    "${CLIENT_ON[@]}" timeout "$seconds" "$LOADGEN" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" \
        --server-pid "$TARGET_PID" --window-file "$OUT/$name.window" --max-time "$((seconds - 10))" "$@" \
        >"$OUT/$name-client.out" 2>"$OUT/$name-client.err"
    CLIENT_RESULT=$(grep '^RESULT' "$OUT/$name-client.out" | tail -1)
    stop_voice "$name"
    stop_target
    log "$name: $CLIENT_RESULT"
}

# Runs `function NAME` for NAME = PREFIX-1 .. PREFIX-COUNT, lists them in RUNS, then
# measures the host's stalls again (PROBE_AFTER).
repeat_runs() {  # prefix count function
    local rep
    RUNS=()
    for rep in $(seq "$2"); do
        "$3" "$1-$rep"
        RUNS+=("$1-$rep")
    done
    stop_spinner
    PROBE_AFTER=$(probe)
    log "host stalls on core $TARGET_CORE after: $PROBE_AFTER"
}

# A run's voice figures into a table (an associative array): over the main window NAME.p99,
# .p999, .max and .loss (over the whole run); over each other window named, NAME.WINDOW_p99
# and NAME.WINDOW_p999.
record_voice() {  # table name [window...]
    local -n table=$1
    local name=$2 w
    shift 2
    for w in "$@"; do
        voice_figures "$name" "$w"
        table[$name.${w}_p99]=$W_P99 table[$name.${w}_p999]=$W_P999
    done
    voice_figures "$name"
    table[$name.p99]=$W_P99 table[$name.p999]=$W_P999 table[$name.max]=$W_MAX table[$name.loss]=$V_LOSS
    log "$name voice: p99_us=$W_P99 p999_us=$W_P999 max_us=$W_MAX copies=$W_COPIES; loss over the run $V_LOSS %"
}

# The machine's state around the runs, for the report's head.
machine_notes() {
    echo "Load average before: $LOAD_BEFORE; after: $(cut -d' ' -f1-3 /proc/loadavg)."
    echo "Host stalls of the server's core (spinning probe, 3 s): before: ${PROBE_BEFORE#RESULT };" \
        "after: ${PROBE_AFTER#RESULT }."
}

# The median or the largest of a figure over the runs named in RUNS, from a table
# (an associative array) keyed "run.figure".
over_runs() {  # median|highest table figure
    local -n table=$2
    local r vals=()
    for r in "${RUNS[@]}"; do vals+=("${table[$r.$3]:-}"); done
    "$1" "${vals[@]}"
}
# The same from the table named in FIGURES.
med() { over_runs median "$FIGURES" "$1"; }
worst() { over_runs highest "$FIGURES" "$1"; }

# Scrapes the server's metrics every 100 ms until stop_scrape, when METRICS is on.
start_scrape() {  # name
    [ "$METRICS" = 1 ] && [ -n "$SCRAPE_URL" ] || return 0
    rm -f "$OUT/$1.scrape-stop"
    "${CLIENT_ON[@]}" "$SCRAPE" --url "$SCRAPE_URL" --interval 0.1 --stop-file "$OUT/$1.scrape-stop" --max-time 900 \
        >"$OUT/$1-scrape.out" 2>"$OUT/$1-scrape.err" &
    SCRAPE_PID=$!
}

stop_scrape() {  # name: the scraper's RESULT line goes to SCRAPE_RESULT
    SCRAPE_RESULT=""
    [ -n "$SCRAPE_PID" ] || return 0
    touch "$OUT/$1.scrape-stop"
    wait "$SCRAPE_PID"
    SCRAPE_PID=""
    SCRAPE_RESULT=$(grep '^RESULT' "$OUT/$1-scrape.out" | tail -1)
}
