#pragma once

// Data between two players who could not link to each other goes through the host. The receiver
// learns who sent it from the session, never from the bytes alone: only the host's link may carry
// relayed data, the host stamps it with the id of the player whose link it came on, and only a
// player we reach through the host may be named as its origin.
//
// Relayed pairs over the life of a session: the host keeps the pairs it carries data for (the
// roster announces them), tells each relayed player its round trip to its partners now and then,
// and has a pair try a direct link again: at once the other way round from the join, then less
// and less often, and at once when either gets a router mapping. One of the pair links to the
// other with a token the other was told to expect, as a joiner would; a pair that links moves off
// the relay, and falls back on it should that link go again.

#include <QByteArray>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "net/links/link_attempt.h"
#include "net/session/session_context.h"

namespace dx8 {

// How long a joiner waits for a player to answer at any of its addresses before it asks the
// host to carry their data instead; a relayed pair's try at a direct link gets as long.
constexpr int kDirectWaitMs = 4000;
// Guaranteed data keeps to the host's relay this long after the last that went that way, once a
// pair has linked directly: longer than any relayed message takes, so none is overtaken.
constexpr int kRelayGraceMs = 2000;
// A relayed pair tries again at once the other way round, then after this long, doubling up to
// the longest.
constexpr int kRetryDirectMs = 15000;
constexpr int kRetryDirectMaxMs = 120000;
// How often the host tells relayed players its round trip to their partners.
constexpr int kShareLegsMs = 3000;

QByteArray wrapRelayed(DPNID id, const QByteArray& data);

struct RelayRoute {
    enum Action { Ignore, Deliver, Forward } action = Ignore;
    DPNID from = 0;        // Deliver: the origin
    LinkId forwardTo = 0;  // Forward: the target's link
    DPNID to = 0;          // Forward: the target
    QByteArray data;       // Deliver: the application data; Forward: the stamped packet
};

// What to do with a packet on the relay channel that came over a link in this state, now.
RelayRoute routeRelayed(const Roster& roster, const Link& from, const QByteArray& packet,
                        qint64 now);

// The host's link when data to this player goes through the host, else 0. Guaranteed data to a
// player that has just left the relay goes the old way a little longer, so that it cannot
// overtake what is still on the extra hop.
LinkId relayVia(const Roster& roster, const Player& to, bool guaranteed, qint64 now);

// A relayed player we now reach over a link of its own, at `at`; what the host still carries
// from it counts for a grace period.
void leaveRelay(Player& p, LinkId link, Endpoint at, PathKind path, qint64 now);

// How much the host forwards for one pair: a margin over twenty car states a second and chat.
constexpr int kRelayPacketsPerSecond = 60;
constexpr int kRelayBurstPackets = 120;
constexpr int kRelayBytesPerSecond = 24 * 1024;
constexpr int kRelayBurstBytes = 64 * 1024;

// After the host changed: relayed players are reached through the new host's link, or, where
// the new host is us, not at all (we never had a link to them): their ids are returned.
std::vector<DPNID> rehomeRelayed(Roster& roster);

class Relay {
public:
    explicit Relay(SessionContext& session) : s_(session) {}

    // The host's word: link directly to a relayed player; its round trips to our partners.
    void onReach(const net::msg::Reach& m);
    void onRoundTrips(const net::msg::RoundTrips& m);
    // Host: a player linked directly to its relayed partner, or lost that link again.
    void onLinked(DPNID from, DPNID other);
    void onUnlinked(DPNID from, DPNID other);
    // Host: a player's router forwards a port to it now; its partners may reach it there.
    void onMapped(DPNID id);
    // Host: whether this much from one player to another may go on now; what is beyond the
    // pair's share is dropped.
    bool mayForward(DPNID from, DPNID to, qsizetype bytes);

    // The links we opened toward a relayed player (LinkKind::OffRelay).
    void onLinkUp(LinkId link);
    void onLinkControl(LinkId link, const net::ControlMessage& m);
    void onLinkLost(LinkId link);
    // A relayed player linked to us with the host's token: its data comes this way now, and it
    // hears our answer.
    void linkedFrom(LinkId link, Link& state, DPNID id, const net::ControlMessage& ack);
    // The link to a player that was relayed before is gone: while the host reaches us both, the
    // player goes back on the relay rather than out of the session (a path a router once let
    // through may close again). False when it cannot.
    bool backToRelay(DPNID id);

    void checkDeadline(qint64 now);
    qint64 deadline() const;
    void reset();
    // What the host keeps per pair, for those who check it stays bounded.
    size_t pairStateSize() const { return retries_.size() + buckets_.size() + attempts_.size(); }

private:
    struct Attempt {
        LinkAttempt links;
        qint64 deadline = 0;
    };
    struct Retry {
        int tries = 0;
        qint64 at = 0;
        qint64 busyUntil = 0;  // the last introduction may still be linking them
        qint64 mappedAt = 0;   // the last try a new router mapping brought forward
    };
    struct Bucket {
        double packets = kRelayBurstPackets;
        double bytes = kRelayBurstBytes;
        qint64 at = 0;
    };

    // Host: each relayed player learns the other half of its round trip to its partners.
    void shareLegs();
    // Host: one of the pair links to the other.
    void introduce(const std::pair<DPNID, DPNID>& pair, int tries);
    Attempt* attemptOf(LinkId link);
    // Forgets the attempt toward this player; its links go.
    void giveUp(DPNID target);

    SessionContext& s_;
    std::vector<Attempt> attempts_;
    std::map<std::pair<DPNID, DPNID>, Retry> retries_;   // host only
    std::map<std::pair<DPNID, DPNID>, Bucket> buckets_;  // host only: from, to
    qint64 legsAt_ = 0;                                  // host only
};

}  // namespace dx8
