#!/usr/bin/env bash
# Builds the server and the benchmark programs in Release and measures the server against
# the minimal relay on loopback: the target (server or relay) runs on one core, the load
# generator on the other, each figure REPS times; prints the medians and a markdown table.
# `bench/run_bench.sh storm` measures voice under a control-plane storm instead (see
# bench/storm.sh for its own settings).
#
# Environment:
#   REPS=3          runs per figure (the median is reported)
#   PHASE=1.5       measured seconds of each phase of the rate search
#   SCALE_USERS=10000 SCALE_JOINERS=1000   the scale figure
#   AWAKE=1         keep the target's core out of the idle halt with an idle-priority
#                   spinner (this virtual machine takes milliseconds to wake a halted core)
#   SKIP_BUILD=1    use the binaries already in build/bench
#   OUT=dir         where logs go (a new directory under /tmp by default)
set -u
# Thousands of connections on both sides: take every descriptor the hard limit allows.
ulimit -n "$(ulimit -Hn)"

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build/bench
REPS=${REPS:-3}
PHASE=${PHASE:-1.5}
SCALE_USERS=${SCALE_USERS:-10000}
SCALE_JOINERS=${SCALE_JOINERS:-1000}
AWAKE=${AWAKE:-1}
TARGET_CORE=0
LOADGEN_CORE=1
OUT=${OUT:-$(mktemp -d /tmp/quorvane-bench.XXXXXX)}
mkdir -p "$OUT"
PORT_BASE=$((20000 + RANDOM % 20000))
SPINNER=""
TARGET_PID=""

. "$ROOT/bench/bench_lib.sh"

cleanup() {
    [ -n "$TARGET_PID" ] && stop_target
    [ -n "$SPINNER" ] && kill "$SPINNER" 2>/dev/null && wait "$SPINNER" 2>/dev/null
    SPINNER=""
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- build ---------------------------------------------------------------------------
if [ "${SKIP_BUILD:-0}" != 1 ]; then
    log "building Release in $BUILD"
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_BENCH=ON -DQUORVANE_TESTS=OFF \
        >"$OUT/cmake.log" 2>&1 &&
        cmake --build "$BUILD" -j2 --target quorvane-server loadgen minrelay minbroadcast >"$OUT/build.log" 2>&1 || {
        log "build failed, see $OUT/cmake.log and $OUT/build.log"
        tail -20 "$OUT/build.log"
        exit 1
    }
fi
SERVER_BIN=$BUILD/quorvane-server
LOADGEN=$BUILD/bench/loadgen
MINRELAY=$BUILD/bench/minrelay
MINBROADCAST=$BUILD/bench/minbroadcast
for b in "$SERVER_BIN" "$LOADGEN" "$MINRELAY" "$MINBROADCAST"; do
    [ -x "$b" ] || { log "missing $b"; exit 1; }
done

# --- targets -------------------------------------------------------------------------
# A fresh port pair for every start, so that connections of an earlier run still in
# TIME_WAIT never collide with a new one.
next_ports() {
    while :; do
        PORT_BASE=$((PORT_BASE + 2))
        [ "$PORT_BASE" -gt 60000 ] && PORT_BASE=20000
        TCP_PORT=$PORT_BASE
        UDP_PORT=$((PORT_BASE + 1))
        if ! ss -Htanu 2>/dev/null | grep -qE "[:.]($TCP_PORT|$UDP_PORT)[[:space:]]"; then
            return
        fi
    done
}

start_server() {
    next_ports
    local dir="$OUT/server-$TCP_PORT"
    mkdir -p "$dir"
    # The server reads its settings from the directory its binary is in.
    cp "$SERVER_BIN" "$dir/"
    printf '%s' '<?xml version="1.0" encoding="utf-8"?><quorvane version="3.3"><hosting>' \
        '<server-name>Bench</server-name><server-password></server-password><root-topic></root-topic>' \
        '<root-diskquota>0</root-diskquota><motd></motd>' \
        "<hostport>$TCP_PORT</hostport><soundport>$UDP_PORT</soundport><bind-ip>127.0.0.1</bind-ip>" \
        '<max-users>30000</max-users><allow-channel-creation>true</allow-channel-creation>' \
        '<allow-operators>true</allow-operators><server-logging>false</server-logging>' \
        '<admin-enabled>false</admin-enabled><admin-username></admin-username><admin-password></admin-password>' \
        '<files-root></files-root><channel-diskquota>0</channel-diskquota><static-channels></static-channels>' \
        '<max-connections-per-address>0</max-connections-per-address><password-lockout>0</password-lockout>' \
        '<login-timeout>0</login-timeout><max-channels>0</max-channels>' \
        '</hosting></quorvane>' >"$dir/QuorvaneService.xml"
    (cd "$dir" && exec taskset -c "$TARGET_CORE" ./quorvane-server -d >server.out 2>server.err) &
    TARGET_PID=$!
    for _ in $(seq 100); do
        ss -Hltn "sport = :$TCP_PORT" 2>/dev/null | grep -q LISTEN && return 0
        kill -0 "$TARGET_PID" 2>/dev/null || break
        sleep 0.1
    done
    log "server did not start on port $TCP_PORT (see $dir/server.err)"
    stop_target
    return 1
}

start_relay() {  # users per channel [relay options]
    next_ports
    taskset -c "$TARGET_CORE" "$MINRELAY" --port "$UDP_PORT" --users-per-channel "$@" --duration 600 \
        >"$OUT/relay-$UDP_PORT.out" 2>"$OUT/relay-$UDP_PORT.err" &
    TARGET_PID=$!
    for _ in $(seq 50); do
        grep -q listening "$OUT/relay-$UDP_PORT.out" 2>/dev/null && return 0
        sleep 0.1
    done
    log "relay did not start (see $OUT/relay-$UDP_PORT.err)"
    stop_target
    return 1
}

# Runs the load generator against the running target; prints its RESULT line.
loadgen() {  # target-kind log-name args...
    local kind=$1 name=$2
    shift 2
    local extra=(--udp-port "$UDP_PORT" --server-pid "$TARGET_PID")
    if [ "$kind" = server ]; then
        extra+=(--tcp-port "$TCP_PORT")
    else
        extra+=(--relay)
    fi
    timeout 300 taskset -c "$LOADGEN_CORE" "$LOADGEN" "${extra[@]}" "$@" >"$OUT/$name.out" 2>"$OUT/$name.err"
    grep '^RESULT' "$OUT/$name.out" | tail -1
}

declare -A RESULT

# How much the host takes the target's core away, measured before and after: latency tails
# below a few milliseconds cannot be judged on a machine that stalls more than that.
probe() {
    taskset -c "$TARGET_CORE" "$LOADGEN" --stall-probe 3 | grep '^RESULT'
}
PROBE_BEFORE=$(probe)
log "host stalls on core $TARGET_CORE before: $PROBE_BEFORE"

if [ "${1:-}" = storm ]; then
    LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
    . "$ROOT/bench/storm.sh"
    exit
fi

# --- figure 1: highest delivered rate at <= 0.1% loss, one channel -----------------------
FANOUTS=("10 1" "100 1" "100 10")
for cfg in "${FANOUTS[@]}"; do
    read -r users talkers <<<"$cfg"
    label="${talkers}t+$((users - talkers))l"
    # "simple" is the relay with one system call per datagram, as the server makes them:
    # the gap between it and the relay is what batching the system calls is worth.
    for kind in server relay simple; do
        vals=() per=()
        for rep in $(seq "$REPS"); do
            start_spinner
            case $kind in
            server) start_server || continue ;;
            relay) start_relay "$users" || continue ;;
            simple) start_relay "$users" --simple || continue ;;
            esac
            line=$(loadgen "$kind" "search-$label-$kind-$rep" --users "$users" --channels 1 --talkers "$talkers" \
                --search --start-rate 1000 --duration "$PHASE" --warmup 0.3 --steps 12 --max-time 200)
            stop_target
            v=$(field delivered_cps "$line")
            per+=("$(field cpu_us_per_copy "$line")")
            log "fan-out $label $kind run $rep: delivered_cps=$v offered_pps=$(field offered_pps "$line") loss_pct=$(field loss_pct "$line")"
            vals+=("$v")
        done
        RESULT[$label.$kind]=$(median "${vals[@]}")
        RESULT[$label.per.$kind]=$(median "${per[@]}")
    done
