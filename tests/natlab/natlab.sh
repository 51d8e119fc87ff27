# A lab of home routers in network namespaces, for tests to source.
#
#   natlab_up            builds it (returns 77 with a message where namespaces cannot be made)
#   natlab_down          tears it down (natlab_up arms a trap that calls it on exit)
#   natlab_in NAME CMD   runs CMD in one of the lab's hosts
#
# The hosts (names as natlab_in takes them):
#   inet    the "internet": a bridge joining the routers' outside ends and the public player
#   pub     a player on the internet, 40.40.40.100
#   r1 p1   home router with a UPnP IGD and NAT-PMP daemon (miniupnpd), 40.40.40.10; player
#           behind it 192.168.1.2
#   r2 p2   plain NAT (Linux masquerade: one outside port per inside port), 40.40.40.20;
#           player 192.168.2.2
#   r3 p3   symmetric NAT (masquerade random,fully-random), 40.40.40.30; player 192.168.3.2
#   cg      carrier-grade NAT: masquerades its subscribers' network 100.64.4.0/24 at 40.40.40.40
#   r4 p4   home router behind it, UPnP off (no daemon), outside 100.64.4.2; player 192.168.4.2
#   meet    where a meeting point may run (natlab_meet), 40.40.40.200
#
# With NATLAB_IMPAIR set to the impair program, it bridges the internet instead of a kernel
# bridge, and every link into the internet gets NATLAB_DELAY_MS of delay each way (0 unless set).
#
# miniupnpd refuses to serve a private external address, hence the public-looking 40.40.40.0/24.
# It exists only inside these namespaces: none of them has a link to the machine's own network,
# and nothing routes out of the lab.

NATLAB_TAG=${NATLAB_TAG:-nl$$}
NATLAB_DIR=""
NATLAB_UPNPD_PID=""
NATLAB_OUTSIDE=()  # the internet's ends of the links into it
NATLAB_HOSTS=(inet pub r1 p1 r2 p2 r3 p3 cg r4 p4 meet)
NATLAB_MEET=40.40.40.200

natlab_ns() { echo "${NATLAB_TAG}-$1"; }

natlab_in() {
    local who=$1
    shift
    ip netns exec "$(natlab_ns "$who")" "$@"
}

natlab_skip() {
    echo "SKIP: $*" >&2
    return 77
}

natlab_down() {
    if [ -n "$NATLAB_UPNPD_PID" ]; then
        kill "$NATLAB_UPNPD_PID" 2>/dev/null
        wait "$NATLAB_UPNPD_PID" 2>/dev/null
        NATLAB_UPNPD_PID=""
    fi
    local n pid
    for n in "${NATLAB_HOSTS[@]}"; do
        # Whatever a test left running in the lab goes with it.
        for pid in $(ip netns pids "$(natlab_ns "$n")" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null
        done
        ip netns del "$(natlab_ns "$n")" 2>/dev/null
    done
    if [ -n "$NATLAB_DIR" ]; then
        rm -rf "$NATLAB_DIR"
        NATLAB_DIR=""
    fi
}

# A veth pair between two of the lab's hosts, made inside them (never in the machine's own
# namespace): natlab_link HOST_A IF_A HOST_B IF_B
natlab_link() {
    ip -n "$(natlab_ns "$1")" link add "$2" type veth peer name "$4" netns "$(natlab_ns "$3")" &&
        natlab_in "$1" ip link set "$2" up &&
        natlab_in "$3" ip link set "$4" up
}

# Puts a link's internet end on the internet's bridge.
natlab_attach() {
    NATLAB_OUTSIDE+=("$1")
    [ -n "${NATLAB_IMPAIR:-}" ] || natlab_in inet ip link set "$1" master br0
}

# The impair bridge across every link into the internet, with the delay asked for; bounded wait
# until it answers.
natlab_impair() {
    local links=() ifname i
    for ifname in "${NATLAB_OUTSIDE[@]}"; do
        links+=(--link "$ifname")
    done
    natlab_in inet "$NATLAB_IMPAIR" "${links[@]}" --control "$NATLAB_DIR/impair.ctl" \
        >"$NATLAB_DIR/impair.log" 2>&1 &
    for i in $(seq 1 100); do
        if "$NATLAB_IMPAIR" --ctl "$NATLAB_DIR/impair.ctl" set all delay="${NATLAB_DELAY_MS:-0}" \
            >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.05
    done
    cat "$NATLAB_DIR/impair.log" >&2
    return 1
}

# A router masquerading what leaves through its interface "wan", with the given nft flags.
natlab_masquerade() {
    local router=$1 flags=$2
    natlab_in "$router" sysctl -qw net.ipv4.ip_forward=1 &&
        natlab_in "$router" nft -f - <<EOF
table ip natlab {
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        oifname "wan" masquerade $flags
    }
    # As home routers do: nothing unasked-for from outside reaches the router itself. Turned
    # away before it is tracked, it cannot take the place of a player's own mapping.
    chain input {
        type filter hook input priority filter; policy accept;
        iifname "wan" ct state new drop
    }
}
EOF
}

# Home router N, its interface "wan" made already, with outside address WAN/24, inside network
# 192.168.N.0/24 and one player behind it.
natlab_home() {
    local n=$1 wan=$2 flags=$3
    natlab_in "r$n" ip addr add "$wan/24" dev wan &&
        natlab_link "r$n" lan "p$n" eth0 &&
        natlab_in "r$n" ip addr add "192.168.$n.1/24" dev lan &&
        natlab_in "p$n" ip addr add "192.168.$n.2/24" dev eth0 &&
        natlab_in "p$n" ip route add default via "192.168.$n.1" &&
        natlab_masquerade "r$n" "$flags"
}

