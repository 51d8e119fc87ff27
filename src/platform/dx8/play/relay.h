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

QByteArray wrapRelayed(DPNID id, const QByteArray& data);

struct RelayRoute {
    enum Action { Ignore, Deliver, Forward } action = Ignore;
    DPNID from = 0;        // Deliver: the origin
    LinkId forwardTo = 0;  // Forward: the target's link
    QByteArray data;       // Deliver: the application data; Forward: the stamped packet
};

// What to do with a packet on the relay channel that came over a link in this state.
RelayRoute routeRelayed(const Roster& roster, const Link& from, const QByteArray& packet);

// After the host changed: relayed players are reached through the new host's link, or, where
// the new host is us, not at all (we never had a link to them): their ids are returned.
std::vector<DPNID> rehomeRelayed(Roster& roster);

}  // namespace dx8
