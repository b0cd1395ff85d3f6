#!/usr/bin/env bash
# Builds the server and the benchmark programs in Release and measures the server against
# the minimal relay on loopback: the target (server or relay) runs on one core, the load
# generator on the other, each figure REPS times; prints the medians and a markdown table.
# Other benchmarks against the same build (each in its own file, sourced from here):
#   bench/run_bench.sh storm     voice under control-plane storms (bench/storm.sh)
#   bench/run_bench.sh flood     voice and pings under one client's command flood (bench/flood.sh)
#   bench/run_bench.sh deletes   voice and pings while files are deleted one by one (bench/deletes.sh)
#
# Environment (and those of bench/bench_lib.sh: SKIP_BUILD, OUT, PIN, AWAKE, VOICE_REALTIME):
#   REPS=3          runs per figure (the median is reported)
#   PHASE=1.5       measured seconds of each phase of the rate search
#   SCALE_USERS=10000 SCALE_JOINERS=1000   the scale figure
. "$(dirname "$0")/bench_lib.sh"
bench_init bench
REPS=${REPS:-3}
PHASE=${PHASE:-1.5}
SCALE_USERS=${SCALE_USERS:-10000}
SCALE_JOINERS=${SCALE_JOINERS:-1000}
build_targets quorvane-server loadgen minrelay minbroadcast scrape

# The minimal relay on fresh ports, in the server's place; with CONTROL=1 it has its
# minimal control plane (welcome, login, join, ping) instead of fixed channels.
start_relay() {  # users per channel [relay options]
    next_ports
    pinning
    local what=(--users-per-channel "$@" --duration 600)
    [ "${CONTROL:-0}" = 1 ] && what=(--tcp-port "$TCP_PORT" --duration 900)
    "${SERVER_ON[@]}" "$MINRELAY" --port "$UDP_PORT" "${what[@]}" \
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
    "${CLIENT_ON[@]}" timeout 300 "$LOADGEN" "${extra[@]}" "$@" >"$OUT/$name.out" 2>"$OUT/$name.err"
    grep '^RESULT' "$OUT/$name.out" | tail -1
}

declare -A RESULT

PROBE_BEFORE=$(probe)
log "host stalls on core $TARGET_CORE before: $PROBE_BEFORE"
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

case "${1:-}" in
storm | flood | deletes)
    . "$ROOT/bench/$1.sh"
    exit
    ;;
"") ;;
*)
    echo "usage: bench/run_bench.sh [storm | flood | deletes]" >&2
    exit 2
    ;;
esac

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
                --duration 5 --warmup 1 --max-time 120 $([ "$VOICE_REALTIME" = 1 ] && echo --realtime))
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
    "${CLIENT_ON[@]}" timeout 400 "$LOADGEN" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" \
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
            "| $(R "$label.server") | $(R "$label.relay") | $(ratio "$(R "$label.server")" "$(R "$label.relay")") |" \
            ">= 0.90: $(meets "$(ratio "$(R "$label.server")" "$(R "$label.relay")")" ">=" 0.9) |" \
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
            "$(ratio "$(R "real$suffix.p99.server")" "$(R "real$suffix.p99.relay")") |" \
            "< 1000: $(meets "$(R "real$suffix.p99.server")" "<" 1000); server / relay <= 1.3:" \
            "$(meets "$(ratio "$(R "real$suffix.p99.server")" "$(R "real$suffix.p99.relay")")" "<=" 1.3) |"
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
