// EnetLinks at the socket: the address gate in front of ENet, strangers let in at once until
// they show their address, our own links connecting again with the cookie they are answered or
// sending it back over the link, and datagrams outside any link.

#include <arpa/inet.h>
#include <enet/enet.h>
#include <enet/time.h>

#include <QPointer>

#include "net/links/enet_internals.h"
#include "net/links/enet_links.h"
#include "net/paths/meet_protocol.h"

namespace dx8 {

namespace {

// What a stranger let in at once may send before its proof, held until then.
constexpr size_t kMaxHeldPackets = 8;
constexpr qsizetype kMaxHeldBytes = 16 * 1024;
// Its cookie again, should the first be lost, no more often than this.
constexpr qint64 kCookieAgainMs = 200;
// ENet's answer to it is never resent on ENet's clock, only when it shows it lacks it, and then
// so many times at most, each within three times what it sent.
constexpr enet_uint32 kHeldResendMs = 600000;
constexpr int kMaxAnswers = 8;
constexpr size_t kAnswerBytes = 68;  // ENet's answer with an acknowledgement, and our cookie
constexpr enet_uint32 kOfferResendGapMs = 100;

void sendRaw(ENetSocket socket, Endpoint to, QByteArray bytes) {
    ENetAddress address;
    address.host = htonl(to.ipv4);
    address.port = to.port;
    ENetBuffer buffer;
    buffer.data = bytes.data();
    buffer.dataLength = static_cast<size_t>(bytes.size());
    enet_socket_send(socket, &address, &buffer, 1);
}

}  // namespace

void EnetLinks::punch(uint32_t ipv4, uint16_t port) {
    if (enet_ == nullptr || ipv4 == 0 || port == 0) {
        return;
    }
    // It carries the cookie the joiner will need to link to us, which spares it a round trip.
    sendRaw(enet_->socket, {ipv4, port}, encodeCookie({0, gate_.cookieFor({ipv4, port}, now())}));
}

void EnetLinks::sendDatagram(Endpoint to, const QByteArray& bytes) {
    if (enet_ != nullptr && to.ipv4 != 0 && to.port != 0) {
        sendRaw(enet_->socket, to, bytes);
    }
}

bool EnetLinks::redirect(LinkId link, Endpoint to) {
    ENetPeer* old = peer(link);
    if (old == nullptr || old->state == ENET_PEER_STATE_CONNECTED || to.ipv4 == 0) {
        return false;
    }
    enet_peer_reset(old);
    release(link);
    ENetAddress address;
    address.host = htonl(to.ipv4);
    address.port = to.port;
    const uint32_t cookie = gate_.dialData(to, now());
    ENetPeer* p = enet_host_connect(enet_, &address, net::kChannelCount, cookie);
    if (p == nullptr) {
        return false;  // the link waits for nothing now; its join's deadline ends it
    }
    dialed(link, p, cookie);
    enet_host_flush(enet_);
    return true;
}

void EnetLinks::cookieArrived(const CookieDatagram& c, Endpoint from) {
    gate_.keep(from, c.cookie, now());
    if (c.connectId == 0) {
        // An offer, for our next CONNECT to it. Its sender expects us now and its router lets us
        // through: a CONNECT of ours to it still unanswered goes again at once.
        for (const auto& [link, ours] : peers_) {
            ENetPeer* p = ours.peer;
            if (p->state != ENET_PEER_STATE_CONNECTING || ours.proof != 0 ||
                ntohl(p->address.host) != from.ipv4 || p->address.port != from.port ||
                !enet_internals::hasInFlight(*p)) {
                continue;
            }
            // Offers anyone could forge never make it go more often than this.
            if (ENET_TIME_DIFFERENCE(enet_internals::serviceTime(*enet_),
                                     enet_internals::firstSentAt(*p)) >= kOfferResendGapMs) {
                // ENet sends what it has sent to this peer and not seen acknowledged again in
                // this service, rather than when its own clock says.
                enet_internals::resendNow(*enet_, *p);
            }
        }
        return;
    }
    std::vector<LinkId> proving;
    for (auto& [link, ours] : peers_) {
        const ENetPeer* p = ours.peer;
        if (enet_internals::connectId(*p) != c.connectId || ntohl(p->address.host) != from.ipv4 ||
            p->address.port != from.port) {
            continue;
        }
        if (c.proveOnLink) {
            // Answered at once: the cookie goes back over the link, as soon as it is up.
            ours.proof = c.cookie;
            proving.push_back(link);
        } else if (c.cookie != ours.cookie && p->state == ENET_PEER_STATE_CONNECTING) {
            redials_.push_back({link, enet_internals::connectId(*p), c.cookie});
        }
    }
    for (LinkId link : proving) {
        sendProof(link);
    }
}

void EnetLinks::sendProof(LinkId link) {
    const auto it = peers_.find(link);
    if (it == peers_.end() || it->second.proof == 0 || it->second.proofSent ||
        it->second.peer->state != ENET_PEER_STATE_CONNECTED) {
        return;
    }
    it->second.proofSent = true;
    send(link, net::msg::AddressProof{it->second.proof});
}

EnetLinks::Unproven* EnetLinks::unprovenAt(Endpoint from, uint32_t connectId) {
    for (Unproven& u : unproven_) {
        if (u.from == from && u.connectId == connectId) {
            return &u;
        }
    }
    return nullptr;
}

EnetLinks::Unproven* EnetLinks::unprovenOf(const ENetPeer* p) {
    for (Unproven& u : unproven_) {
        if (u.peer == p) {
            return &u;
        }
    }
    return nullptr;
}

void EnetLinks::forgetUnproven(const ENetPeer* p) {
    std::erase_if(unproven_, [p](const Unproven& u) { return u.peer == p; });
}

void EnetLinks::askForProof(const Unproven& u, qint64 t) {
    sendRaw(enet_->socket, u.from, encodeCookie({u.connectId, gate_.cookieFor(u.from, t), true}));
}

bool EnetLinks::letInAtOnce(const Opening& opening, Endpoint from, size_t size, qint64 t) {
    int fromIp = 0;
    for (const Unproven& u : unproven_) {
        fromIp += u.from.ipv4 == from.ipv4 ? 1 : 0;
    }
    if (unproven_.size() >= static_cast<size_t>(kMaxUnproven) || fromIp >= kMaxPendingPerIp ||
        pendingFrom(from.ipv4) >= kMaxPendingPerIp || pendingFrom(0) >= kMaxUnverified) {
        return false;
    }
    unproven_.push_back({nullptr, from, opening.connectId, t, 1, size, t, {}, 0});
    // The cookie goes ahead of ENet's answer, so that it is there when the link is up.
    askForProof(unproven_.back(), t);
    return true;
}

void EnetLinks::unprovenSpoke(Unproven& u, size_t size) {
    u.bytesIn += size;
    ENetPeer* p = u.peer;
    if (p == nullptr) {
        return;
    }
    const qint64 t = now();
    if (p->state == ENET_PEER_STATE_ACKNOWLEDGING_CONNECT) {
        // It lacks ENet's answer, or ENet its acknowledgement, which is never sent twice.
        if (u.answers < kMaxAnswers && (u.answers + 1) * kAnswerBytes <= 3 * u.bytesIn) {
            ++u.answers;
            enet_internals::resendNow(*enet_, *p);
        }
    } else if (t - u.cookieSent >= kCookieAgainMs) {
        // Up, and no cookie back yet: ours may have been lost on the way.
        u.cookieSent = t;
        askForProof(u, t);
    }
}

void EnetLinks::holdUnproven() {
    const qint64 t = now();
    for (auto it = unproven_.begin(); it != unproven_.end();) {
        ENetPeer* p = it->peer;
        if (p == nullptr) {
            // ENet made it in the service that let the CONNECT in (unless it had no slot).
            for (size_t i = 0; i < enet_->peerCount && p == nullptr; ++i) {
                ENetPeer& q = enet_->peers[i];
                if (q.state != ENET_PEER_STATE_DISCONNECTED && enet_internals::connectId(q) == it->connectId &&
                    ntohl(q.address.host) == it->from.ipv4 && q.address.port == it->from.port &&
                    idOf(&q) == 0) {
                    p = it->peer = &q;
                }
            }
        } else if (p->state == ENET_PEER_STATE_DISCONNECTED || enet_internals::connectId(*p) != it->connectId) {
            it = unproven_.erase(it);  // ENet let it go; the slot may be someone else's now
            continue;
        }
        if (t - it->since >= kUnprovenMs) {
            if (p != nullptr) {
                enet_peer_reset(p);  // silently: it may never have been at that address
            }
            it = unproven_.erase(it);
            continue;
        }
        if (p != nullptr) {
            enet_internals::holdResends(*p, static_cast<uint32_t>(std::max(it->answers, 0)),
                                        kHeldResendMs);
        }
        ++it;
    }
}

void EnetLinks::heardUnproven(ENetPeer* p, uint8_t channel, const QByteArray& data) {
    Unproven* u = unprovenOf(p);
    if (u == nullptr) {
        return;
    }
    const qint64 t = now();
    const auto m = channel == net::kChannelControl
                       ? net::decodeControl(reinterpret_cast<const uint8_t*>(data.data()),
                                            static_cast<size_t>(data.size()))
                       : std::nullopt;
    if (m && std::holds_alternative<net::msg::AddressProof>(*m)) {
        const bool shown = gate_.admits(u->from, std::get<net::msg::AddressProof>(*m).cookie, t);
        const auto held = std::move(u->held);
        forgetUnproven(p);
        if (!shown) {
            enet_peer_reset(p);
            return;
        }
        enet_peer_ping_interval(p, 0);  // ENet's own again
        const QPointer<EnetLinks> self(this);
        welcome(p);
        for (const auto& [heldChannel, heldData] : held) {
            const LinkId link = self && enet_ != nullptr ? idOf(p) : 0;
            if (link == 0) {
                return;  // refused, or gone meanwhile
            }
            received(link, heldChannel, heldData);
        }
        return;
    }
    if (u->held.size() >= kMaxHeldPackets || u->heldBytes + data.size() > kMaxHeldBytes) {
        forgetUnproven(p);
        enet_peer_reset(p);
        return;
    }
    u->held.emplace_back(channel, data);
    u->heldBytes += data.size();
}

void EnetLinks::redial() {
    bool sent = false;
    for (const Redial& r : std::exchange(redials_, {})) {
        ENetPeer* old = peer(r.link);
        if (old == nullptr || old->state != ENET_PEER_STATE_CONNECTING ||
            enet_internals::connectId(*old) != r.connectId) {
            continue;  // up, gone or connected again meanwhile
        }
        const ENetAddress to = old->address;
        enet_peer_reset(old);
        ENetPeer* p = enet_host_connect(enet_, &to, net::kChannelCount, r.cookie);
        if (p == nullptr) {
            release(r.link);
            const auto it = links_.find(r.link);
            if (it != links_.end()) {
                const Link state = it->second;
                links_.erase(it);
                listener_.linkDown(r.link, state);
            }
            continue;
        }
        dialed(r.link, p, r.cookie);
        sent = true;
    }
    if (sent) {
        enet_host_flush(enet_);
    }
}

int EnetLinks::pendingFrom(uint32_t ip) const {
    int pending = 0;
    for (size_t i = 0; i < enet_->peerCount; ++i) {
        ENetPeer& p = enet_->peers[i];
        const bool from = ip == 0 || ntohl(p.address.host) == ip;
        if (p.state == ENET_PEER_STATE_DISCONNECTED || !from) {
            continue;
        }
        // Ours all have an id; one without is a stranger's handshake.
        const LinkId link = idOf(&p);
        const auto it = links_.find(link);
        if (link == 0 || (it != links_.end() && it->second.kind == LinkKind::Unverified)) {
            ++pending;
        }
    }
    return pending;
}

bool EnetLinks::admit(const Opening& opening, Endpoint from, size_t size) {
    const qint64 t = now();
    if (opening.connect && gate_.admits(from, opening.cookie, t)) {
        // Shown to be at its address; its resends never take a second slot.
        return pendingFrom(from.ipv4) < kMaxPendingPerIp && pendingFrom(0) < kMaxUnverified;
    }
    if (opening.connect && opening.cookie == kProveOnLink) {
        if (Unproven* u = unprovenAt(from, opening.connectId)) {
            unprovenSpoke(*u, size);  // its CONNECT again: ENet's answer may be lost
            return false;             // ENet would only find it has that one already
        }
        if (letInAtOnce(opening, from, size, t)) {
            return true;
        }
    }
    if (opening.connect && gate_.mayAnswer(from.ipv4, t)) {
        sendRaw(enet_->socket, from, encodeCookie({opening.connectId, gate_.cookieFor(from, t)}));
    }
    return false;
}

int EnetLinks::intercept(ENetHost* host, ENetEvent* event) {
    Q_UNUSED(event);
    EnetLinks* self = of(host);
    if (self == nullptr) {
        return 0;
    }
    const enet_internals::Received got = enet_internals::received(*host);
    const uint8_t* data = got.data;
    const size_t size = got.size;
    if (size < self->receivedSizes_.size()) {
        ++self->receivedSizes_[size];
    }
    const Endpoint from{ntohl(got.from.host), got.from.port};
    // ENet would drop them as well; the meeting point's client may want them.
    if (orvel::meet::isMeetDatagram(data, size)) {
        self->listener_.meetArrived(data, size, from);
        return 1;
    }
    // A cookie datagram has done its work on the routers on the way as well.
    if (const auto cookie = decodeCookie(data, size)) {
        self->cookieArrived(*cookie, from);
        return 1;
    }
    if (net::looksLikeQuery(data, size)) {
        if (const auto answer = self->listener_.queryArrived(data, size, from.ipv4, from.port)) {
            sendRaw(host->socket, from, *answer);
        }
        return 1;
    }
    const auto opening = openingIn(data, size);
    if (opening) {
        return self->admit(*opening, from, size) ? 0 : 1;
    }
    const uint32_t slot = peerNamedIn(data, size);
    if (slot < host->peerCount) {
        ENetPeer* p = &host->peers[slot];
        Unproven* u = self->unprovenOf(p);
        if (u != nullptr && u->from == from) {
            self->unprovenSpoke(*u, size);
        }
    }
    return 0;
}

}  // namespace dx8
