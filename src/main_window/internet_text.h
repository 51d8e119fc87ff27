#pragma once

// What the main window says about play across the internet: how others can join a host, and
// each player's round trip in the roster.

#include <QString>
#include <cstdint>
#include <optional>

#include "platform/net/port_mapper.h"

namespace orvel {

// The line for a host, or empty while the router has not answered (or mapping is off).
QString internetJoinText(net::PortMapper::State state, const std::optional<net::Mapping>& mapping,
                         uint16_t port, uint32_t lanIpv4);

// A roster entry: the name, then a mark for a player without a game, the round trip once
// measured, and a mark for relayed players.
QString rosterEntryText(const QString& name, int rttMs, bool relayed, bool noGame = false);

}  // namespace orvel