done

# --- figure 2: realistic load, 50 channels x 10 users, one talker each at 50 pps --------
realistic() {  # suffix
    local suffix=$1 kind rep line
    for kind in server relay; do
        local cpu=() p99=() p50=() per=() loss=()
        for rep in $(seq "$REPS"); do
            if [ "$kind" = server ]; then start_server || continue; else start_relay 10 || continue; fi
            line=$(loadgen "$kind" "realistic$suffix-$kind-$rep" --users 500 --channels 50 --talkers 1 --rate 50 \
                --duration 5 --warmup 1 --max-time 120)
            stop_target
            log "realistic$suffix $kind run $rep: $line"
            cpu+=("$(field cpu_share "$line")")
            p99+=("$(field p99_us "$line")")
            p50+=("$(field p50_us "$line")")
            per+=("$(field cpu_us_per_copy "$line")")
            loss+=("$(field loss_pct "$line")")
        done
        RESULT[real$suffix.cpu.$kind]=$(median "${cpu[@]}")
        RESULT[real$suffix.p99.$kind]=$(median "${p99[@]}")
        RESULT[real$suffix.p50.$kind]=$(median "${p50[@]}")
        RESULT[real$suffix.per.$kind]=$(median "${per[@]}")
        RESULT[real$suffix.loss.$kind]=$(median "${loss[@]}")
    done
}
start_spinner
realistic ""
if [ "$AWAKE" = 1 ]; then
    # The same load with idle cores left to halt, as the machine comes.
    stop_spinner
    realistic "-halt"
fi

