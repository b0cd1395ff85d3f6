# Voice under a control-plane storm, broadcast cost and scale; sourced by
# `bench/run_bench.sh storm`, which has built everything and defined the helpers used here.
# Every figure is measured once (REPS is not used): a storm run takes minutes.
#
# Environment:
#   STORM_USERS=8000 STORM_JOINERS=1000    the login storm: users logging in, of whom joiners
#                                          then join one channel
#   BURST_USERS=4000 BURST=3000            the burst: users logged in, joins sent at once
#   SETTLE=35       seconds after the storm's users left before RSS is read (past the
#                   server's 30-second keep-alive tick, which gives freed memory back)
#   DESCRIPTOR_USERS  users of the scale figure (the hard open-file limit less 100)
#   PARTS="logins burst cost scale"   the parts to run
#   VOICE_REALTIME=1  the voice client talks at real-time priority and sleeps to each packet's
#                   due time; 0 leaves it at normal priority, where the storm's client, on the
#                   same core, holds the core for 4-8 ms at a time and the talkers' packets
#                   leave in bunches that 500 separate clients would not send
#   VOICE_DUMP=file   every voice latency sample of the last storm run there (sent and received
#                   times in ns, latency in us), for finding when the slow copies came
# Each storm's pings (seconds into the storm, round trip in ms) go to $OUT/<name>.pings.

STORM_USERS=${STORM_USERS:-8000}
STORM_JOINERS=${STORM_JOINERS:-1000}
BURST_USERS=${BURST_USERS:-4000}
BURST=${BURST:-3000}
SETTLE=${SETTLE:-35}
HARD_LIMIT=$(ulimit -Hn)
DESCRIPTOR_USERS=${DESCRIPTOR_USERS:-$((HARD_LIMIT - 100))}
PARTS=${PARTS:-logins burst cost scale}
part() { case " $PARTS " in *" $1 "*) return 0 ;; esac; return 1; }

