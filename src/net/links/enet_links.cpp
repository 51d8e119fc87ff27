#include "net/links/enet_links.h"

#include <arpa/inet.h>
#include <enet/enet.h>
#include <enet/time.h>

#include <QHash>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>

#include "net/links/enet_internals.h"
#include "platform/dx8/directplay8.h"
#include "net/paths/nat_paths.h"

Q_DECLARE_LOGGING_CATEGORY(lcSession)

namespace dx8 {

namespace {

// ENet is serviced when its socket has data and when its next resend, ping or timeout falls
// due; these bound the wait between two services.
constexpr qint64 kMaxServiceGapMs = 1000;
constexpr qint64 kRestServiceGapMs = 5000;
constexpr qint64 kBusyServiceMs = 10;  // data queued that ENet could not send yet
constexpr int kLeaveFlushMs = 300;     // goodbyes get this long at most to go out
constexpr size_t kMaxPeers = 64;
// A stranger that has passed the gate must finish ENet's handshake and then say who it is, each
// within a few seconds.
constexpr enet_uint32 kHandshakeMs = 4000;
constexpr int kUnverifiedMs = 5000;
constexpr int kMaxPacketBytes = 256 * 1024 + 4096;
// Liveness: a link dark for up to 5 s must come back, and one really gone must be given up
// within 10 s. Resends are never further apart than kMaxResendGapMs (ENet doubles the gap on
// every loss, so a link back after a few seconds would stay unheard for as long again), which
// leaves ENet's maximum as the one timeout that counts: 7.5 s after the oldest unanswered
// resend, once the link has been quiet for pingInterval.
constexpr enet_uint32 kTimeoutLimit = 32;
constexpr enet_uint32 kTimeoutMinMs = 7000;
constexpr enet_uint32 kTimeoutMaxMs = 7500;
constexpr enet_uint32 kMaxResendGapMs = 400;

void ensureEnet() {
    static const bool ok = enet_initialize() == 0;
    if (!ok) {
        raise(DPNERR_GENERIC, "network layer unavailable");
    }
}

QHash<ENetHost*, EnetLinks*>& hostRegistry() {
    static QHash<ENetHost*, EnetLinks*> registry;
    return registry;
}

}  // namespace

EnetLinks* EnetLinks::of(ENetHost* host) {
    return hostRegistry().value(host);
}

EnetLinks::EnetLinks(LinkListener& listener, const QElapsedTimer& clock, QObject* parent)
    : QObject(parent), listener_(listener), clock_(clock) {
    ticker_ = new QTimer(this);
    ticker_->setTimerType(Qt::PreciseTimer);
    ticker_->setSingleShot(true);
    QObject::connect(ticker_, &QTimer::timeout, this, &EnetLinks::onTick);
}

EnetLinks::~EnetLinks() {
    close();
}

bool EnetLinks::open(uint32_t bindIp, int firstPort, bool anyPortFallback) {
    ensureEnet();
    close();
    ENetAddress address;
    address.host = bindIp == 0 ? ENET_HOST_ANY : htonl(bindIp);
    const int lastPort = (firstPort >= kDefaultSessionPort && firstPort <= kLastSessionPort)
                             ? kLastSessionPort
                             : firstPort;
    ENetHost* host = nullptr;
    for (int port = firstPort; port <= lastPort && host == nullptr; ++port) {
        address.port = static_cast<enet_uint16>(port);
        host = enet_host_create(&address, kMaxPeers, net::kChannelCount, 0, 0);
    }
    if (host == nullptr && anyPortFallback) {
        address.port = ENET_PORT_ANY;
        host = enet_host_create(&address, kMaxPeers, net::kChannelCount, 0, 0);
    }
    if (host == nullptr) {
        return false;
    }
    host->intercept = &EnetLinks::intercept;
    host->maximumPacketSize = kMaxPacketBytes;
    host->maximumWaitingData = 4 * 1024 * 1024;
    enet_ = host;
    hostRegistry().insert(host, this);
    notifier_ =
        new QSocketNotifier(static_cast<qintptr>(host->socket), QSocketNotifier::Read, this);
    QObject::connect(notifier_, &QSocketNotifier::activated, this, &EnetLinks::onReadable);
    // What went over the wire counts per session.
    std::fill(receivedSizes_.begin(), receivedSizes_.end(), 0);
    scheduleService();
    return true;
}

void EnetLinks::close() {
    if (enet_ == nullptr) {
        return;
    }
    // close may run inside the notifier's own signal; let it go once that has returned.
    notifier_->setEnabled(false);
    notifier_->deleteLater();
    notifier_ = nullptr;
    ticker_->stop();
    tickDue_ = 0;
    hostRegistry().remove(enet_);
    enet_host_flush(enet_);
    enet_host_destroy(enet_);
    enet_ = nullptr;
    links_.clear();
    peers_.clear();
    ids_.clear();
    redials_.clear();
    unproven_.clear();
}

void EnetLinks::closeAll(bool flushGoodbyes) {
    if (enet_ == nullptr) {
        return;
    }
    for (const auto& [link, state] : links_) {
        if (ENetPeer* p = peer(link); p != nullptr && flushGoodbyes) {
            enet_peer_disconnect_later(p, 0);
        } else if (p != nullptr) {
            enet_peer_disconnect_now(p, 0);
        }
    }
    if (!flushGoodbyes) {
        return;
    }
    // Give the goodbyes a moment to be acknowledged; ENet's events are of no use now.
    QElapsedTimer waited;
    waited.start();
    ENetEvent event;
    while (enet_->connectedPeers > 0 && waited.elapsed() < kLeaveFlushMs) {
        const int r = enet_host_service(enet_, &event, 10);
        if (r < 0) {
            break;
        }
        if (r > 0 && event.type == ENET_EVENT_TYPE_RECEIVE) {
            enet_packet_destroy(event.packet);
        }
    }
}

WireStats EnetLinks::wireStats() const {
    WireStats w;
    if (enet_ != nullptr) {
        w.sentDatagrams = enet_->totalSentPackets;
        w.sentBytes = enet_->totalSentData;
        w.receivedDatagrams = enet_->totalReceivedPackets;
        w.receivedBytes = enet_->totalReceivedData;
    }
    uint32_t best = 0;
    for (size_t size = 100; size < receivedSizes_.size(); ++size) {
        if (receivedSizes_[size] > best) {
            best = receivedSizes_[size];
            w.commonLargeDatagram = static_cast<int>(size);
        }
    }
    return w;
}

uint16_t EnetLinks::localPort() const {
    return enet_ != nullptr ? enet_->address.port : 0;
}

ENetPeer* EnetLinks::peer(LinkId link) const {
    const auto it = peers_.find(link);
    return it == peers_.end() ? nullptr : it->second.peer;
}

LinkId EnetLinks::idOf(ENetPeer* p) const {
    const auto it = ids_.find(p);
    return it == ids_.end() ? 0 : it->second;
}

void EnetLinks::adopt(LinkId link, ENetPeer* p, uint32_t cookie) {
    release(link);
    peers_[link] = {p, cookie};
    ids_[p] = link;
}

void EnetLinks::release(LinkId link) {
    const auto it = peers_.find(link);
    if (it != peers_.end()) {
        ids_.erase(it->second.peer);
        peers_.erase(it);
    }
}

Endpoint EnetLinks::endpointOf(LinkId link) const {
    const ENetPeer* p = peer(link);
    return p == nullptr ? Endpoint{} : Endpoint{ntohl(p->address.host), p->address.port};
}

void EnetLinks::capResends() {
    if (enet_ == nullptr) {
        return;
    }
    holdUnproven();
    for (size_t i = 0; i < enet_->peerCount; ++i) {
        ENetPeer& p = enet_->peers[i];
        if (p.state == ENET_PEER_STATE_DISCONNECTED || unprovenOf(&p) != nullptr) {
            continue;
        }
        if (p.state == ENET_PEER_STATE_ACKNOWLEDGING_CONNECT ||
            p.state == ENET_PEER_STATE_CONNECTION_PENDING) {
            // A stranger's handshake: given up (silently, by ENet) within kHandshakeMs.
            enet_internals::capHandshake(p, kHandshakeMs);
        }
        enet_internals::capResendGap(p, kMaxResendGapMs);
    }
}

qint64 EnetLinks::silentMs(LinkId link) const {
    const ENetPeer* p = peer(link);
    if (p == nullptr || enet_ == nullptr) {
        return 0;
    }
    return static_cast<qint64>(
        ENET_TIME_DIFFERENCE(enet_time_get(), enet_internals::lastReceiveTime(*p)));
}

int EnetLinks::roundTripMs(LinkId link) const {
    const ENetPeer* p = peer(link);
    return p == nullptr ? kUnknownRoundTrip : static_cast<int>(p->roundTripTime);
}

void EnetLinks::pump() {
    // A Receive handler may run inside this loop and release the peer, or close its session.
    const QPointer<EnetLinks> self(this);
    ENetEvent event;
    for (int i = 0; i < 4096 && self && enet_ != nullptr; ++i) {
        capResends();
        if (enet_host_service(enet_, &event, 0) <= 0) {
            break;
        }
        switch (event.type) {
            case ENET_EVENT_TYPE_CONNECT:
                handleConnect(event.peer);
                break;
            case ENET_EVENT_TYPE_DISCONNECT:
                handleDisconnect(event.peer);
                break;
            case ENET_EVENT_TYPE_RECEIVE: {
                const QByteArray data(reinterpret_cast<const char*>(event.packet->data),
                                      static_cast<qsizetype>(event.packet->dataLength));
                enet_packet_destroy(event.packet);
                if (const LinkId link = idOf(event.peer)) {
                    received(link, event.channelID, data);
                } else {
                    heardUnproven(event.peer, event.channelID, data);
                }
                break;
            }
            case ENET_EVENT_TYPE_NONE:
                break;
        }
    }
    if (self && enet_ != nullptr) {
        redial();
    }
}

void EnetLinks::received(LinkId link, uint8_t channel, const QByteArray& data) {
    const auto it = links_.find(link);
    if (it == links_.end()) {
        return;
    }
    if (channel == net::kChannelData || channel == net::kChannelGuaranteed) {
        listener_.dataArrived(link, it->second, data);
    } else if (channel == net::kChannelRelay || channel == net::kChannelRelayGuaranteed) {
        listener_.relayArrived(link, it->second, data, channel == net::kChannelRelayGuaranteed);
    } else if (const auto m = net::decodeControl(reinterpret_cast<const uint8_t*>(data.data()),
                                                 static_cast<size_t>(data.size()))) {
        if (!std::holds_alternative<net::msg::AddressProof>(*m)) {  // below the session
            listener_.controlArrived(link, *m);
        }
    } else {
        qCDebug(lcSession) << "undecodable control message dropped";
        if (it->second.kind == LinkKind::Unverified) {
            drop(link, Drop::Now, now());
        }
    }
}

void EnetLinks::onReadable() {
    const QPointer<EnetLinks> self(this);
    pump();
    if (self) {
        scheduleService();
    }
}

void EnetLinks::onTick() {
    const QPointer<EnetLinks> self(this);
    tickDue_ = 0;
    pump();
    if (self) {
        listener_.deadlinesDue();
    }
    if (self) {
        scheduleService();
    }
}

qint64 EnetLinks::msUntilServiceDue() const {
    // With no link and nobody linking, nothing falls due inside ENet: a host alone rests.
    bool quiet = links_.empty() && unproven_.empty();
    for (size_t i = 0; quiet && i < enet_->peerCount; ++i) {
        quiet = enet_->peers[i].state == ENET_PEER_STATE_DISCONNECTED;
    }
    qint64 wait = quiet ? kRestServiceGapMs : kMaxServiceGapMs;
    const enet_uint32 t = enet_time_get();
    const auto until = [t](enet_uint32 at) -> qint64 {
        return ENET_TIME_LESS(at, t) ? 0 : static_cast<qint64>(at - t);
    };
    for (size_t i = 0; i < enet_->peerCount; ++i) {
        const ENetPeer& p = enet_->peers[i];
        if (p.state == ENET_PEER_STATE_DISCONNECTED) {
            continue;
        }
        if (p.state == ENET_PEER_STATE_ZOMBIE || enet_internals::hasQueued(p)) {
            wait = std::min(wait, kBusyServiceMs);
        }
        if (enet_internals::hasInFlight(p)) {
            // A resend, or giving up on the peer.
            wait = std::min(wait, until(enet_internals::nextTimeout(p)));
        } else if (p.state == ENET_PEER_STATE_CONNECTED) {
            wait = std::min(wait, until(enet_internals::pingDue(p)));
        }
    }
    const qint64 n = now();
    const auto by = [&](qint64 deadline) {
        if (deadline != 0) {
            wait = std::min(wait, std::max<qint64>(deadline - n, 0));
        }
    };
    for (const auto& [link, state] : links_) {
        if (waitsOnDeadline(state)) {
            by(state.deadline);
        }
    }
    by(listener_.earliestDeadline());
    // Both clocks count whole milliseconds: one more keeps a wake from finding nothing due yet.
    return wait + 1;
}

void EnetLinks::scheduleService() {
    if (enet_ == nullptr) {
        ticker_->stop();
        tickDue_ = 0;
        return;
    }
    capResends();
    const qint64 wait = msUntilServiceDue();
    const qint64 due = now() + wait;
    // Restarting a timer for the same moment would only cost; an earlier wake reschedules.
    if (ticker_->isActive() && tickDue_ != 0 && tickDue_ <= due && due - tickDue_ <= 1) {
        return;
    }
    tickDue_ = due;
    ticker_->start(static_cast<int>(wait));
}

void EnetLinks::send(LinkId link, const net::ControlMessage& m) {
    if (link == 0 || enet_ == nullptr) {
        return;
    }
    const QByteArray bytes = net::encodeControl(m);
    ENetPacket* packet = enet_packet_create(bytes.constData(), static_cast<size_t>(bytes.size()),
                                            ENET_PACKET_FLAG_RELIABLE);
    if (packet == nullptr) {
        return;
    }
    ENetPeer* p = peer(link);
    if (p == nullptr || enet_peer_send(p, net::kChannelControl, packet) < 0) {
        enet_packet_destroy(packet);
        return;
    }
    enet_host_flush(enet_);
    scheduleService();  // its resend, should it be lost
}

bool EnetLinks::sendData(const std::vector<LinkId>& links, const QByteArray& data, int32_t flags,
                         uint8_t channel) {
    enet_uint32 packetFlags = 0;
    if (flags & DPNSEND_GUARANTEED) {
        packetFlags = ENET_PACKET_FLAG_RELIABLE;
        if (channel == net::kChannelData) {
            channel = net::kChannelGuaranteed;
        } else if (channel == net::kChannelRelay) {
            channel = net::kChannelRelayGuaranteed;
        }
    } else if (flags & DPNSEND_NONSEQUENTIAL) {
        packetFlags = ENET_PACKET_FLAG_UNSEQUENCED;
    }
    ENetPacket* packet =
        enet_packet_create(data.constData(), static_cast<size_t>(data.size()), packetFlags);
    if (packet == nullptr) {
        return false;
    }
    for (LinkId link : links) {
        if (ENetPeer* p = peer(link)) {
            enet_peer_send(p, channel, packet);
        }
    }
    if (packet->referenceCount == 0) {
        enet_packet_destroy(packet);
    }
    enet_host_flush(enet_);
    scheduleService();
    return true;
}

void EnetLinks::flush() {
    if (enet_ != nullptr) {
        enet_host_flush(enet_);
    }
}

void EnetLinks::closeNow(LinkId link) {
    if (ENetPeer* p = peer(link)) {
        release(link);
        enet_peer_disconnect_now(p, 0);
    }
}

void EnetLinks::forget(LinkId link) {
    if (ENetPeer* p = peer(link)) {
        release(link);
        enet_peer_reset(p);
    }
}

LinkId EnetLinks::connectTo(uint32_t ipv4, uint16_t port) {
    if (enet_ == nullptr || ipv4 == 0 || port == 0) {
        return 0;
    }
    ENetAddress address;
    address.host = htonl(ipv4);
    address.port = port;
    // With the cookie this address gave us, if it gave one lately; else it answers at once.
    const uint32_t cookie = gate_.dialData({ipv4, port}, now());
    ENetPeer* p = enet_host_connect(enet_, &address, net::kChannelCount, cookie);
    if (p == nullptr) {
        return 0;
    }
    const LinkId link = nextId_++;
    dialed(link, p, cookie);
    return link;
}

void EnetLinks::dialed(LinkId link, ENetPeer* p, uint32_t cookie) {
    enet_peer_timeout(p, kTimeoutLimit, kTimeoutMinMs, kTimeoutMaxMs);
    adopt(link, p, cookie);
}

// A program reaches us from one address over one link only. A new link from an address that has
// one already means the port has a new owner (the old one quit or died before its link ended
// here): whatever the old link still sends, and what arrives for it, would mix with the new one.
void EnetLinks::retireLinksAt(ENetPeer* fresh) {
    std::vector<LinkId> stale;
    for (const auto& [link, state] : links_) {
        const ENetPeer* p = peer(link);
        if (p != nullptr && p != fresh && !isOutgoing(state.kind) &&
            p->address.host == fresh->address.host && p->address.port == fresh->address.port) {
            stale.push_back(link);
        }
    }
    for (LinkId link : stale) {
        ENetPeer* p = peer(link);
        if (p == nullptr) {
            continue;  // went with an earlier one
        }
        qCDebug(lcSession) << "a new link from" << QHostAddress(ntohl(p->address.host)).toString()
                           << p->address.port << "replaces an old one";
        enet_peer_reset(p);
        handleDisconnect(p);
    }
}

void EnetLinks::handleConnect(ENetPeer* p) {
    enet_peer_timeout(p, kTimeoutLimit, kTimeoutMinMs, kTimeoutMaxMs);
    // Unreliable data is never thinned out by ENet's throttle: every car state counts.
    enet_peer_throttle_configure(p, ENET_PEER_PACKET_THROTTLE_INTERVAL, 0, 0);
    const LinkId known = idOf(p);
    const auto it = links_.find(known);
    if (it != links_.end()) {
        it->second.connected = true;
        sendProof(known);  // ahead of anything the session says on it
        listener_.linkUp(known, it->second);
        return;
    }
    if (unprovenOf(p) != nullptr) {
        // Not a word of the session, nor a ping, until it has shown its address.
        enet_peer_ping_interval(p, kHandshakeMs);
        return;
    }
    welcome(p);
}

void EnetLinks::welcome(ENetPeer* p) {
    const QPointer<EnetLinks> self(this);
    retireLinksAt(p);
    if (!self || enet_ == nullptr) {
        return;
    }
    // Someone new. Only a running session takes visitors, and not too many at once.
    if (!listener_.takesVisitors() || pendingFrom(0) > kMaxUnverified) {  // this one counted
        enet_peer_disconnect_now(p, 0);
        return;
    }
    const LinkId link = nextId_++;
    adopt(link, p);
    Link state;
    state.kind = LinkKind::Unverified;
    state.deadline = now() + kUnverifiedMs;
    state.connected = true;
    links_.emplace(link, std::move(state));
}

void EnetLinks::handleDisconnect(ENetPeer* p) {
    forgetUnproven(p);
    const LinkId link = idOf(p);
    release(link);
    const auto it = links_.find(link);
    if (link == 0 || it == links_.end()) {
        return;
    }
    const Link state = it->second;
    links_.erase(it);
    listener_.linkDown(link, state);
}

}  // namespace dx8
