#pragma once

// Relayed pairs over the life of a session. The host keeps the pairs it carries data for and
// tells everyone, with the order in which players take over from it: those linked to everybody
// first, so that whoever takes over can go on relaying. Now and then, and at once when either
// gets a router mapping, the host has a relayed pair try a direct link again: one of them links
// to the other with a token the other was told to expect, as a joiner would, and a pair that
// links moves off the relay.

#include <map>
#include <utility>
#include <vector>

#include "platform/dx8/play/session_context.h"

namespace dx8 {

// A relayed pair tries again at once the other way round, then after this long, doubling up to
// the longest.
constexpr int kRetryDirectMs = 15000;
constexpr int kRetryDirectMaxMs = 120000;
// How often the host tells relayed players its round trip to their partners.
constexpr int kShareLegsMs = 3000;

// The host's word on the relayed pairs, after those with a player gone are dropped; the local
// order of succession becomes the one announced.
net::msg::Paths announcePaths(Roster& roster);

// Our router's mapping goes on our own record and to every player we link to.
void announceMapping(SessionContext& session);

class PathUpgrades {
public:
    explicit PathUpgrades(SessionContext& session) : s_(session) {}

    // A message from a player over its own link; false when it is not about paths.
    bool onControl(DPNID from, const net::ControlMessage& m);

    // The links we opened toward a relayed player.
    bool owns(LinkId link) const;
    void onLinkUp(LinkId link);
    void onLinkControl(LinkId link, const net::ControlMessage& m);
    void onLinkLost(LinkId link);

    // Our router forwards this address to us now: everyone we link to hears of it.
    void mappingChanged();
    // The link to a player that was relayed before is gone: while the host reaches us both, the
    // player goes back on the relay rather than out of the session (a path a router once let
    // through may close again). False when it cannot.
    bool backToRelay(DPNID id);

    void checkDeadline(qint64 now);
    qint64 deadline() const;
    void reset();

private:
    struct Attempt {
        DPNID target = 0;
        uint64_t token = 0;
        net::PlayerEntry entry;
        std::map<LinkId, PathKind> links;
        std::vector<Endpoint> later;  // tried once the target has opened its router toward us
        qint64 laterAt = 0;
        qint64 deadline = 0;
    };
    struct Retry {
        int tries = 0;
        qint64 at = 0;
        qint64 busyUntil = 0;  // the last introduction may still be linking them
    };

    void onReach(const net::msg::Reach& m);
    void onMapped(DPNID from, const net::msg::Mapped& m);
    void onLinked(DPNID from, DPNID other);
    void onUnlinked(DPNID from, DPNID other);
    // Host: each relayed player learns the other half of its round trip to its partners.
    void shareLegs();
    // Host: one of the pair links to the other.
    void introduce(const std::pair<DPNID, DPNID>& pair, int tries);
    void tryAt(Attempt& a, Endpoint at);
    Attempt* attemptOf(LinkId link);
    void giveUp(DPNID target);

    SessionContext& s_;
    std::vector<Attempt> attempts_;
    std::map<std::pair<DPNID, DPNID>, Retry> retries_;  // host only
    qint64 legsAt_ = 0;                                 // host only
};

}  // namespace dx8
