# Voice under control-plane storms, broadcast cost and scale; sourced by
# `bench/run_bench.sh storm`, which has built everything (bench/bench_lib.sh gives the helpers).
# Every figure of logins, burst, cost and scale is measured once (REPS is not used): a storm
# run takes minutes. The mass storm runs MASS_REPS times unpinned and pinned.
#
# Environment:
#   STORM_USERS=8000 STORM_JOINERS=1000    the login storm: users logging in, of whom joiners
#                                          then join one channel
#   BURST_USERS=4000 BURST=3000            the burst: users logged in, joins sent at once
#   MASS_USERS=8000 MASS_JOINERS=1000      the mass storm: as the login storm, every storm
#                   user pinging once a second, then all leaving at once; voice measured from
#                   the first login to MASS_SETTLE (5) s after the last user left
#   MASS_REPS=3     runs of the mass storm in each of MASS_PINNING ("0 1": unpinned, then the
#                   server on core 0 and the clients on core 1)
#   METRICS_REPS=2  with METRICS=1 or METRICS_URL: pinned mass storms without and with a
#                   scrape of the server's metrics every 100 ms, alternating
#   SETTLE=35       seconds after the storm's users left before RSS is read (past the
#                   server's 30-second keep-alive tick, which gives freed memory back)
#   DESCRIPTOR_USERS  users of the scale figure (the hard open-file limit less 100)
#   PARTS="logins burst mass cost scale"   the parts to run ("metrics" added with METRICS=1)
#   BASELINE_SERVER=path   another quorvane-server binary (an earlier build) that the cost
#                   part runs the same login storm on too, for the ratio of their CPU time
#   RELAY_STORMS=1  the login storm and each mass storm run again, right after the server's,
#                   against bench/minrelay with its minimal control plane (welcome, login,
#                   join, ping; no broadcasts), for the voice latency under the same storm
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
MASS_USERS=${MASS_USERS:-8000}
MASS_JOINERS=${MASS_JOINERS:-1000}
MASS_REPS=${MASS_REPS:-3}
MASS_PINNING=${MASS_PINNING:-0 1}
MASS_SETTLE=${MASS_SETTLE:-5}
METRICS_REPS=${METRICS_REPS:-2}
SETTLE=${SETTLE:-35}
HARD_LIMIT=$(ulimit -Hn)
DESCRIPTOR_USERS=${DESCRIPTOR_USERS:-$((HARD_LIMIT - 100))}
PARTS=${PARTS:-logins burst mass cost scale$([ "$METRICS" = 1 ] && echo " metrics")}
RELAY_STORMS=${RELAY_STORMS:-1}
part() { case " $PARTS " in *" $1 "*) return 0 ;; esac; return 1; }

storm() {  # name args...: the storm client against the running server; prints its RESULT line
    local name=$1
    shift
    PING_LOG="$OUT/$name.pings" "${CLIENT_ON[@]}" timeout 900 "$LOADGEN" --tcp-port "$TCP_PORT" \
        --udp-port "$UDP_PORT" --server-pid "$TARGET_PID" --storm --window 512 --setup-timeout 300 --max-time 800 \
        --window-file "$OUT/$name.window" "$@" >"$OUT/$name-storm.out" 2>"$OUT/$name-storm.err"
    grep '^RESULT' "$OUT/$name-storm.out" | tail -1
}

# The minimal relay with its control plane on fresh ports, in the server's place.
start_control_relay() { CONTROL=1 start_relay; }

# The target of the next run: KIND=relay (set for one call) starts the minimal relay.
start_kind() {
    if [ "${KIND:-server}" = relay ]; then start_control_relay; else start_server; fi
}

declare -A S
scenario() {  # name storm-args...: voice plus a storm; fills S[name.*]
    local name=$1 line voice window
    shift
    start_spinner
    start_kind || return
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
    S[$name.steal]=$(field steal_ms "$voice")
}

