#pragma once

// Data between two players who could not link to each other goes through the host. The receiver
// learns who sent it from the session, never from the bytes alone: only the host's link may carry
// relayed data, the host stamps it with the id of the player whose link it came on, and only a
// player we reach through the host may be named as its origin.

#include <QByteArray>
#include <optional>

#include "platform/dx8/play/link_table.h"
#include "platform/dx8/play/roster.h"

namespace dx8 {

// How long a joiner waits for a player to answer at any of its addresses before it asks the
// host to carry their data instead.
constexpr int kDirectWaitMs = 4000;
// Guaranteed data keeps to the host's relay this long after the last that went that way, once a
// pair has linked directly: longer than any relayed message takes, so none is overtaken.
constexpr int kRelayGraceMs = 2000;

QByteArray wrapRelayed(DPNID id, const QByteArray& data);

struct RelayRoute {
    enum Action { Ignore, Deliver, Forward } action = Ignore;
    DPNID from = 0;        // Deliver: the origin
    LinkId forwardTo = 0;  // Forward: the target's link
    QByteArray data;       // Deliver: the application data; Forward: the stamped packet
};

// What to do with a packet on the relay channel that came over a link in this state.
RelayRoute routeRelayed(const Roster& roster, const Link& from, const QByteArray& packet);

// The host's link when data to this player goes through the host, else 0. Guaranteed data to a
// player that has just left the relay goes the old way a little longer, so that it cannot
// overtake what is still on the extra hop.
LinkId relayVia(const Roster& roster, const Player& to, bool guaranteed, qint64 now);

// A relayed player we now reach over a link of its own, at `at`.
void leaveRelay(Player& p, LinkId link, Endpoint at, PathKind path);

// After the host changed: relayed players are reached through the new host's link, or, where
// the new host is us, not at all (we never had a link to them): their ids are returned.
std::vector<DPNID> rehomeRelayed(Roster& roster);

}  // namespace dx8