# A home router N on the internet at 40.40.40.<wan>.
natlab_router() {
    local n=$1 wan=$2 flags=$3
    natlab_link "r$n" wan inet "r${n}w" &&
        natlab_attach "r${n}w" &&
        natlab_home "$n" "40.40.40.$wan" "$flags"
}

# The carrier-grade NAT: router 4's outside address is on the carrier's network, which the
# carrier router masquerades once more at 40.40.40.40.
natlab_carrier() {
    natlab_link cg wan inet cgw &&
        natlab_attach cgw &&
        natlab_in cg ip addr add 40.40.40.40/24 dev wan &&
        natlab_link cg sub r4 wan &&
        natlab_in cg ip addr add 100.64.4.1/24 dev sub &&
        natlab_home 4 100.64.4.2 "" &&
        natlab_in r4 ip route add default via 100.64.4.1 &&
        natlab_masquerade cg ""
}

# A meeting point in the host "meet": natlab_meet ORVEL_MEET; its log is $NATLAB_DIR/meet.log.
# Ready once it says where it listens; bounded.
natlab_meet() {
    ip netns exec "$(natlab_ns meet)" env QT_LOGGING_RULES="orvel.meet.debug=true" "$1" \
        >"$NATLAB_DIR/meet.log" 2>&1 &
    local i
    for i in $(seq 1 100); do
        grep -q 'meeting point on' "$NATLAB_DIR/meet.log" && return 0
        sleep 0.05
    done
    cat "$NATLAB_DIR/meet.log" >&2
    return 1
}

# miniupnpd on router 1: the tables it fills in, its configuration in the lab's folder, and the
# daemon itself listening on the inside interface only.
natlab_upnpd() {
    natlab_in r1 nft -f - <<EOF || return 1
table inet filter {
    chain forward { type filter hook forward priority filter; policy accept; jump miniupnpd; }
    chain miniupnpd { }
    chain prerouting { type nat hook prerouting priority dstnat; policy accept; jump prerouting_miniupnpd; }
    chain postrouting { type nat hook postrouting priority srcnat; policy accept; jump postrouting_miniupnpd; }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
}
EOF
    cat >"$NATLAB_DIR/miniupnpd.conf" <<EOF
ext_ifname=wan
listening_ip=lan
http_port=0
enable_natpmp=yes
enable_upnp=yes
ipv6_disable=yes
secure_mode=yes
system_uptime=yes
notify_interval=60
clean_ruleset_interval=600
uuid=6a1a6d7e-0b5c-4a43-9c36-6e6174c61b01
lease_file=$NATLAB_DIR/upnp.leases
allow 1024-65535 192.168.1.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
EOF
    ip netns exec "$(natlab_ns r1)" /usr/sbin/miniupnpd -d -f "$NATLAB_DIR/miniupnpd.conf" \
        -P "$NATLAB_DIR/miniupnpd.pid" >"$NATLAB_DIR/miniupnpd.log" 2>&1 &
    NATLAB_UPNPD_PID=$!
    # Ready once it listens for SSDP on the inside; bounded.
    local i
    for i in $(seq 1 100); do
        if natlab_in r1 ss -lun 2>/dev/null | grep -q '192.168.1.1:5351\|:1900'; then
            return 0
        fi
        if ! kill -0 "$NATLAB_UPNPD_PID" 2>/dev/null; then
            cat "$NATLAB_DIR/miniupnpd.log" >&2
            return 1
        fi
        sleep 0.05
    done
    cat "$NATLAB_DIR/miniupnpd.log" >&2
    return 1
}

natlab_up() {
    if [ "$(id -u)" -ne 0 ]; then
        natlab_skip "the home-router lab needs root to make network namespaces"
        return
    fi
    local tool
    for tool in ip nft ss; do
        command -v "$tool" >/dev/null || { natlab_skip "the lab needs $tool"; return; }
    done
    [ -x /usr/sbin/miniupnpd ] || { natlab_skip "the lab needs miniupnpd (miniupnpd-nftables)"; return; }
    if ! ip netns add "$(natlab_ns inet)" 2>/dev/null; then
        natlab_skip "network namespaces cannot be made here"
        return
    fi
    trap natlab_down EXIT
    NATLAB_DIR=$(mktemp -d /tmp/natlab.XXXXXX)
    local n
    for n in "${NATLAB_HOSTS[@]:1}"; do
        ip netns add "$(natlab_ns "$n")" || return 1
    done
    for n in "${NATLAB_HOSTS[@]}"; do
        natlab_in "$n" ip link set lo up || return 1
    done
    NATLAB_OUTSIDE=()
    natlab_in inet ip link add br0 type bridge &&
        natlab_in inet ip link set br0 up &&
        natlab_link pub eth0 inet pubw &&
        natlab_attach pubw &&
        natlab_in pub ip addr add 40.40.40.100/24 dev eth0 &&
        natlab_router 1 10 "" &&
        natlab_router 2 20 "" &&
        natlab_router 3 30 "random,fully-random" &&
        natlab_carrier &&
        natlab_link meet eth0 inet meetw &&
        natlab_attach meetw &&
        natlab_in meet ip addr add "$NATLAB_MEET/24" dev eth0 &&
        { [ -z "${NATLAB_IMPAIR:-}" ] || natlab_impair; } &&
        natlab_upnpd
}
