# One client's command flood; sourced by `bench/run_bench.sh flood`, which has built
# everything (bench/bench_lib.sh gives the helpers). While the realistic voice load runs
# (500 users in 50 channels, one talker each at 50 packets/s), one client sends FLOOD_RATE
# commands a second for FLOOD_SECONDS and another pings every 20 ms; FLOOD_REPS runs.
#
# Environment:
#   FLOOD_RATE=50000     commands per second the flooding client offers
#   FLOOD_COMMAND=ping   the command line: ping, whoami, join (cycles over two channels, so
#                        every join also creates and removes one), or any other line
#   FLOOD_SECONDS=20 FLOOD_REPS=3
#   COMMAND_RATE, COMMAND_BURST   the server's per-connection throttle (its defaults when unset)
FLOOD_RATE=${FLOOD_RATE:-50000}
FLOOD_COMMAND=${FLOOD_COMMAND:-ping}
FLOOD_SECONDS=${FLOOD_SECONDS:-20}
FLOOD_REPS=${FLOOD_REPS:-3}

declare -A F
flood_run() {  # name
    local name=$1 f
    voice_run "$name" $((FLOOD_SECONDS + 300)) --flood "$FLOOD_RATE" --command "$FLOOD_COMMAND" \
        --duration "$FLOOD_SECONDS" --settle 3
    for f in written_per_s replies_per_s held_back backlog_bytes errors drain_s ping_p50_ms ping_p99_ms ping_max_ms \
        pings before_ping_max_ms after_ping_max_ms; do
        F[$name.$f]=$(field "$f" "$CLIENT_RESULT")
    done
    record_voice F "$name" before
}

repeat_runs flood "$FLOOD_REPS" flood_run

FIGURES=F
{
    echo
    echo "Medians of ${#RUNS[@]} runs (worst in brackets); server on core $TARGET_CORE, clients on core $CLIENT_CORE" \
        "(PIN=$PIN); one client offers $FLOOD_RATE \"$FLOOD_COMMAND\" commands a second for $FLOOD_SECONDS s," \
        "another pings every 20 ms, ${VOICE_USERS:-500} users talk."
    machine_notes
    echo
    echo "| figure | value | target |"
    echo "|---|---|---|"
    echo "| commands the server took, per second | $(med written_per_s) | |"
    echo "| replies to them, per second | $(med replies_per_s) | |"
    echo "| commands held back (1 MiB unsent), refused (errors) | $(med held_back), $(med errors) | |"
    echo "| another client's ping during the flood, p50 / p99 ms | $(med ping_p50_ms) / $(med ping_p99_ms) | |"
    echo "| same, worst ms | $(med ping_max_ms) ($(worst ping_max_ms)) | < 50: $(meets "$(worst ping_max_ms)" "<" 50) |"
    echo "| same, worst in the 2 s before / the 3 s after, ms | $(med before_ping_max_ms) / $(med after_ping_max_ms) | |"
    echo "| voice p99 before the flood / during it, ms | $(us_to_ms "$(med before_p99)") / $(us_to_ms "$(med p99)") ($(us_to_ms "$(worst p99)")) | < 1: $(meets "$(us_to_ms "$(worst p99)")" "<" 1) |"
    echo "| voice p99.9 before the flood / during it, ms | $(us_to_ms "$(med before_p999)") / $(us_to_ms "$(med p999)") ($(us_to_ms "$(worst p999)")) | < 2: $(meets "$(us_to_ms "$(worst p999)")" "<" 2) |"
    echo "| voice worst copy during the flood, ms | $(us_to_ms "$(med max)") | |"
    echo "| voice loss over the run, % | $(med loss) ($(worst loss)) | <= 0.1: $(meets "$(worst loss)" "<=" 0.1) |"
    echo
    echo "Logs: $OUT"
} | tee -a "$OUT/bench.log"