if part logins; then
    scenario logins --users "$STORM_USERS" --joiners "$STORM_JOINERS" --channel /storm/
    [ "$RELAY_STORMS" = 1 ] && KIND=relay scenario logins-relay --users "$STORM_USERS" --joiners "$STORM_JOINERS" \
        --channel /storm/
fi
part burst && scenario burst --users "$BURST_USERS" --joiners 0 --burst "$BURST"

# The mass storm: voice from the first login to a few seconds after all the storm's users
# left at once, every storm user pinging once a second; fills M[name.*].
declare -A M
mass_run() {  # name [scrape]
    local name=$1 line scrape=""
    start_spinner
    start_kind || return
    start_voice "$name"
    [ "${2:-}" = scrape ] && start_scrape "$name"
    line=$(storm "$name" --users "$MASS_USERS" --joiners "$MASS_JOINERS" --channel /storm/ --keepalive 1 \
        --whole-window --settle "$MASS_SETTLE")
    if [ "${2:-}" = scrape ]; then
        stop_scrape "$name"
        scrape=$SCRAPE_RESULT
    fi
    stop_voice "$name"
    stop_target
    stop_spinner
    voice_figures "$name"
    log "$name storm: $line"
    log "$name voice: p99_us=$W_P99 p999_us=$W_P999 max_us=$W_MAX copies=$W_COPIES loss_pct=$V_LOSS (whole run: p99_us=$V_P99)"
    [ -n "$scrape" ] && log "$name scrape: $scrape"
    M[$name.p99]=$(us_to_ms "$W_P99") M[$name.p999]=$(us_to_ms "$W_P999") M[$name.max]=$(us_to_ms "$W_MAX")
    M[$name.loss]=$V_LOSS M[$name.copies]=$W_COPIES
    M[$name.ping_max]=$(field whole_ping_max_ms "$line") M[$name.ping_p99]=$(field whole_ping_p99_ms "$line")
    M[$name.ping_p50]=$(field whole_ping_p50_ms "$line") M[$name.departure_ping_max]=$(field departure_ping_max_ms "$line")
    M[$name.storm_s]=$(field storm_s "$line") M[$name.departure_s]=$(field departure_s "$line")
    M[$name.still]=$(field still_logged_in "$line")
    M[$name.scrape_p50]=$(field p50_ms "$scrape") M[$name.scrape_p99]=$(field p99_ms "$scrape")
    M[$name.scrape_max]=$(field max_ms "$scrape") M[$name.scrapes]=$(field scrapes "$scrape")
    M[$name.scrape_note]=$(field note "$scrape")
}
MASS_RUNS=()
if part mass; then
    stop_spinner
    SAVED_PIN=$PIN
    for pin in $MASS_PINNING; do
        for rep in $(seq "$MASS_REPS"); do
            PIN=$pin
            mass_run "mass-pin$pin-$rep"
            MASS_RUNS+=("mass-pin$pin-$rep")
            [ "$RELAY_STORMS" = 1 ] && KIND=relay mass_run "mass-pin$pin-$rep-relay"
        done
    done
    PIN=$SAVED_PIN
fi
METRICS_RUNS=()
if part metrics && [ "$METRICS" = 1 ]; then
    for rep in $(seq "$METRICS_REPS"); do
        mass_run "metrics-off-$rep"
        mass_run "metrics-on-$rep" scrape
        METRICS_RUNS+=("$rep")
    done
fi

