# What the lab's test scripts share, sourced after they have read their arguments: the lab comes
# up (or the test skips with 77), failures are counted, and logs are waited on.
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/natlab.sh"

natlab_up
status=$?
[ $status -eq 77 ] && exit 77
[ $status -ne 0 ] && { echo "FAIL: the lab could not be built"; exit 1; }

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Waits for a line matching a pattern in a log, at most the given seconds.
await() {
    local file=$1 pattern=$2 seconds=$3 i
    for i in $(seq 1 $((seconds * 20))); do
        grep -Eq -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# Sends SIGTERM and waits up to 5 s for the process to end; false while it still runs.
terminate_within_5s() {
    local pid=$1 i
    kill -TERM "$pid"
    for i in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.05
    done
    ! kill -0 "$pid" 2>/dev/null
}
