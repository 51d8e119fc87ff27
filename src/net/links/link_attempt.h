#pragma once

// Linking to one player at every address it may be reached at, each once: where the host sees
// it, its LAN address and its router's mapping at once, its router's own address only once the
// player has had time to open its router toward us. Each link that comes up says who we are,
// proving the token of the pair that the host gave us both; the first to answer with its own
// proof of that token is kept and the others go. An address counts for nothing: whoever answers
// at one is trusted only for its proof. A joiner links so to each player; a relayed pair, to move
// off the relay.

#include <map>
#include <vector>

#include "net/session/session_context.h"

namespace dx8 {

class LinkAttempt {
public:
    // Toward the player of this entry (with the token the host gave us both), whose host we
    // reach at hostIp and which sees us at ourIp; the links are of this kind.
    LinkAttempt(SessionContext& session, const net::PlayerEntry& entry, uint32_t hostIp,
                uint32_t ourIp, LinkKind kind);

    // Links where it may at once; false when there is no address to try at all.
    bool start();
    // The router's address, once the head start is over.
    void checkDeadline(qint64 now);
    // When the router's address is due (0: nothing left to try later).
    qint64 deadline() const { return laterAt_; }

    DPNID target() const { return entry_.id; }
    bool owns(LinkId link) const { return links_.count(link) != 0; }
    PathKind pathOf(LinkId link) const;
    // Addresses are still waiting for their turn.
    bool waiting() const { return !later_.empty(); }
    // Nothing is left: no link up or on its way, and no address to try later.
    bool exhausted() const { return links_.empty() && later_.empty(); }

    // One of our links is up: it says who we are.
    void greet(LinkId link) const;
    // Whether this answer proves the pair's token.
    bool proven(const net::msg::MeshAck& ack) const;
    // This link answered: it is the one; the others go at once and nothing more is tried.
    void keep(LinkId link);
    // A link went down (it has left the table).
    void lost(LinkId link) { links_.erase(link); }
    // Gives up: every link goes, this way.
    void drop(Drop how);

private:
    void tryAt(Endpoint at);

    SessionContext* s_;
    net::PlayerEntry entry_;
    uint32_t hostIp_ = 0;
    uint32_t ourIp_ = 0;
    LinkKind kind_;
    std::map<LinkId, PathKind> links_;
    std::vector<Endpoint> later_;
    qint64 laterAt_ = 0;
};

}  // namespace dx8