# Broadcast cost: the login storm alone (no voice CPU to subtract), then the minimal program
# writing as many lines of the same mean size to as many connections.
part cost && start_spinner && start_server && {
    line=$(storm cost --users "$STORM_USERS" --joiners "$STORM_JOINERS" --channel /storm/ --settle 1)
    stop_target
    log "cost storm: $line"
    for f in cpu_us_per_line lines_per_socket line_bytes sockets lines storm_s; do S[cost.$f]=$(field "$f" "$line"); done
}
# The same storm on the baseline binary, for the ratio of the whole storm's CPU time.
part cost && [ -n "${BASELINE_SERVER:-}" ] && start_spinner && {
    SAVED_BIN=$SERVER_BIN
    SERVER_BIN=$BASELINE_SERVER
    start_server && {
        line=$(storm cost-baseline --users "$STORM_USERS" --joiners "$STORM_JOINERS" --channel /storm/ --settle 1)
        stop_target
        log "cost storm, baseline: $line"
        for f in cpu_us_per_line lines; do S[base.$f]=$(field "$f" "$line"); done
    }
    SERVER_BIN=$SAVED_BIN
}
storm_cpu() { awk -v a="${S[$1.cpu_us_per_line]:-}" -v b="${S[$1.lines]:-}" 'BEGIN { if (a + 0 == a && b + 0 == b) printf "%.2f", a * b / 1e6; else print "n/a" }'; }
lps=$(awk -v v="${S[cost.lines_per_socket]:-0}" 'BEGIN { printf "%d", v + 0.5 }')
lb=$(awk -v v="${S[cost.line_bytes]:-0}" 'BEGIN { printf "%d", v + 0.5 }')
minimal() {  # name [minbroadcast options]
    local name=$1 line
    shift
    next_ports
    pinning
    "${SERVER_ON[@]}" "$MINBROADCAST" --port "$TCP_PORT" --duration 600 "$@" >"$OUT/$name.log" 2>&1 &
    TARGET_PID=$!
    for _ in $(seq 50); do
        grep -q listening "$OUT/$name.log" 2>/dev/null && break
        sleep 0.1
    done
    "${CLIENT_ON[@]}" timeout 600 "$LOADGEN" --tcp-port "$TCP_PORT" --server-pid "$TARGET_PID" --minimal \
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
part scale && start_spinner && start_server && {
    "${CLIENT_ON[@]}" timeout 600 "$LOADGEN" --tcp-port "$TCP_PORT" --udp-port "$UDP_PORT" \
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
mib() { awk -v v="$1" 'BEGIN { if (v + 0 == v) printf "%.1f", v / 1024; else print "n/a" }'; }
{
    echo
    echo "One run each; server pinned to core $TARGET_CORE, clients to core $CLIENT_CORE; voice: ${VOICE_USERS:-500} users in" \
        "${VOICE_CHANNELS:-50} channels, one talker each at 50 packets/s of 100 bytes."
    machine_notes
    echo "Open-file hard limit: $HARD_LIMIT."
    echo
    echo "| figure | $STORM_USERS log in, $STORM_JOINERS join one channel | one client sends $BURST joins, $BURST_USERS logged in | target |"
    echo "|---|---|---|---|"
    echo "| storm seconds (first command to last line delivered) | $(V logins.storm_s) | $(V burst.storm_s) | |"
    echo "| voice p99 during the storm, ms | $(us_to_ms "$(V logins.p99)") | $(us_to_ms "$(V burst.p99)") | < 1 |"
    echo "| voice p99.9 during the storm, ms | $(us_to_ms "$(V logins.p999)") | $(us_to_ms "$(V burst.p999)") | < 2 |"
    echo "| voice worst copy during the storm, ms | $(us_to_ms "$(V logins.max)") | $(us_to_ms "$(V burst.max)") | |"
    echo "| voice copies measured during the storm | $(V logins.copies) | $(V burst.copies) | |"
    echo "| voice loss over the whole run, % | $(V logins.loss) | $(V burst.loss) | <= 0.1 |"
    echo "| another client's ping, worst round trip during the storm, ms | $(V logins.ping_max_ms) | $(V burst.ping_max_ms) | < 50 |"
    echo "| same, p99 ms (pings answered) | $(V logins.ping_p99_ms) ($(V logins.pings)) | $(V burst.ping_p99_ms) ($(V burst.pings)) | |"
    echo "| same, worst round trip in the 2 s before the storm, ms | $(V logins.before_ping_max) | $(V burst.before_ping_max) | < 50 |"
    echo "| same, worst round trip in the ${SETTLE} s after the storm's users left, ms | $(V logins.after_ping_max) | $(V burst.after_ping_max) | < 50 |"
    echo "| server RSS before the storm, MiB | $(mib "$(V logins.rss_before_kib)") | $(mib "$(V burst.rss_before_kib)") | |"
    echo "| server RSS at the storm's peak, MiB | $(mib "$(V logins.rss_peak_kib)") | $(mib "$(V burst.rss_peak_kib)") | |"
    echo "| server RSS ${SETTLE} s after the storm's users left, MiB | $(mib "$(V logins.rss_after_kib)") | $(mib "$(V burst.rss_after_kib)") | |"
    echo "| time the host took from this machine during the voice run (\`steal_ms\`), ms | $(V logins.steal) | $(V burst.steal) | |"
    echo "| storm users still logged in at the end of the storm | $(V logins.still_logged_in) of $STORM_USERS | $(V burst.still_logged_in) of $BURST_USERS | all |"
    echo
    echo "| broadcast cost | server | minimal program | server / minimal | target | minimal, writes batched | server / batched | target |"
    echo "|---|---|---|---|---|---|---|---|"
    batched=$(ratio "$(V cost.cpu_us_per_line)" "$(V minbatch.cpu_us_per_line)")
    echo "| CPU us per delivered line ($(V cost.sockets) connections, $(V cost.lines_per_socket) lines of $(V cost.line_bytes) bytes each) |" \
        "$(V cost.cpu_us_per_line) | $(V min.cpu_us_per_line) | $(ratio "$(V cost.cpu_us_per_line)" "$(V min.cpu_us_per_line)") | <= 2 |" \
        "$(V minbatch.cpu_us_per_line) | $batched | <= 1.5: $(meets "$batched" "<=" 1.5) |"
    if [ -n "${S[base.lines]:-}" ]; then
        whole=$(ratio "$(storm_cpu cost)" "$(storm_cpu base)")
        echo
        echo "| the whole login storm's server CPU, s | this build | baseline ($BASELINE_SERVER) | ratio | target |"
        echo "|---|---|---|---|---|"
        echo "| $STORM_USERS log in, $STORM_JOINERS join | $(storm_cpu cost) | $(storm_cpu base) | $whole | <= 0.5: $(meets "$whole" "<=" 0.5) |"
    fi
    echo
    echo "| scale to the open-file limit | value | target |"
    echo "|---|---|---|"
    echo "| users logged in | $(V fd.logged_in) of $DESCRIPTOR_USERS | all |"
    echo "| seconds to log them in | $(V fd.login_s) | |"
    echo "| server RSS per logged-in user, KiB | $(V fd.rss) | <= 16 |"
    echo "| one more client: logged in, ms | $(V fd.extra_login_ms) (served: $(V fd.extra_ok)) | < 100 |"
    if [ ${#MASS_RUNS[@]} -gt 0 ]; then
        echo
        echo "Mass storm: $MASS_USERS users log in, $MASS_JOINERS join one channel, every one pings once a second," \
            "then all leave at once; voice from the first login to ${MASS_SETTLE} s after the last left."
        echo "Pinned: server on core $TARGET_CORE, clients on core $CLIENT_CORE; unpinned: both left to the scheduler."
        echo
        echo "| run | voice p99, ms | p99.9, ms | worst, ms | loss, % | ping p50 / p99 / worst, ms | worst ping while leaving, ms | storm s | leaving s | users logged in |"
        echo "|---|---|---|---|---|---|---|---|---|---|"
        for r in "${MASS_RUNS[@]}"; do
            echo "| $r | ${M[$r.p99]} | ${M[$r.p999]} | ${M[$r.max]} | ${M[$r.loss]:-n/a} |" \
                "${M[$r.ping_p50]:-n/a} / ${M[$r.ping_p99]:-n/a} / ${M[$r.ping_max]:-n/a} | ${M[$r.departure_ping_max]:-n/a} |" \
                "${M[$r.storm_s]:-n/a} | ${M[$r.departure_s]:-n/a} | ${M[$r.still]:-n/a} of $MASS_USERS |"
        done
        echo
        echo "| target (worst of the runs) | unpinned | pinned |"
        echo "|---|---|---|"
        mass_worst() {  # key pin
            local r vals=()
            for r in "${MASS_RUNS[@]}"; do
                case $r in mass-pin$2-*) vals+=("${M[$r.$1]:-}") ;; esac
            done
            highest "${vals[@]}"
        }
        for t in "p99:voice p99 < 1 ms:<:1" "p999:voice p99.9 < 2 ms:<:2" "loss:voice loss <= 0.1 %:<=:0.1" \
            "ping_p99:another client's ping p99 < 50 ms:<:50" "ping_max:another client's ping, worst < 200 ms:<:200"; do
            IFS=: read -r key label op limit <<<"$t"
            u=$(mass_worst "$key" 0) p=$(mass_worst "$key" 1)
            echo "| $label | $u ($(meets "$u" "$op" "$limit")) | $p ($(meets "$p" "$op" "$limit")) |"
        done
    fi
    if [ "$RELAY_STORMS" = 1 ]; then
        echo
        echo "Voice under the same storm against the minimal relay with its minimal control plane, each right after the server's run:"
        echo
        echo "| storm | voice p99, ms: server / relay | ratio | p99.9, ms: server / relay | ratio | target |"
        echo "|---|---|---|---|---|---|"
        relay_row() {  # label server-p99 relay-p99 server-p999 relay-p999 (ms)
            local r1 r2
            r1=$(ratio "$2" "$3") r2=$(ratio "$4" "$5")
            echo "| $1 | $2 / $3 | $r1 | $4 / $5 | $r2 | <= 1.2: $(meets "$r1" "<=" 1.2), $(meets "$r2" "<=" 1.2) |"
        }
        part logins && relay_row "$STORM_USERS log in" "$(us_to_ms "$(V logins.p99)")" \
            "$(us_to_ms "$(V logins-relay.p99)")" "$(us_to_ms "$(V logins.p999)")" "$(us_to_ms "$(V logins-relay.p999)")"
        for r in "${MASS_RUNS[@]}"; do
            relay_row "$r" "${M[$r.p99]:-n/a}" "${M[$r-relay.p99]:-n/a}" "${M[$r.p999]:-n/a}" "${M[$r-relay.p999]:-n/a}"
        done
    fi
    if [ ${#METRICS_RUNS[@]} -gt 0 ]; then
        echo
        echo "Metrics scraped every 100 ms at $SCRAPE_URL during the pinned mass storm (medians of ${#METRICS_RUNS[@]} runs each):"
        echo
        echo "| figure | without scraping | with scraping |"
        echo "|---|---|---|"
        mm() {  # key on|off
            local rep vals=()
            for rep in "${METRICS_RUNS[@]}"; do vals+=("${M[metrics-$2-$rep.$1]:-}"); done
            median "${vals[@]}"
        }
        for t in "p99:voice p99, ms" "p999:voice p99.9, ms" "loss:voice loss, %" "ping_max:worst ping, ms"; do
            IFS=: read -r key label <<<"$t"
            echo "| $label | $(mm "$key" off) | $(mm "$key" on) |"
        done
        echo "| scrapes answered | | $(mm scrapes on)$([ -n "${M[metrics-on-1.scrape_note]:-}" ] && echo " (${M[metrics-on-1.scrape_note]})") |"
        echo "| scrape latency p50 / p99 / worst, ms | | $(mm scrape_p50 on) / $(mm scrape_p99 on) / $(mm scrape_max on) |"
    fi
    echo
    echo "Logs: $OUT"
} | tee -a "$OUT/bench.log"
