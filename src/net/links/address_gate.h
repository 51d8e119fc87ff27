#pragma once

// The gate in front of the session port. A stranger gets a peer slot only once it has shown
// that it receives at the address it sends from, and no address that has not shown it gets more
// bytes than it sent. Two ways in:
// - at once: a CONNECT whose data field says it will prove its address on the link is answered
//   by ENet straight away, with our cookie for that address beside the answer. ENet's answer is
//   sent once per CONNECT received (no resends), the link carries nothing of the session until
//   the stranger has sent the cookie back over it, and it is given up within a few seconds. Only
//   a few such handshakes run at once, so that forged sources cannot fill the slots;
// - with a cookie: any other CONNECT is dropped before ENet sees it and answered, a few times a
//   second per source IP, with a cookie datagram smaller than itself; a CONNECT that carries one
//   that only we can make for its address and the current (or the previous) time window gets a
//   slot. Over the limit of the first way, strangers come this way, one round trip later.
// Our own side connects asking for the first way, or with a cookie the other side handed out.

#include <QByteArray>
#include <QHash>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "net/trust/rate_limit.h"
#include "net/session.h"

namespace dx8 {

// Strangers on their way in (past the gate, not yet said who they are): so many at once, and
// fewer from one IP, so that one address never fills what another needs to get in.
constexpr int kMaxUnverified = 16;
constexpr int kMaxPendingPerIp = 4;
// Of those, let in at once without a cookie: fewer, so that cookies always find room.
constexpr int kMaxUnproven = 8;
// A CONNECT's data field when it carries no cookie: answer at once, the address is proven on the
// link. Cookies are never this (nor 0, the field of a CONNECT that knows nothing of cookies).
constexpr uint32_t kProveOnLink = 1;
// A stranger let in at once has shown its address within this, or is given up.
constexpr int kUnprovenMs = 4000;

class AddressGate {
public:
    // A fresh random secret: cookies of another process or session are worth nothing here.
    AddressGate();

    // The cookie that lets this address open a link now; never 0 or kProveOnLink.
    uint32_t cookieFor(Endpoint from, qint64 now) const;
    // Whether a cookie is ours for this address, of this window or the one before.
    bool admits(Endpoint from, uint32_t cookie, qint64 now) const;
    // Whether a stranger at this IP may have one more answer now.
    bool mayAnswer(uint32_t ip, qint64 now) { return answers_.take(ip, now); }

    // Cookies other players gave us, for our next links to them.
    void keep(Endpoint from, uint32_t cookie, qint64 now);
    // The data field of our next CONNECT to this address: the cookie it gave us lately, else
    // kProveOnLink.
    uint32_t dialData(Endpoint at, qint64 now) const;

private:
    uint32_t cookieIn(Endpoint from, qint64 window) const;

    QByteArray secret_;
    PerSourceLimit answers_;
    struct Given {
        uint32_t cookie = 0;
        qint64 at = 0;
    };
    QHash<uint64_t, Given> given_;
};

// An ENet datagram that names no peer of ours, i.e. one that would open a link.
struct Opening {
    bool connect = false;    // a plain CONNECT; anything else that names no peer is dropped
    uint32_t connectId = 0;  // as it is on the wire
    uint32_t cookie = 0;     // the CONNECT's data field
};
// nullopt for a datagram meant for a link that exists (ENet checks those itself).
std::optional<Opening> openingIn(const uint8_t* data, size_t size);
// The peer slot an ENet datagram names: ENet's maximum peer ID for none, above it when too short.
uint32_t peerNamedIn(const uint8_t* data, size_t size);

// Our cookie datagram: the answer to a CONNECT (its connect ID echoed), or with connect ID 0 an
// offer sent ahead to a player that is about to link to us. An answer that goes with ENet's own
// asks for the cookie back over the link; any other is for connecting again with it.
struct CookieDatagram {
    uint32_t connectId = 0;
    uint32_t cookie = 0;
    bool proveOnLink = false;
};
constexpr size_t kCookieDatagramSize = 12;
QByteArray encodeCookie(const CookieDatagram& c);
std::optional<CookieDatagram> decodeCookie(const uint8_t* data, size_t size);

}  // namespace dx8