# --- figure 3: scale ---------------------------------------------------------------------
start_spinner
login=() rss=() extra=() join=() rssj=() drain=() still=()
for rep in $(seq "$REPS"); do
    start_server || continue
    timeout 400 taskset -c "$LOADGEN_CORE" "$LOADGEN" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" \
        --server-pid "$TARGET_PID" --scale --users "$SCALE_USERS" --joiners "$SCALE_JOINERS" --window 512 \
        --setup-timeout 150 --max-time 380 >"$OUT/scale-$rep.out" 2>"$OUT/scale-$rep.err"
    stop_target
    line=$(grep '^RESULT' "$OUT/scale-$rep.out" | tail -1)
    log "scale run $rep: $line"
    login+=("$(field login_s "$line")")
    rss+=("$(field rss_per_user_kib "$line")")
    join+=("$(field join_s "$line")")
    rssj+=("$(field rss_per_user_joined_kib "$line")")
    extra+=("$(field extra_ok "$line")")
    drain+=("$(field broadcast_drain_s "$line")")
    still+=("$(field still_logged_in "$line")")
done
extra_ok=0
for e in "${extra[@]}"; do [ "$e" = 1 ] && extra_ok=$((extra_ok + 1)); done

PROBE_AFTER=$(probe)
log "host stalls on core $TARGET_CORE after: $PROBE_AFTER"

# --- table -------------------------------------------------------------------------------
R() { printf '%s' "${RESULT[$1]:-n/a}"; }
{
    echo
    echo "Medians of $REPS runs; target pinned to core $TARGET_CORE, load generator to core $LOADGEN_CORE;" \
        "100-byte packets; idle spinner on the target core: $([ "$AWAKE" = 1 ] && echo yes || echo no)."
    echo "Host stalls of the target core (spinning probe, 3 s): before: ${PROBE_BEFORE#RESULT }; after: ${PROBE_AFTER#RESULT }."
    echo
    echo "| figure | server | minimal relay | server / relay | target | relay, one system call per datagram |"
    echo "|---|---|---|---|---|---|"
    for cfg in "${FANOUTS[@]}"; do
        read -r users talkers <<<"$cfg"
        label="${talkers}t+$((users - talkers))l"
        echo "| one channel, $talkers talker(s) + $((users - talkers)) listeners: delivered copies/s at <= 0.1% loss" \
            "| $(R "$label.server") | $(R "$label.relay") | $(ratio "$(R "$label.server")" "$(R "$label.relay")") | >= 0.90 |" \
            "$(R "$label.simple") |"
        echo "| same, target CPU us per delivered copy at that rate" \
            "| $(R "$label.per.server") | $(R "$label.per.relay") | $(ratio "$(R "$label.per.server")" "$(R "$label.per.relay")") | |" \
            "$(R "$label.per.simple") |"
    done
    for suffix in "" "-halt"; do
        [ "$suffix" = "-halt" ] && [ "$AWAKE" != 1 ] && continue
        note="50 ch x 10 users, 1 talker each at 50 pps"
        [ "$suffix" = "-halt" ] && note="$note, idle cores halt"
        echo "| $note: target CPU share | $(R "real$suffix.cpu.server") | $(R "real$suffix.cpu.relay") |" \
            "$(ratio "$(R "real$suffix.cpu.server")" "$(R "real$suffix.cpu.relay")") | <= 1.3 |"
        echo "| $note: CPU us per delivered copy | $(R "real$suffix.per.server") | $(R "real$suffix.per.relay") |" \
            "$(ratio "$(R "real$suffix.per.server")" "$(R "real$suffix.per.relay")") | |"
        echo "| $note: p50 latency us | $(R "real$suffix.p50.server") | $(R "real$suffix.p50.relay") |" \
            "$(ratio "$(R "real$suffix.p50.server")" "$(R "real$suffix.p50.relay")") | |"
        echo "| $note: p99 latency us | $(R "real$suffix.p99.server") | $(R "real$suffix.p99.relay") |" \
            "$(ratio "$(R "real$suffix.p99.server")" "$(R "real$suffix.p99.relay")") | < 1000 |"
        echo "| $note: loss % | $(R "real$suffix.loss.server") | $(R "real$suffix.loss.relay") | | |"
    done
    echo "| scale: seconds to log in $SCALE_USERS users at once | $(median "${login[@]}") | - | - | < 10 |"
    echo "| scale: server RSS per logged-in user, KiB | $(median "${rss[@]}") | - | - | < 16 |"
    echo "| scale: one more client logs in and gets its lines | $extra_ok of ${#extra[@]} runs | - | - | all |"
    echo "| scale: seconds for $SCALE_JOINERS of them to join one channel | $(median "${join[@]}") | - | - | |"
    echo "| scale: seconds the join broadcasts took to drain after the last join | $(median "${drain[@]}") | - | - | |"
    echo "| scale: users the server still counts as logged in after the joins | $(median "${still[@]}") of $SCALE_USERS | - | - | all |"
    echo "| scale: server RSS per user after the joins, KiB | $(median "${rssj[@]}") | - | - | |"
    echo
    echo "Logs: $OUT"
} | tee -a "$OUT/bench.log"