# The voice load of the realistic figure, on until the stop file appears (at most 400 s).
start_voice() {  # name
    rm -f "$OUT/$1.stop" "$OUT/$1.window"
    timeout 500 taskset -c "$LOADGEN_CORE" "$LOADGEN" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" \
        --server-pid "$TARGET_PID" --users 500 --channels 50 --talkers 1 --rate 50 --duration 400 --warmup 1 \
        --max-time 480 $([ "${VOICE_REALTIME:-1}" = 1 ] && echo --realtime) ${VOICE_DUMP:+--dump "$VOICE_DUMP"} --stop-file "$OUT/$1.stop" --window-file "$OUT/$1.window" \
        >"$OUT/$1-voice.out" 2>"$OUT/$1-voice.err" &
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

storm() {  # name args...: the storm client against the running server; prints its RESULT line
    local name=$1
    shift
    PING_LOG="$OUT/$name.pings" timeout 900 taskset -c "$LOADGEN_CORE" "$LOADGEN" --tcp-port "$TCP_PORT" \
        --udp-port "$UDP_PORT" --server-pid "$TARGET_PID" --storm --window 512 --setup-timeout 300 --max-time 800 \
        --window-file "$OUT/$name.window" "$@" >"$OUT/$name-storm.out" 2>"$OUT/$name-storm.err"
    grep '^RESULT' "$OUT/$name-storm.out" | tail -1
}

declare -A S
scenario() {  # name storm-args...: voice plus a storm; fills S[name.*]
    local name=$1 line voice window
    shift
    start_spinner
    start_server || return
    start_voice "$name"
    line=$(storm "$name" --settle "$SETTLE" "$@")
    stop_voice "$name"
    stop_target
    voice=$(grep '^RESULT' "$OUT/$name-voice.out" | tail -1)
    window=$(grep '^WINDOW' "$OUT/$name-voice.out" | tail -1)
    log "$name storm: $line"
    log "$name storm: $(grep '^STORM' "$OUT/$name-storm.out" | tail -1)"
    log "$name voice, whole run: $voice"
    log "$name voice, storm window: $window"
    for f in storm_s rss_before_kib rss_peak_kib rss_after_kib ping_max_ms ping_p99_ms pings pings_over_50ms \
        cpu_us_per_line net_cpu_us_per_line lines_per_socket line_bytes sockets still_logged_in failures; do
        S[$name.$f]=$(field "$f" "$line")
    done
    S[$name.after_ping_max]=$(field after_ping_max_ms "$line")
    S[$name.before_ping_max]=$(field before_ping_max_ms "$line")
    S[$name.p99]=$(field p99_us "$window")
    S[$name.p999]=$(field p999_us "$window")
    S[$name.max]=$(field max_us "$window")
    S[$name.copies]=$(field copies "$window")
    S[$name.loss]=$(field loss_pct "$voice")
    S[$name.quiet_p99]=$(field p99_us "$voice")
}

part logins && scenario logins --users "$STORM_USERS" --joiners "$STORM_JOINERS" --channel /storm/
part burst && scenario burst --users "$BURST_USERS" --joiners 0 --burst "$BURST"

# Broadcast cost: the login storm alone (no voice CPU to subtract), then the minimal program
# writing as many lines of the same mean size to as many connections.
part cost && start_server && {
    line=$(storm cost --users "$STORM_USERS" --joiners "$STORM_JOINERS" --channel /storm/ --settle 1)
    stop_target
    log "cost storm: $line"
    for f in cpu_us_per_line lines_per_socket line_bytes sockets lines storm_s; do S[cost.$f]=$(field "$f" "$line"); done
}
lps=$(awk -v v="${S[cost.lines_per_socket]:-0}" 'BEGIN { printf "%d", v + 0.5 }')
lb=$(awk -v v="${S[cost.line_bytes]:-0}" 'BEGIN { printf "%d", v + 0.5 }')
minimal() {  # name [minbroadcast options]
    local name=$1 line
    shift
    next_ports
    taskset -c "$TARGET_CORE" "$MINBROADCAST" --port "$TCP_PORT" --duration 600 "$@" >"$OUT/$name.log" 2>&1 &
    TARGET_PID=$!
    for _ in $(seq 50); do
        grep -q listening "$OUT/$name.log" 2>/dev/null && break
        sleep 0.1
    done
    timeout 600 taskset -c "$LOADGEN_CORE" "$LOADGEN" --tcp-port "$TCP_PORT" --server-pid "$TARGET_PID" --minimal \
        --users "${S[cost.sockets]}" --lines "$lps" --line-bytes "$lb" --window 512 --setup-timeout 300 \
        --max-time 580 >"$OUT/$name.out" 2>"$OUT/$name.err"
    stop_target
    line=$(grep '^RESULT' "$OUT/$name.out" | tail -1)
    log "$name: $line"
    S[$name.cpu_us_per_line]=$(field cpu_us_per_line "$line")
}
if part cost && [ "$lps" -gt 0 ] && [ "$lb" -gt 2 ]; then
    minimal min
    minimal minbatch --batch
fi

# Scale: as many users as the open-file limit allows (the server needs one descriptor per
# user, the load generator one per user plus the logins in flight).
part scale && start_server && {
    timeout 600 taskset -c "$LOADGEN_CORE" "$LOADGEN" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" \
        --server-pid "$TARGET_PID" --scale --users "$DESCRIPTOR_USERS" --joiners 0 --window 64 \
        --setup-timeout 300 --max-time 580 >"$OUT/descriptors.out" 2>"$OUT/descriptors.err"
    stop_target
    line=$(grep '^RESULT' "$OUT/descriptors.out" | tail -1)
    extra=$(grep '^EXTRA' "$OUT/descriptors.out" | tail -1)
    log "descriptor limit: $line"
    log "descriptor limit: $extra"
    S[fd.logged_in]=$(field logged_in "$line")
    S[fd.login_s]=$(field login_s "$line")
    S[fd.rss]=$(field rss_per_user_kib "$line")
    S[fd.extra_ok]=$(field ok "$extra")
    S[fd.extra_login_ms]=$(awk -v v="$(field login_s "$extra")" 'BEGIN { if (v == "") print "n/a"; else printf "%.1f", v * 1000 }')
}
stop_spinner

PROBE_AFTER=$(probe)
log "host stalls on core $TARGET_CORE after: $PROBE_AFTER"

V() { printf '%s' "${S[$1]:-n/a}"; }
us_to_ms() { awk -v v="$1" 'BEGIN { if (v + 0 == v) printf "%.3f", v / 1000; else print "n/a" }'; }
mib() { awk -v v="$1" 'BEGIN { if (v + 0 == v) printf "%.1f", v / 1024; else print "n/a" }'; }
{
    echo
    echo "One run each; server pinned to core $TARGET_CORE, clients to core $LOADGEN_CORE; voice: 500 users in 50 channels," \
        "one talker each at 50 packets/s of 100 bytes. Load average before: $LOAD_BEFORE; after: $(cut -d' ' -f1-3 /proc/loadavg)."
    echo "Host stalls of the server's core (spinning probe, 3 s): before: ${PROBE_BEFORE#RESULT }; after: ${PROBE_AFTER#RESULT }."
    echo "Open-file hard limit: $HARD_LIMIT."
    echo
    echo "| figure | $STORM_USERS log in, $STORM_JOINERS join one channel | one client sends $BURST joins, $BURST_USERS logged in | target |"
    echo "|---|---|---|---|"
    echo "| storm seconds (first command to last line delivered) | $(V logins.storm_s) | $(V burst.storm_s) | |"
    echo "| voice p99 during the storm, ms | $(us_to_ms "$(V logins.p99)") | $(us_to_ms "$(V burst.p99)") | < 1 |"
    echo "| voice p99.9 during the storm, ms | $(us_to_ms "$(V logins.p999)") | $(us_to_ms "$(V burst.p999)") | < 2 |"
    echo "| voice worst copy during the storm, ms | $(us_to_ms "$(V logins.max)") | $(us_to_ms "$(V burst.max)") | |"
    echo "| voice copies measured during the storm | $(V logins.copies) | $(V burst.copies) | |"
    echo "| voice loss over the whole run, % | $(V logins.loss) | $(V burst.loss) | 0 |"
    echo "| another client's ping, worst round trip during the storm, ms | $(V logins.ping_max_ms) | $(V burst.ping_max_ms) | < 50 |"
    echo "| same, p99 ms (pings answered) | $(V logins.ping_p99_ms) ($(V logins.pings)) | $(V burst.ping_p99_ms) ($(V burst.pings)) | |"
    echo "| same, worst round trip in the 2 s before the storm, ms | $(V logins.before_ping_max) | $(V burst.before_ping_max) | < 50 |"
    echo "| same, worst round trip in the ${SETTLE} s after the storm's users left, ms | $(V logins.after_ping_max) | $(V burst.after_ping_max) | < 50 |"
    echo "| server RSS before the storm, MiB | $(mib "$(V logins.rss_before_kib)") | $(mib "$(V burst.rss_before_kib)") | |"
    echo "| server RSS at the storm's peak, MiB | $(mib "$(V logins.rss_peak_kib)") | $(mib "$(V burst.rss_peak_kib)") | |"
    echo "| server RSS ${SETTLE} s after the storm's users left, MiB | $(mib "$(V logins.rss_after_kib)") | $(mib "$(V burst.rss_after_kib)") | |"
    echo "| storm users still logged in at the end of the storm | $(V logins.still_logged_in) of $STORM_USERS | $(V burst.still_logged_in) of $BURST_USERS | all |"
    echo
    echo "| broadcast cost | server | minimal program | server / minimal | target | minimal, writes batched | server / batched |"
    echo "|---|---|---|---|---|---|---|"
    echo "| CPU us per delivered line ($(V cost.sockets) connections, $(V cost.lines_per_socket) lines of $(V cost.line_bytes) bytes each) |" \
        "$(V cost.cpu_us_per_line) | $(V min.cpu_us_per_line) | $(ratio "$(V cost.cpu_us_per_line)" "$(V min.cpu_us_per_line)") | <= 2 |" \
        "$(V minbatch.cpu_us_per_line) | $(ratio "$(V cost.cpu_us_per_line)" "$(V minbatch.cpu_us_per_line)") |"
    echo
    echo "| scale to the open-file limit | value | target |"
    echo "|---|---|---|"
    echo "| users logged in | $(V fd.logged_in) of $DESCRIPTOR_USERS | all |"
    echo "| seconds to log them in | $(V fd.login_s) | |"
    echo "| server RSS per logged-in user, KiB | $(V fd.rss) | <= 16 |"
    echo "| one more client: logged in, ms | $(V fd.extra_login_ms) (served: $(V fd.extra_ok)) | < 100 |"
    echo
    echo "Logs: $OUT"
} | tee -a "$OUT/bench.log"
