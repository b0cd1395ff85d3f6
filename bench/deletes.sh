# Deleting files one after another; sourced by `bench/run_bench.sh deletes`, which has built
# everything (bench/bench_lib.sh gives the helpers). While the realistic voice load runs
# (500 users in 50 channels, one talker each at 50 packets/s) and another client pings
# every 20 ms, one client uploads DELETE_FILES small files one after another, each over a
# data connection of its own, then deletes them one after another; DELETE_REPS runs.
#
# Environment:
#   DELETE_FILES=1000 DELETE_BYTES=1000 DELETE_REPS=3
#   DELETE_AS=admin      who uploads and deletes: the administrator, in the static channel
#                        /files/; "operator": a user that creates /deletes/ by joining it
#   COMMAND_RATE=0       the server's per-connection throttle, off by default here so that
#                        the deletions run as fast as the server answers them
DELETE_FILES=${DELETE_FILES:-1000}
DELETE_BYTES=${DELETE_BYTES:-1000}
DELETE_REPS=${DELETE_REPS:-3}
DELETE_AS=${DELETE_AS:-admin}
COMMAND_RATE=${COMMAND_RATE:-0}
SHARE_FILES=1
ADMIN_PASSWORD=bench
CHANNEL_QUOTA=1000000000000
if [ "$DELETE_AS" = admin ]; then
    DELETER=(--admin admin bench --channel /files/)
else
    DELETER=(--channel /deletes/)
fi

declare -A D
deletes_run() {  # name
    local name=$1 f
    voice_run "$name" 900 --deletes "$DELETE_FILES" --file-bytes "$DELETE_BYTES" "${DELETER[@]}"
    for f in ok deleted upload_s delete_s deletes_per_s delete_ms_p50 delete_ms_p99 delete_ms_max ping_p50_ms \
        ping_p99_ms ping_max_ms upload_ping_max_ms before_ping_max_ms; do
        D[$name.$f]=$(field "$f" "$CLIENT_RESULT")
    done
    record_voice D "$name" before uploads
}

repeat_runs deletes "$DELETE_REPS" deletes_run

FIGURES=D
{
    echo
    echo "Medians of ${#RUNS[@]} runs (worst in brackets); server on core $TARGET_CORE, clients on core $CLIENT_CORE" \
        "(PIN=$PIN); the $DELETE_AS uploads $DELETE_FILES files of $DELETE_BYTES bytes, then deletes them one after" \
        "another; another client pings every 20 ms, ${VOICE_USERS:-500} users talk."
    machine_notes
    echo
    echo "| figure | value | target |"
    echo "|---|---|---|"
    echo "| files deleted | $(med deleted) of $DELETE_FILES | all |"
    echo "| seconds to upload them / to delete them | $(med upload_s) / $(med delete_s) | |"
    echo "| one deletion, p50 / p99 / worst ms | $(med delete_ms_p50) / $(med delete_ms_p99) / $(med delete_ms_max) | |"
    echo "| another client's ping during the deletions, p50 / p99 ms | $(med ping_p50_ms) / $(med ping_p99_ms) | |"
    echo "| same, worst ms | $(med ping_max_ms) ($(worst ping_max_ms)) | < 50: $(meets "$(worst ping_max_ms)" "<" 50) |"
    echo "| same, worst during the uploads / before, ms | $(med upload_ping_max_ms) / $(med before_ping_max_ms) | |"
    echo "| voice p99 before / during the uploads / during the deletions, ms | $(us_to_ms "$(med before_p99)") / $(us_to_ms "$(med uploads_p99)") / $(us_to_ms "$(med p99)") ($(us_to_ms "$(worst p99)")) | < 1: $(meets "$(us_to_ms "$(worst p99)")" "<" 1) |"
    echo "| voice p99.9 before / during the uploads / during the deletions, ms | $(us_to_ms "$(med before_p999)") / $(us_to_ms "$(med uploads_p999)") / $(us_to_ms "$(med p999)") | |"
    echo "| voice loss over the run, % | $(med loss) ($(worst loss)) | <= 0.1: $(meets "$(worst loss)" "<=" 0.1) |"
    echo
    echo "Logs: $OUT"
} | tee -a "$OUT/bench.log"
