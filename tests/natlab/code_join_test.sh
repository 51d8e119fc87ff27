#!/usr/bin/env bash
# Hosting from behind a carrier-grade NAT through a meeting point on the lab's internet. First,
# players with no meeting point set send nothing anywhere but to each other. Then a host behind
# the carrier-grade NAT (its own router without UPnP) registers and is given a code; a player
# behind the plain NAT joins by the code and punches through, one behind the symmetric NAT is
# relayed by the meeting point; the two of them get a relay of their own there. All three race.
# bea, cut off for 20 s, comes back into its old slot. The host leaves: the others go on, the new
# host reclaims the code, and a fourth player joins by it.
#   code_join_test.sh ORVEL_BOT ORVEL_MEET
set -u
bot=$1
meet=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/natlab_test.sh"

natlab_meet "$meet" || { echo "FAIL: the meeting point did not start"; exit 1; }
point=$NATLAB_MEET

# Every UDP datagram that crosses the lab's internet to an address but the two players'.
natlab_in inet nft -f - <<EOF || fail "no counter on the internet"
table bridge watch {
    counter elsewhere { }
    chain forward {
        type filter hook forward priority filter; policy accept;
        meta l4proto udp ip daddr != { 40.40.40.100, 40.40.40.20 } counter name elsewhere
    }
}
EOF
elsewhere() { natlab_in inet nft list counter bridge watch elsewhere | sed -n 's/.*packets \([0-9]*\).*/\1/p'; }

start zed pub --host --no-port-mapping --parked
await "$(log zed)" '^hosting' 10 || fail "zed did not host"
start yan p2 --join 40.40.40.100 --no-port-mapping --parked --say "no meeting point"
await "$(log zed)" '^<yan> no meeting point$' 10 || fail "zed did not hear yan"
for p in zed yan; do
    terminate_within_5s "${pid[$p]}" || fail "$p did not end"
done
[ "$(elsewhere)" = 0 ] || fail "with no meeting point set, $(elsewhere) datagrams went elsewhere"

# Milliseconds since the epoch, and the time from then until a line shows in a log (or nothing).
ms() { date +%s%3N; }
joined_after() {
    local from=$1
    await "$(log "$2")" '^joined on port' 20 && echo $(($(ms) - from))
}

start ann p4 --host --migrate --session-name "Behind the carrier" --meet "$point"
await "$(log ann)" '^code: [0-9A-Z]{4}-[0-9A-Z]{4}$' 10 || fail "ann got no code"
code=$(sed -n 's/^code: //p' "$(log ann)" | head -1)
await "$(log ann)" '^meeting point: sees us at 40\.40\.40\.40:[0-9]+, friends are introduced$' 5 ||
    fail "ann was not told that friends come in introduced"

t=$(ms)
start bea p2 --join "$code" --meet "$point" --no-port-mapping
punched_ms=$(joined_after "$t" bea) || fail "bea behind the plain NAT did not join by code"
t=$(ms)
start cyd p3 --join "$code" --meet "$point" --no-port-mapping
relayed_ms=$(joined_after "$t" cyd) || fail "cyd behind the symmetric NAT did not join by code"
echo "join by code: punched ${punched_ms:-?} ms, relayed ${relayed_ms:-?} ms"
await "$(log bea)" '^paths: .*ann=punched [0-9]+ ms' 5 || fail "bea did not punch through to ann"
await "$(log cyd)" '^paths: .*ann=meet-relayed [0-9]+ ms' 5 || fail "cyd is not relayed to ann"
# The pair the host carried gets a relay of its own, which outlives the host.
await "$(log cyd)" '^paths: .*bea=meet-relayed' 20 || fail "cyd has no relay of its own to bea"
await "$(log bea)" '^paths: .*cyd=meet-relayed' 5 || fail "bea has no relay of its own to cyd"
[ "$(elsewhere)" -gt 0 ] || fail "the counter saw nothing of the meeting point"

check_chat "ann bea cyd" one two
check_car_states "ann bea cyd"

# bea's router forwards nothing for 20 s, and bea says it is cut off. The others drop bea, then
# see it back in its old slot (its id, so never a second join), and its lines reach them. bea,
# not cyd: its way to the host was punched, so its return finds the host at the address it knew.
natlab_in r2 nft -f - <<EOF || fail "bea could not be cut off"
table inet cut {
    chain forward { type filter hook forward priority filter; policy drop; }
}
EOF
cut_at=$SECONDS
await "$(log bea)" '^- Connection lost\. Trying to come back\.\.\.$' 20 || fail "bea did not say it is cut off"
left=$((20 - (SECONDS - cut_at)))
[ "$left" -le 0 ] || sleep "$left"
natlab_in r2 nft delete table inet cut || fail "bea could not be put back"
for p in ann cyd; do
    await "$(log $p)" '^- bea is back\.$' 60 || fail "$p did not see bea back"
    [ "$(grep -c '^- bea has joined' "$(log $p)")" = 1 ] || fail "$p saw bea join again"
done
grep -q '^session ended' "$(log bea)" && fail "bea lost the session"
check_chat "ann bea cyd" back
# Carried by the host again, bea and cyd get a relay of their own again before it leaves.
from=$(($(wc -l <"$(log cyd)") + 1))
await "$(log cyd)" '^paths: .*bea=meet-relayed' 20 "$from" || fail "cyd has no relay to bea again"

# The host leaves: bea takes over under the same code, cyd goes on with it, and dan joins by it.
terminate_within_5s "${pid[ann]}" || fail "ann did not end"
for p in bea cyd; do
    await "$(log $p)" '^host is now bea$' 20 || fail "$p does not follow bea as host"
done
await "$(log bea)" "^code: $code$" 10 || fail "bea did not reclaim $code"
start dan pub --join "$code" --meet "$point" --no-port-mapping
await "$(log dan)" '^joined on port' 20 || fail "dan did not join by the same code"
check_chat "bea cyd dan" three
check_car_states "bea cyd dan"
grep -q '^session ended' "$(log cyd)" && fail "cyd was left out of the session"
finish "$NATLAB_DIR/meet.log"
