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

check_chat "hal bea cyd dan" one two
check_car_states "hal bea cyd dan"

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
check_chat "bea cyd dan" three
grep -q '^session ended' "$(log cyd)" && fail "cyd was left out of the session"
finish
