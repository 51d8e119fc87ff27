#pragma once

// The gate in front of the session port. A stranger gets a peer slot only once it has shown
// that it receives at the address it sends from: its ENet CONNECT must carry, in the CONNECT's
// data field, a cookie that only we can make for that address and the current (or the previous)
// time window. A CONNECT without one is dropped before ENet sees it and answered, a few times a
// second per source IP, with a cookie datagram smaller than itself, so a forged source address
// gets neither a slot nor more bytes than it sent. Our own side connects without a cookie first,
// or with one the other side handed out, and again with the cookie it is answered.

#include <QByteArray>
#include <QHash>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/dx8/play/rate_limit.h"
#include "platform/dx8/play/session_extras.h"

namespace dx8 {

// Strangers on their way in (past the gate, not yet said who they are): so many at once, and
// fewer from one IP, so that one address never fills what another needs to get in.
constexpr int kMaxUnverified = 16;
constexpr int kMaxPendingPerIp = 4;

class AddressGate {
public:
    // A fresh random secret: cookies of another process or session are worth nothing here.
    AddressGate();

    // The cookie that lets this address open a link now; never 0.
    uint32_t cookieFor(Endpoint from, qint64 now) const;
    // Whether a cookie is ours for this address, of this window or the one before.
    bool admits(Endpoint from, uint32_t cookie, qint64 now) const;
    // Whether a stranger at this IP may have one more answer now.
    bool mayAnswer(uint32_t ip, qint64 now) { return answers_.take(ip, now); }

    // Cookies other players gave us, for our next links to them (0: none fresh).
    void keep(Endpoint from, uint32_t cookie, qint64 now);
    uint32_t cookieTo(Endpoint at, qint64 now) const;

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

// Our cookie datagram: the answer to a CONNECT (its connect ID echoed), or with connect ID 0 an
// offer sent ahead to a player that is about to link to us.
struct CookieDatagram {
    uint32_t connectId = 0;
    uint32_t cookie = 0;
};
constexpr size_t kCookieDatagramSize = 12;
QByteArray encodeCookie(const CookieDatagram& c);
std::optional<CookieDatagram> decodeCookie(const uint8_t* data, size_t size);

}  // namespace dx8
