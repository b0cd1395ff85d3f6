# Shell helpers of the benchmark scripts; sourced, with OUT set to the log directory,
# TARGET_CORE to the core of the measured process and AWAKE, SPINNER and TARGET_PID set.

log() { printf '%s\n' "$*" | tee -a "$OUT/bench.log"; }

field() {  # name line: the value of name=value in a RESULT line
    printf '%s\n' "$2" | tr ' ' '\n' | sed -n "s/^$1=//p" | head -1
}

median() {  # numbers...
    printf '%s\n' "$@" | grep -E '^-?[0-9.]+$' | sort -g | awk '{v[NR]=$1} END {
        if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2 }'
}

ratio() {  # a b
    awk -v a="$1" -v b="$2" 'BEGIN { if (a+0 == a && b+0 == b && b != 0) printf "%.2f", a/b; else print "n/a" }'
}

# An idle-priority spinner keeps the target's core out of the idle halt (this virtual
# machine takes milliseconds to wake a halted core).
start_spinner() {
    if [ "$AWAKE" = 1 ] && [ -z "$SPINNER" ]; then
        chrt -i 0 taskset -c "$TARGET_CORE" sh -c 'while :; do :; done' &
        SPINNER=$!
    fi
}

stop_spinner() {
    if [ -n "$SPINNER" ]; then
        kill "$SPINNER" 2>/dev/null
        wait "$SPINNER" 2>/dev/null
        SPINNER=""
    fi
}

# Stops the measured process with SIGINT, or SIGKILL when it does not end in 10 s.
stop_target() {
    [ -z "$TARGET_PID" ] && return
    kill -INT "$TARGET_PID" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$TARGET_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$TARGET_PID" 2>/dev/null
    wait "$TARGET_PID" 2>/dev/null
    TARGET_PID=""
}
