#!/usr/bin/env bash
# Play across home routers, measured in the home-router lab (root only):
#  - join time per path: direct (public host), mapped (host behind the UPnP router), punched
#    (a player behind the plain NAT already there), relayed (behind the symmetric NAT);
#  - car-state latency over a relayed pair against a direct pair of the same session;
#  - the relay's CPU on a host of six players: its CPU relaying for six pairs less its CPU
#    with the same six all linked directly, in the same run.
# With the impair program given, every link into the lab's internet has DELAY_MS each way (10),
# so that the extra hop of a relayed pair shows against a direct one.
#   paths_bench.sh [--smoke] ORVEL_BOT [SECONDS [IMPAIR [DELAY_MS]]]
# --smoke: every step with the shortest waits (1 s of CPU, one latency report) and four players
# for the relay's CPU instead of six; it fails unless every figure came.
set -u
smoke=0
[ "${1:-}" = --smoke ] && { smoke=1; shift; }
bot=$1
seconds=${2:-10}
[ $smoke -eq 1 ] && seconds=1
export NATLAB_IMPAIR=${3:-}
export NATLAB_DELAY_MS=${4:-10}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tests/natlab/natlab.sh"

natlab_up
status=$?
[ $status -eq 77 ] && exit 77
[ $status -ne 0 ] && { echo "the lab could not be built"; exit 1; }
export XDG_RUNTIME_DIR=$NATLAB_DIR  # the players' runtime folder is this run's own

declare -A pid
now_ms() { echo $(($(date +%s%N) / 1000000)); }
log() { echo "$NATLAB_DIR/$1.log"; }
start() {
    local name=$1 where=$2
    shift 2
    mkdir -p "$NATLAB_DIR/$name"
    ip netns exec "$(natlab_ns "$where")" env ORVEL_DISCOVERY=lan \
        XDG_CONFIG_HOME="$NATLAB_DIR/$name" "$bot" --name "$name" --report 2 --stamp "$@" \
        </dev/null >"$(log "$name")" 2>&1 &
    pid[$name]=$!
}
# Starts a joiner; `took` is how long it took to be in the session (ms), or "-".
timed_join() {
    local name=$1 t0 i
    t0=$(now_ms)
    start "$@"
    took="-"
    for i in $(seq 1 2000); do
        if grep -q '^joined on port' "$(log "$name")" 2>/dev/null; then
            took=$(($(now_ms) - t0))
            return
        fi
        sleep 0.01
    done
}
stop() {
    kill -TERM "${pid[$1]}" 2>/dev/null
    wait "${pid[$1]}" 2>/dev/null
}
hosting() {
    local i
    for i in $(seq 1 500); do
        grep -q '^hosting' "$(log "$1")" 2>/dev/null && return 0
        sleep 0.01
    done
    return 1
}
# The average of a player's latency lines for one sender, over the last reports.
latency() {
    grep '^latency:' "$(log "$1")" | tail -3 | grep -o "$2=[0-9.]*" | cut -d= -f2 |
        awk '{ s += $1; n++ } END { if (n) printf "%.2f", s / n; else print "-" }'
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Mapped: the host sits behind the UPnP router; a player on the internet joins at its address.
start ann p1 --host --parked
hosting ann
for i in $(seq 1 500); do
    grep -q '^public address' "$(log ann)" && break
    sleep 0.01
done
timed_join bob pub --join 40.40.40.10:2302 --no-port-mapping --parked
mapped=$took
stop bob
stop ann

# One session: host on the internet, then the plain NAT (direct to the host), the UPnP router's
# player (punched to the plain NAT's), the symmetric NAT (relayed to both).
start hal pub --host --no-port-mapping
hosting hal
timed_join bea p2 --join 40.40.40.100:2302 --no-port-mapping
direct=$took
timed_join dan p1 --join 40.40.40.100:2302 --no-port-mapping
punched=$took
timed_join cyd p3 --join 40.40.40.100:2302 --no-port-mapping
relayed=$took
grep '^paths:' "$(log bea)" | tail -1
if [ $smoke -eq 1 ]; then
    for i in $(seq 1 70); do  # one report of latency from each
        [ "$(latency bea dan)" != - ] && [ "$(latency bea cyd)" != - ] && break
        sleep 0.1
    done
else
    sleep 7  # three reports of latency
fi
direct_ms=$(latency bea dan)
relayed_ms=$(latency bea cyd)

# Six players: two more behind the plain and the symmetric NAT, so that the host relays for six
# pairs; then the same six all on the internet, where it relays for none. The relay's own CPU is
# the difference of the host's CPU between the two.
host_cpu() {
    local before after hz
    sleep $((2 - smoke))
    before=$(cpu_ticks "${pid[$1]}")
    sleep "$seconds"
    after=$(cpu_ticks "${pid[$1]}")
    hz=$(getconf CLK_TCK)
    awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * t / hz / s }'
}
more="eve fay" players=6 pairs=6 last=fay
[ $smoke -eq 1 ] && more="" players=4 pairs=2 last=cyd
[ -n "$more" ] && timed_join eve p2 --join 40.40.40.100:2302 --no-port-mapping --port 2303
[ -n "$more" ] && timed_join fay p3 --join 40.40.40.100:2302 --no-port-mapping --port 2303
relaying=$(host_cpu hal)
grep '^paths:' "$(log $last)" | tail -1
for n in hal bea dan cyd $more; do stop "$n"; done

start hal pub --host --no-port-mapping
hosting hal
port=2303
for n in bea dan cyd $more; do
    timed_join "$n" pub --join 40.40.40.100:2302 --no-port-mapping --port $port
    port=$((port + 1))
done
direct_cpu=$(host_cpu hal)
for n in hal bea dan cyd $more; do stop "$n"; done

[ -n "$NATLAB_IMPAIR" ] && printf '%-34s %s\n' "delay of each link (ms)" "$NATLAB_DELAY_MS"
printf '%-34s %s\n' "join, direct (ms)" "$direct" "join, mapped (ms)" "$mapped" \
    "join, punched (ms)" "$punched" "join, relayed (ms)" "$relayed" \
    "car-state latency, direct (ms)" "$direct_ms" "car-state latency, relayed (ms)" "$relayed_ms"
awk -v r="$relayed_ms" -v d="$direct_ms" 'BEGIN {
    if (d > 0) printf "%-34s %.2f\n", "relayed / direct latency", r / d }'
printf '%-34s %s\n' "host CPU, $players players, $pairs relayed (%)" "$relaying" \
    "host CPU, $players players, none (%)" "$direct_cpu"
awk -v r="$relaying" -v d="$direct_cpu" 'BEGIN {
    printf "%-34s %.2f\n", "relay CPU (% of a core)", r - d
    if (d > 0) printf "%-34s %.2f\n", "host CPU relaying / not", r / d }'
if [ $smoke -eq 1 ]; then
    for figure in "$direct" "$mapped" "$punched" "$relayed" "$direct_ms" "$relayed_ms" \
        "$relaying" "$direct_cpu"; do
        [ -z "$figure" ] || [ "$figure" = - ] && { echo "a figure is missing"; exit 1; }
    done
fi
exit 0
