// EnetLinks at the socket: the address gate in front of ENet, our own links connecting again
// with the cookie they are answered, and datagrams outside any link.

#include <arpa/inet.h>
#include <enet/enet.h>

#include "platform/dx8/play/enet_links.h"
#include "platform/net/meet_protocol.h"

namespace dx8 {

namespace {

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
    const uint32_t cookie = gate_.cookieTo(to, now());
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
    // An answer names the CONNECT it answers; an offer is for a CONNECT that had no cookie.
    for (const auto& [link, ours] : peers_) {
        const ENetPeer* p = ours.peer;
        const bool answered = c.connectId != 0 ? p->connectID == c.connectId : ours.cookie == 0;
        if (answered && c.cookie != ours.cookie && p->state == ENET_PEER_STATE_CONNECTING &&
            ntohl(p->address.host) == from.ipv4 && p->address.port == from.port) {
            redials_.push_back({link, p->connectID, c.cookie});
        }
    }
}

void EnetLinks::redial() {
    bool sent = false;
    for (const Redial& r : std::exchange(redials_, {})) {
        ENetPeer* old = peer(r.link);
        if (old == nullptr || old->state != ENET_PEER_STATE_CONNECTING ||
            old->connectID != r.connectId) {
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

bool EnetLinks::admit(const Opening& opening, Endpoint from) {
    const qint64 t = now();
    if (opening.connect && gate_.admits(from, opening.cookie, t)) {
        // Shown to be at its address; its resends never take a second slot.
        return pendingFrom(from.ipv4) < kMaxPendingPerIp && pendingFrom(0) < kMaxUnverified;
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
    const uint8_t* data = host->receivedData;
    const size_t size = host->receivedDataLength;
    if (size < self->receivedSizes_.size()) {
        ++self->receivedSizes_[size];
    }
    const Endpoint from{ntohl(host->receivedAddress.host), host->receivedAddress.port};
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
    return opening && !self->admit(*opening, from) ? 1 : 0;
}

}  // namespace dx8
