#!/usr/bin/env bash
# One session across every kind of home router: a host on the internet, then players behind the
# plain NAT, the symmetric NAT and the UPnP router. Everyone gets everyone's chat lines once and
# in order, and their car states; the pair no direct link joins goes through the host. Then the
# host leaves, and the one that reaches everyone takes over and relays; nobody is left out.
#   mesh_test.sh ORVEL_BOT
set -u
bot=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/natlab_test.sh"

# name, lab host, extra flags; the first hosts.
players=(hal:pub bea:p2 cyd:p3 dan:p1)
declare -A pid
start() {
    local name=$1 where=$2
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

start hal pub --host --migrate --session-name "Across the net" --no-port-mapping
await "$(log hal)" '^hosting' 10 || fail "hal did not host"
start bea p2 --join 40.40.40.100:2302 --no-port-mapping
await "$(log bea)" '^joined on port' 20 || fail "bea behind the plain NAT did not join"
start cyd p3 --join 40.40.40.100:2302 --no-port-mapping
await "$(log cyd)" '^joined on port' 20 || fail "cyd behind the symmetric NAT did not join"
start dan p1 --join 40.40.40.100:2302
await "$(log dan)" '^joined on port' 20 || fail "dan behind the UPnP router did not join"

# What each sees of the paths: the symmetric NAT cannot be punched through from the plain one.
await "$(log bea)" '^the host sees us at 40\.40\.40\.20:' 1 || fail "bea was not told its public address"
await "$(log cyd)" '^paths: .*bea=relayed [0-9]+ ms' 5 || fail "cyd does not show bea as relayed, with its round trip"
await "$(log bea)" '^paths: .*cyd=relayed' 5 || fail "bea does not show cyd as relayed"
await "$(log dan)" '^paths: .*bea=punched [0-9]+ ms' 5 || fail "dan did not punch through to bea"
await "$(log hal)" '^paths: .*bea=direct [0-9]+ ms' 5 || fail "hal shows no round trip to bea"

for p in "${players[@]}"; do
    say "${p%%:*}" "${p%%:*} one"
    say "${p%%:*}" "${p%%:*} two"
done
for p in "${players[@]}"; do
    me=${p%%:*}
    for q in "${players[@]}"; do
        other=${q%%:*}
        [ "$me" = "$other" ] && continue
        if ! await "$(log "$me")" "^<$other> $other two$" 15; then
            fail "$me did not get $other's lines"
            continue
        fi
        lines=$(grep -E "^<$other> $other (one|two)$" "$(log "$me")" | tr '\n' '|')
        [ "$lines" = "<$other> $other one|<$other> $other two|" ] ||
            fail "$me got $other's lines as: $lines"
    done
    others=$(printf '%s\n' "${players[@]%%:*}" | grep -v "^$me$" | tr '\n' ' ')
    ok=0
    for i in $(seq 1 100); do
        line=$(grep '^car states:' "$(log "$me")" | tail -1)
        ok=1
        for other in $others; do
            echo "$line" | grep -Eq "(: |, )$other=[1-9]" || ok=0
        done
        [ $ok -eq 1 ] && break
        sleep 0.1
    done
    [ $ok -eq 1 ] || fail "$me lacks car states from someone: $line"
done

# Once dan's router maps its port, the host has cyd link to dan: dan then reaches everyone
# without the relay and is the one to take over. The mapped port and a punch both open that link;
# whichever answers first names it.
await "$(log cyd)" '^paths: .*dan=(direct|punched)' 20 || fail "cyd did not move off the relay to dan"
await "$(log dan)" '^paths: .*cyd=(direct|punched)' 5 || fail "dan does not show cyd off the relay"

# The host leaves: dan takes over and carries bea and cyd's traffic; all three go on together.
kill -TERM "${pid[hal]}"
for p in bea cyd dan; do
    await "$(log $p)" '^host is now dan$' 20 || fail "$p does not follow dan as host"
done
for p in bea cyd dan; do
    say $p "$p three"
done
for p in bea cyd dan; do
    for q in bea cyd dan; do
        [ $p = $q ] && continue
        await "$(log $p)" "^<$q> $q three$" 10 || fail "$p did not hear $q after the host left"
    done
done
grep -q '^session ended' "$(log cyd)" && fail "cyd was left out of the session"

for p in "${players[@]}"; do
    kill -TERM "${pid[${p%%:*}]}" 2>/dev/null
    wait "${pid[${p%%:*}]}" 2>/dev/null
done
if [ $failures -ne 0 ]; then
    for p in "${players[@]}"; do
        echo "--- ${p%%:*}"
        grep -v '^car states' "$(log "${p%%:*}")"
    done
    exit 1
fi
echo "PASS"
