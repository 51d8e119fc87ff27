#pragma once

// What the main window says about play across the internet: how others can reach this player,
// the session it is in, and each player's round trip in the roster.

#include <QString>
#include <cstdint>
#include <optional>

#include "platform/dx8/play/peer_extras.h"
#include "net/paths/port_mapper.h"

namespace orvel {

// What a router's outside address says about reaching this player from the internet.
enum class OutsideAddress {
    Public,
    Private,      // 10/8, 172.16/12, 192.168/16 (or loopback, link-local): a second router's LAN
    Shared,       // 100.64/10: the provider's own NAT (carrier-grade)
    Unspecified,  // 0.0.0.0, or nothing the router could tell
};
OutsideAddress outsideAddressKind(const QString& address);
OutsideAddress outsideAddressKind(uint32_t ipv4);

// What the window knows of how others reach this player.
struct Reach {
    bool hosting = false;
    uint16_t port = 0;     // the session's UDP port on this computer; 0 outside a session
    uint32_t lanIpv4 = 0;  // this computer's address toward the internet; 0 when unknown
    net::PortMapper::State state = net::PortMapper::State::Off;  // Off: mapping turned off
    std::optional<net::Mapping> mapping;
    dx8::Endpoint observed;    // where the host of our join sees us; 0 when hosting
    QString code;              // the session's code at the meeting point while we host under it
    bool codeUnasked = false;  // the meeting point reached our port unasked
};

// The reachability line: for a host, how players on the internet join (or why they cannot, and
// what to do); for a player who joined, its address on the internet where one is known. Empty
// when there is nothing to say.
QString reachabilityText(const Reach& reach);

// The session line: its name and who hosts it.
QString sessionText(const QString& sessionName, bool hosting, const QString& hostName);

// A roster entry: the name, then a mark for a player without a game, the round trip once
// measured, and a mark for relayed players.
QString rosterEntryText(const QString& name, int rttMs, bool relayed, bool noGame = false);

}  // namespace orvel
