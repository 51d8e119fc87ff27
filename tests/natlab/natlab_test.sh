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

# Waits for a line matching a pattern in a log (from the given line on, or all of it), at most
# the given seconds.
await() {
    local file=$1 pattern=$2 seconds=$3 from=${4:-1} i
    for i in $(seq 1 $((seconds * 20))); do
        tail -n "+$from" "$file" 2>/dev/null | grep -Eq -- "$pattern" && return 0
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

# Bots in the lab's hosts, each reading chat lines from a pipe: start NAME HOST ARGS...,
# say NAME LINE; log NAME is where its output goes.
declare -A pid
start() {
    local name=$1 where=$2 fd
    shift 2
    mkfifo "$NATLAB_DIR/$name.in"
    mkdir -p "$NATLAB_DIR/$name"
    # Holds the pipe open for the bot, whose stdin is read for chat lines.
    exec {fd}<>"$NATLAB_DIR/$name.in"
    eval "in_$name=$fd"
    ip netns exec "$(natlab_ns "$where")" env ORVEL_DISCOVERY=lan \
        XDG_CONFIG_HOME="$NATLAB_DIR/$name" "$bot" --name "$name" --report 1 "$@" \
        <&"$fd" >"$NATLAB_DIR/$name.log" 2>&1 &
    pid[$name]=$!
}
say() {
    local fd_var="in_$1"
    echo "$2" >&"${!fd_var}"
}
log() { echo "$NATLAB_DIR/$1.log"; }

# Each player says "NAME WORD" for each word; every other one gets those lines once and in
# order: check_chat "ann bea cyd" one two
check_chat() {
    local players=$1 me other word lines expected
    shift
    for me in $players; do
        for word in "$@"; do
            say "$me" "$me $word"
        done
    done
    for me in $players; do
        for other in $players; do
            [ "$me" = "$other" ] && continue
            if ! await "$(log "$me")" "^<$other> $other ${!#}$" 15; then
                fail "$me did not get $other's lines"
                continue
            fi
            expected=$(printf "<$other> $other %s|" "$@")
            lines=$(grep -E "^<$other> $other ($(IFS='|'; echo "$*"))$" "$(log "$me")" | tr '\n' '|')
            [ "$lines" = "$expected" ] || fail "$me got $other's lines as: $lines"
        done
    done
}

# Every player has car states from every other one (within 10 s): check_car_states "ann bea"
check_car_states() {
    local players=$1 me other ok line i
    for me in $players; do
        ok=0
        for i in $(seq 1 100); do
            line=$(grep '^car states:' "$(log "$me")" | tail -1)
            ok=1
            for other in $players; do
                [ "$me" = "$other" ] && continue
                echo "$line" | grep -Eq "(: |, )$other=[1-9]" || ok=0
            done
            [ $ok -eq 1 ] && break
            sleep 0.1
        done
        [ $ok -eq 1 ] || fail "$me lacks car states from someone: $line"
    done
}

# Ends every bot started, then prints the logs (but car-state lines) should anything have failed.
finish() {
    local name
    for name in "${!pid[@]}"; do
        kill -TERM "${pid[$name]}" 2>/dev/null
        wait "${pid[$name]}" 2>/dev/null
    done
    if [ $failures -ne 0 ]; then
        for name in "${!pid[@]}"; do
            echo "--- $name"
            grep -v '^car states' "$(log "$name")"
        done
        [ $# -gt 0 ] && { echo "--- $1"; cat "$1"; }
        exit 1
    fi
    echo "PASS"
}
