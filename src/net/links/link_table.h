#pragma once

// The links a session holds and what each one is for, over a wire the subclass provides: ENet
// in the program (EnetLinks), a recording fake in tests. The roles of a session change a link's
// kind and deadline here and send through it; they never see the wire itself. A link's kind
// names the role its events go to (SessionRoles routes them).

#include <QtGlobal>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "net/session.h"
#include "net/session/session_protocol.h"

namespace dx8 {

using LinkId = uintptr_t;  // 0: no link

enum class LinkKind {
    Unverified,  // someone connected; nothing said yet: its first message decides
    Joiner,      // host side: a joiner's link while it joins (HostJoin)
    MeshIn,      // a joiner linked to us with a valid token; waits for PlayerAdded (Members)
    ToHost,      // joiner side: the link to the host during a join (Joiner)
    MeshOut,     // joiner side: a link to a present player during a join (Joiner)
    OffRelay,    // a link we opened toward a relayed player, to move it off the relay (Relay)
    Player,      // a player of the session
    Closing,     // on its way out; nothing it sends counts
};

// A link we opened that waits for its answer: a link from the same address is no stale one.
inline bool isOutgoing(LinkKind kind) {
    return kind == LinkKind::ToHost || kind == LinkKind::MeshOut || kind == LinkKind::OffRelay;
}

struct Link {
    LinkKind kind = LinkKind::Unverified;
    uint32_t playerId = 0;
    qint64 deadline = 0;  // ms on the session clock; 0 = none
    bool connected = false;
    bool acked = false;                        // MeshOut: the player accepted our hello
    std::optional<net::msg::MeshHello> hello;  // an early MeshHello waiting for its Expect
    QByteArray challenge;   // Unverified: what a joiner must prove the password over
    uint32_t returnOf = 0;  // Unverified: the player this joiner proved it was (0: none)
};

// Links a session waits on with a deadline of their own (the link of the join in progress is
// timed by the join).
bool waitsOnDeadline(const Link& link);

// How a link ends.
enum class Drop {
    Now,         // tell the other side at once and forget the link
    AwaitClose,  // the other side closes it; forget it silently if it does not in time
    Silently,    // forget it without a word: the other side is gone or cut off
};

constexpr int kClosingMs = 3000;

class LinkTable {
public:
    virtual ~LinkTable() = default;

    // The wire.
    virtual void send(LinkId link, const net::ControlMessage& m) = 0;
    // Application data on its own channel; false when no packet could be made.
    virtual bool sendData(const std::vector<LinkId>& links, const QByteArray& data, int32_t flags,
                          uint8_t channel = net::kChannelData) = 0;
    // A new outgoing link (not yet in the table), or 0 when none can be made.
    virtual LinkId connectTo(uint32_t ipv4, uint16_t port) = 0;
    virtual Endpoint endpointOf(LinkId link) const = 0;
    virtual uint16_t localPort() const = 0;
    // Puts what was queued on the wire now rather than at the next service.
    virtual void flush() {}
    // How long nothing has come over the link, and its measured round trip.
    virtual qint64 silentMs(LinkId link) const {
        Q_UNUSED(link);
        return 0;
    }
    virtual int roundTripMs(LinkId link) const {
        Q_UNUSED(link);
        return kUnknownRoundTrip;
    }
    // Sends a datagram outside any link that opens our router toward this address.
    virtual void punch(uint32_t ipv4, uint16_t port) {
        Q_UNUSED(ipv4);
        Q_UNUSED(port);
    }
    // A datagram of our own outside any link, from the session port (the meeting point's).
    virtual void sendDatagram(Endpoint to, const QByteArray& bytes) {
        Q_UNUSED(to);
        Q_UNUSED(bytes);
    }
    // A link we opened that has not come up yet tries this address instead; false when it
    // cannot (it is up, or gone).
    virtual bool redirect(LinkId link, Endpoint to) {
        Q_UNUSED(link);
        Q_UNUSED(to);
        return false;
    }

    std::map<LinkId, Link>& all() { return links_; }
    const std::map<LinkId, Link>& all() const { return links_; }
    Link* find(LinkId link);
    bool has(LinkId link) const { return links_.count(link) != 0; }
    // The first link of this kind that belongs to this player.
    LinkId linkOf(LinkKind kind, uint32_t playerId) const;
    void add(LinkId link, Link state) { links_[link] = std::move(state); }

    void drop(LinkId link, Drop how, qint64 now);
    void sendAll(const std::vector<LinkId>& links, const net::ControlMessage& m);

protected:
    // Tells the other side the link ends, at once.
    virtual void closeNow(LinkId link) = 0;
    // Ends the link without another datagram to its address.
    virtual void forget(LinkId link) = 0;

    std::map<LinkId, Link> links_;
};

}  // namespace dx8
