#!/usr/bin/env bash
# A player behind the UPnP router hosts; a player on the internet joins at the router's public
# address with nothing set up by hand; both chat. When the host leaves (SIGTERM) the router no
# longer forwards the port. The same for orvel itself, hosting through a lobby launch.
#   upnp_join_test.sh ORVEL_BOT ORVEL ORVEL_LOBBY
set -u
bot=$1
orvel=$2
lobby=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/natlab_test.sh"

forwarded() { natlab_in r1 nft list chain inet filter prerouting_miniupnpd | grep -q "dport 2302"; }

mkdir -p "$NATLAB_DIR/home" "$NATLAB_DIR/pub"
mkfifo "$NATLAB_DIR/say"
exec 3<>"$NATLAB_DIR/say"
host_log=$NATLAB_DIR/host.log
pub_log=$NATLAB_DIR/pub.log
# The lab's players search their own networks; nothing of theirs reaches beyond the lab.
ip netns exec "$(natlab_ns p1)" env ORVEL_DISCOVERY=lan XDG_CONFIG_HOME="$NATLAB_DIR/home" \
    "$bot" --host --name ann --session-name "Home race" --parked --report 0 \
    <&3 >"$host_log" 2>&1 &
host=$!

if await "$host_log" '^public address 40\.40\.40\.10:2302$' 10; then
    grep -Eq '^port mapping: mapped 40\.40\.40\.10:2302 \((UPnP IGD|NAT-PMP)\)$' "$host_log" ||
        fail "the mapping was not reported"
    forwarded || fail "the router does not forward port 2302 while the host is there"

    ip netns exec "$(natlab_ns pub)" env ORVEL_DISCOVERY=lan XDG_CONFIG_HOME="$NATLAB_DIR/pub" \
        "$bot" --join 40.40.40.10:2302 --name bob --parked --report 0 --no-port-mapping \
        --say "hello from the internet" >"$pub_log" 2>&1 </dev/null &
    pub=$!
    if await "$host_log" '^- bob has joined the game\.$' 15; then
        echo "hello from home" >&3
        await "$pub_log" '^<ann> hello from home$' 10 || fail "bob did not get ann's line"
        await "$host_log" '^<bob> hello from the internet$' 10 || fail "ann did not get bob's line"
    else
        fail "bob could not join at the router's address"
    fi
    grep -q 'port mapping' "$pub_log" && fail "bob asked for a mapping despite --no-port-mapping"

    terminate_within_5s "$host" || fail "the host did not end within 5 s of SIGTERM"
    grep -q '^port mapping: off$' "$host_log" || fail "the host did not give the mapping back"
    forwarded && fail "the router still forwards port 2302 after the host left"
    natlab_in p1 timeout 10 upnpc -l 2>/dev/null | grep -q 'UDP *2302->' &&
        fail "the router still lists the mapping"
    kill -TERM "$pub" 2>/dev/null
    wait "$pub" 2>/dev/null
else
    fail "the host behind the UPnP router got no mapping"
fi
kill -TERM "$host" 2>/dev/null
wait "$host" 2>/dev/null

# orvel: asks once its wizard has finished, gives the port back when SIGTERM closes its window.
orvel_log=$NATLAB_DIR/orvel.log
(
    export XDG_CONFIG_HOME=$NATLAB_DIR/orvel XDG_RUNTIME_DIR=$NATLAB_DIR/run ORVEL_DISCOVERY=lan
    export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="orvel.startup.debug=true"
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    # A first start registers the program for lobby launches; it is not needed beyond that.
    ip netns exec "$(natlab_ns p1)" "$orvel" >/dev/null 2>&1 &
    first=$!
    for i in $(seq 1 200); do
        ls "$XDG_CONFIG_HOME"/Orvel/lobby/*.ini >/dev/null 2>&1 && break
        sleep 0.05
    done
    kill -KILL "$first"
    wait "$first" 2>/dev/null
    ip netns exec "$(natlab_ns p1)" "$lobby" host --name ann --session "Home race" 2>"$orvel_log"
) >"$NATLAB_DIR/lobby.out"
orvel_pid=$(sed -n 's/.*(pid \([0-9]*\)).*/\1/p' "$NATLAB_DIR/lobby.out" | head -n1)
if [ -n "$orvel_pid" ] &&
    await "$orvel_log" 'port mapping "mapped 40\.40\.40\.10:2302 \((UPnP IGD|NAT-PMP)\)"' 10; then
    forwarded || fail "the router does not forward orvel's port"
    terminate_within_5s "$orvel_pid" || fail "orvel did not end within 5 s of SIGTERM"
    grep -q 'port mapping "off"' "$orvel_log" || fail "orvel did not give the mapping back"
    forwarded && fail "the router still forwards orvel's port after it ended"
else
    fail "orvel behind the UPnP router got no mapping: $(cat "$NATLAB_DIR/lobby.out")"
fi

if [ $failures -ne 0 ]; then
    echo "--- host"; cat "$host_log"
    echo "--- internet player"; cat "$pub_log" 2>/dev/null
    echo "--- orvel"; cat "$orvel_log" 2>/dev/null
    echo "--- miniupnpd"; tail -20 "$NATLAB_DIR/miniupnpd.log"
    exit 1
fi
echo "PASS"
