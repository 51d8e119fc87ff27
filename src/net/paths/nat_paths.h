#pragma once

// Reaching players across home routers: the addresses a joiner tries for each player and the
// local address a machine shows to others.

#include <QString>
#include <cstdint>
#include <vector>

#include "net/links/link_table.h"
#include "net/session/roster.h"
#include "net/session/session_protocol.h"

namespace dx8 {

// A joiner waits this long before it links to a player at its router: the player must have sent
// toward us first, or the router takes our packets for strangers and keeps turning them away.
constexpr int kPunchHeadStartMs = 250;

// Every address at which a joiner may reach a listed player, each once, the likeliest first:
// where the host sees it, its address on its own network, and what its router forwards to it.
// What a player says of itself may name anyone's address, so it is tried only where it can be
// the player's: its network's address only when the host sees it at our own public address
// (ourIp: where the host sees us), its router's only at the address the host sees it at. A
// loopback address only counts when the host is reached over loopback too; otherwise it means
// the host's own machine.
std::vector<Endpoint> candidatesFor(const net::PlayerEntry& entry, uint32_t hostIp, uint32_t ourIp);

// What a player says its router forwards to it, where the one who decides sees it at `seenIp`:
// taken only at that IP, or at `ourRouterIp` (a player behind our own router shares its
// address).
Endpoint mappedAt(Endpoint said, uint32_t seenIp, uint32_t ourRouterIp);

// How a link to this player at this address came about: reached at its router's address without
// a mapping there, it had to open the router toward us first.
PathKind pathTo(const net::PlayerEntry& entry, Endpoint at);

// What the host tells a joiner about a present player.
net::PlayerEntry entryOf(const Player& p, Endpoint observed);

// What a player says of itself in a wire message: its address on its own network, and what its
// router forwards to it.
template <typename Message>
Endpoint lanOf(const Message& m) {
    return {m.lanIpv4, m.lanPort};
}
template <typename Message>
Endpoint mappedOf(const Message& m) {
    return {m.mappedIpv4, m.mappedPort};
}

}  // namespace dx8
