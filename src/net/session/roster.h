#pragma once

// Who is in the session: the players and their ids and join order, who hosts, who would take
// over, and the joiners the host has announced. Plain data and rules; no network in it.

#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/dx8/dx8_types.h"
#include "net/links/link_table.h"
#include "net/session/session_protocol.h"

namespace dx8 {

struct Player {
    Player() = default;
    // Us, at our session port.
    static Player self(DPNID id, uint32_t seq, const QString& name, uint16_t port);
    // A remote player over a link of its own, which reached us or we reached at `seen`.
    static Player linked(DPNID id, uint32_t seq, const QString& name, LinkId link, Endpoint seen,
                         PathKind path = PathKind::Direct);
    // A remote player whose traffic the host carries over its own link.
    static Player relayed(DPNID id, uint32_t seq, const QString& name, LinkId hostLink);
    // With what the player says of itself.
    Player& saying(Endpoint lanAddress, Endpoint mappedAddress);

    DPNID id = 0;
    uint32_t seq = 0;  // join order
    QString name;
    LinkId link = 0;    // 0 for the local player
    bool gone = false;  // destroyed; kept until DestroyPlayer was delivered
    Endpoint seen;      // where its link goes (us: our session port; relayed: 0)
    // What the player says of itself: its address on its own network and what its router
    // forwards to it (0: none); handed on to those who join later.
    Endpoint lan;
    Endpoint mapped;
    PathKind path = PathKind::Direct;
    // It was relayed before it linked to us directly: what the host still carries from it, sent
    // before the switch, is its own until then (session clock, ms); and should its link go, it
    // goes back on the relay.
    qint64 relayedUntil = 0;
    bool onceRelayed = false;
    int hostLegMs = kUnknownRoundTrip;  // relayed: the host's round trip to it, as last said
    // Until then guaranteed data to it still goes through the host (session clock, ms).
    qint64 relayGuaranteedUntil = 0;
};

// A joiner the host told us about: it proves it holds the token.
struct Expectation {
    DPNID id = 0;
    uint64_t token = 0;
    qint64 deadline = 0;
};

constexpr size_t kMaxExpectations = 32;

// The name itself when `taken` says nobody else has it, else the first of "name (2)",
// "name (3)", ... that is free, cut to a player name's length.
QString uniqueName(const QString& wanted, const std::function<bool(const QString&)>& taken);

class Roster {
public:
    bool isHost() const { return inSession && localId == hostId; }
    bool migrates() const { return (desc.flags & DPNSESSION_MIGRATE_HOST) != 0; }

    // A fresh id and its join number. Multiplying by an odd number is a bijection, so distinct
    // join numbers give distinct ids.
    DPNID allocateId(uint32_t& seq);
    // The join number an id was made from (the inverse of the above).
    uint32_t seqOf(DPNID id) const;
    int activePlayers() const;
    // The players not destroyed, earliest joined first.
    std::vector<const Player*> presentInJoinOrder() const;
    // Who takes over from a host that goes: the first present player of the order the host
    // announced, then the earliest joined; every peer reaches the same choice. 0 when nobody is
    // left.
    DPNID successorOf(DPNID host) const;
    // Pairs with a player that is gone no longer count; true when any did.
    bool prunePairs();
    // Host: its word on the relayed pairs, those with a player gone dropped, and on who takes
    // over first: those linked to everybody, so that whoever takes over can go on relaying. Our
    // own order of succession becomes the one announced.
    net::msg::Paths announcePaths();
    // The host's word on the same.
    void takePaths(const net::msg::Paths& m);
    // A present remote player, or null.
    Player* present(DPNID id);
    const Player* present(DPNID id) const;
    // The link to the host (0 when we host, or have none).
    LinkId hostLink() const;
    // The links of every present remote player but one (relayed players have none).
    std::vector<LinkId> linksExcept(DPNID except = 0) const;
    // Whether a present player other than `except` shows under this name (case aside).
    bool nameTaken(const QString& name, DPNID except) const;

    // The oldest expectation makes room when there are too many.
    void expect(DPNID id, uint64_t token, qint64 deadline);
    // The token of the host's word on this id that the hello proves, if any; it is used up.
    std::optional<uint64_t> takeExpectation(DPNID id, uint64_t helloProof);
    void forgetExpectation(DPNID id);
    void expireExpectations(qint64 now);
    qint64 earliestExpectation() const;

    // Back to no session; the generation moves on so that late deliveries find nothing.
    void clear();

    uint64_t generation = 0;
    bool inSession = false;
    QString localName;
    net::SessionDesc desc;
    QString password;
    DPNID localId = 0;
    DPNID hostId = 0;
    uint32_t localSeq = 0;
    uint32_t nextSeq = 0;
    uint32_t idSalt = 0;
    std::map<DPNID, Player> players;
    std::vector<Expectation> expectations;
    // As the host last announced them: the pairs of players that reach each other only through
    // it (the smaller id first), and who takes over first.
    std::set<std::pair<DPNID, DPNID>> relayedPairs;
    std::vector<DPNID> succession;
    // Where the host of our last join saw us, and what our router forwards to us (kept across
    // sessions: the mapping outlives them).
    Endpoint observed;
    Endpoint mapped;
};

}  // namespace dx8
