#include "net/paths/relay.h"

#include <QRandomGenerator>
#include <QtEndian>
#include <algorithm>

#include "net/paths/nat_paths.h"
#include "net/trust/trust.h"

namespace dx8 {

namespace {

constexpr size_t kMaxAttempts = 16;

std::pair<DPNID, DPNID> pairOf(DPNID a, DPNID b) {
    return std::minmax(a, b);
}

}  // namespace

QByteArray wrapRelayed(DPNID id, const QByteArray& data) {
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian<uint32_t>(id, out.data());
    out.append(data);
    return out;
}

RelayRoute routeRelayed(const Roster& roster, const Link& from, const QByteArray& packet,
                        qint64 now) {
    RelayRoute route;
    if (from.kind != LinkKind::Player || packet.size() < 4 || !roster.inSession) {
        return route;
    }
    const DPNID id = qFromLittleEndian<uint32_t>(packet.constData());
    const QByteArray data = packet.mid(4);
    if (roster.isHost()) {
        // The sender is whoever owns the link; the id only names where it goes.
        const auto sender = roster.players.find(from.playerId);
        const auto target = roster.players.find(id);
        if (sender == roster.players.end() || sender->second.gone ||
            target == roster.players.end() || target->second.gone || id == from.playerId) {
            return route;
        }
        if (id == roster.localId) {
            route.action = RelayRoute::Deliver;
            route.from = from.playerId;
            route.data = data;
        } else if (target->second.link != 0 && target->second.path != PathKind::Relayed) {
            route.action = RelayRoute::Forward;
            route.forwardTo = target->second.link;
            route.to = id;
            route.data = wrapRelayed(from.playerId, data);
        }
        return route;
    }
    if (from.playerId != roster.hostId) {
        return route;  // a player claiming to relay for another
    }
    const auto origin = roster.players.find(id);
    if (origin == roster.players.end() || origin->second.gone ||
        (origin->second.path != PathKind::Relayed && now >= origin->second.relayedUntil)) {
        return route;
    }
    route.action = RelayRoute::Deliver;
    route.from = id;
    route.data = data;
    return route;
}

LinkId relayVia(const Roster& roster, const Player& to, bool guaranteed, qint64 now) {
    if (to.path == PathKind::Relayed) {
        return to.link;
    }
    if (!guaranteed || now >= to.relayGuaranteedUntil) {
        return 0;
    }
    return roster.hostLink();
}

void leaveRelay(Player& p, LinkId link, Endpoint at, PathKind path, qint64 now) {
    p.link = link;
    p.path = path;
    p.seen = at;
    // Our last relayed line may still be on its way for the grace period, and so may theirs,
    // which they sent up to a grace period after their own switch.
    p.relayedUntil = now + 2 * kRelayGraceMs;
    p.onceRelayed = true;
}

std::vector<DPNID> rehomeRelayed(Roster& roster) {
    std::vector<DPNID> unreachable;
    const LinkId hostLink = roster.hostLink();
    for (auto& [id, p] : roster.players) {
        if (p.gone || p.path != PathKind::Relayed) {
            continue;
        }
        if (roster.hostId == roster.localId || hostLink == 0 || id == roster.hostId) {
            unreachable.push_back(id);
        } else {
            p.link = hostLink;
        }
    }
    return unreachable;
}

// ---- The host's side ---------------------------------------------------------------------------

void Relay::onMapped(DPNID id) {
    if (!s_.roster.isHost()) {
        return;
    }
    const qint64 now = s_.now();
    for (const auto& pair : s_.roster.relayedPairs) {
        Retry& retry = retries_[pair];
        // Once per retry period at most: a player that keeps announcing mappings does not
        // have its partner keep linking.
        if ((pair.first == id || pair.second == id) &&
            (retry.mappedAt == 0 || now - retry.mappedAt >= kRetryDirectMs)) {
            // Not while the last try may still link them: two links at once, each side
            // keeping the other's, would both be dropped.
            retry.at = std::max(now, retry.busyUntil);
            retry.mappedAt = now;
        }
    }
}

bool Relay::mayForward(DPNID from, DPNID to, qsizetype bytes) {
    const qint64 now = s_.now();
    const auto key = std::pair{from, to};
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        if (s_.roster.present(from) == nullptr || s_.roster.present(to) == nullptr) {
            return false;
        }
        it = buckets_.emplace(key, Bucket{kRelayBurstPackets, kRelayBurstBytes, now}).first;
    }
    Bucket& b = it->second;
    const double seconds = static_cast<double>(now - b.at) / 1000.0;
    b.at = now;
    b.packets = std::min<double>(kRelayBurstPackets, b.packets + seconds * kRelayPacketsPerSecond);
    b.bytes = std::min<double>(kRelayBurstBytes, b.bytes + seconds * kRelayBytesPerSecond);
    if (b.packets < 1 || b.bytes < static_cast<double>(bytes)) {
        return false;
    }
    b.packets -= 1;
    b.bytes -= static_cast<double>(bytes);
    return true;
}

void Relay::onLinked(DPNID from, DPNID other) {
    Roster& r = s_.roster;
    if (r.isHost() && r.relayedPairs.erase(pairOf(from, other)) > 0) {
        retries_.erase(pairOf(from, other));
        s_.broadcast(r.announcePaths());
    }
}

void Relay::onUnlinked(DPNID from, DPNID other) {
    Roster& r = s_.roster;
    const Player* a = r.present(from);
    const Player* b = r.present(other);
    if (!r.isHost() || a == nullptr || b == nullptr || a->link == 0 || b->link == 0 ||
        from == other || !r.relayedPairs.insert(pairOf(from, other)).second) {
        return;
    }
    // It had linked once and lost it: no hurry to try again.
    retries_[pairOf(from, other)] = {2, s_.now() + 2 * kRetryDirectMs, 0};
    s_.broadcast(r.announcePaths());
}

void Relay::shareLegs() {
    Roster& r = s_.roster;
    std::map<DPNID, net::msg::RoundTrips> toSend;
    for (const auto& [a, b] : r.relayedPairs) {
        for (const auto& [to, about] : {std::pair{a, b}, std::pair{b, a}}) {
            const Player* p = r.present(about);
            const int rtt =
                p != nullptr && p->link != 0 ? s_.links.roundTripMs(p->link) : kUnknownRoundTrip;
            if (rtt != kUnknownRoundTrip) {
                toSend[to].legs.push_back(about);
                toSend[to].legs.push_back(static_cast<uint32_t>(rtt));
            }
        }
    }
    for (const auto& [to, m] : toSend) {
        if (const Player* p = r.present(to); p != nullptr && p->link != 0) {
            s_.links.send(p->link, m);
        }
    }
}

void Relay::introduce(const std::pair<DPNID, DPNID>& pair, int tries) {
    Player* a = s_.roster.present(pair.first);
    Player* b = s_.roster.present(pair.second);
    if (a == nullptr || b == nullptr || a->link == 0 || b->link == 0 ||
        a->path == PathKind::Relayed || b->path == PathKind::Relayed) {
        return;
    }
    // The one whose partner has a router mapping links to it; otherwise they take turns, the
    // later joined first as in its join, so that each side's router gets its chance.
    Player* from = a->seq > b->seq ? a : b;
    Player* to = from == a ? b : a;
    const bool fromMapped = from->mapped.port != 0;
    const bool toMapped = to->mapped.port != 0;
    if ((fromMapped && !toMapped) || (fromMapped == toMapped && tries % 2 == 1)) {
        std::swap(from, to);
    }
    net::PlayerEntry entry = entryOf(*to, s_.links.endpointOf(to->link));
    entry.token = QRandomGenerator::system()->generate64();
    const Endpoint fromAt = s_.links.endpointOf(from->link);
    s_.links.send(to->link, net::expect(from->id, entry.token, fromAt.ipv4, fromAt.port));
    s_.links.send(from->link, net::msg::Reach{entry});
}

// ---- A relayed player's side -------------------------------------------------------------------

void Relay::onRoundTrips(const net::msg::RoundTrips& m) {
    for (size_t i = 0; i + 1 < m.legs.size(); i += 2) {
        Player* p = s_.roster.present(m.legs[i]);
        if (p != nullptr && p->path == PathKind::Relayed) {
            p->hostLegMs = static_cast<int>(std::min<uint32_t>(m.legs[i + 1], 60000));
        }
    }
}

void Relay::onReach(const net::msg::Reach& m) {
    const Player* target = s_.roster.present(m.player.id);
    const auto busy = std::any_of(attempts_.begin(), attempts_.end(), [&m](const Attempt& a) {
        return a.links.target() == m.player.id;
    });
    const LinkId hostLink = s_.roster.hostLink();
    if (target == nullptr || target->path != PathKind::Relayed || busy || hostLink == 0 ||
        attempts_.size() >= kMaxAttempts) {
        return;
    }
    const uint32_t hostIp = s_.links.endpointOf(hostLink).ipv4;
    Attempt a{LinkAttempt(s_, m.player, hostIp, s_.roster.observed.ipv4, LinkKind::OffRelay),
              s_.now() + kDirectWaitMs};
    if (a.links.start()) {
        attempts_.push_back(std::move(a));
        s_.links.flush();
    }
}

Relay::Attempt* Relay::attemptOf(LinkId link) {
    for (Attempt& a : attempts_) {
        if (a.links.owns(link)) {
            return &a;
        }
    }
    return nullptr;
}

void Relay::onLinkUp(LinkId link) {
    if (const Attempt* a = attemptOf(link)) {
        a->links.greet(link);
    }
}

void Relay::onLinkControl(LinkId link, const net::ControlMessage& m) {
    Attempt* a = attemptOf(link);
    Link* state = s_.links.find(link);
    const auto* ack = std::get_if<net::msg::MeshAck>(&m);
    // Whoever answers is the player only when it proves our pair's token.
    if (a == nullptr || state == nullptr || ack == nullptr || !a->links.proven(*ack)) {
        return;
    }
    const DPNID id = a->links.target();
    Player* p = s_.roster.present(id);
    if (p == nullptr || p->path != PathKind::Relayed) {
        giveUp(id);
        return;
    }
    state->kind = LinkKind::Player;
    state->acked = true;
    state->deadline = 0;
    leaveRelay(*p, link, s_.links.endpointOf(link), a->links.pathOf(link), s_.now());
    a->links.keep(link);  // ours now; the other addresses go
    std::erase_if(attempts_, [id](const Attempt& x) { return x.links.target() == id; });
    qCDebug(lcSession) << "linked directly to" << id << "; no longer relayed";
    if (const LinkId hostLink = s_.roster.hostLink(); hostLink != 0) {
        s_.links.send(hostLink, net::msg::Linked{id});
    }
}

void Relay::onLinkLost(LinkId link) {
    Attempt* a = attemptOf(link);
    if (a == nullptr) {
        return;
    }
    a->links.lost(link);
    if (a->links.exhausted()) {
        giveUp(a->links.target());
    }
}

void Relay::giveUp(DPNID target) {
    const auto it = std::find_if(attempts_.begin(), attempts_.end(),
                                 [target](const Attempt& a) { return a.links.target() == target; });
    if (it == attempts_.end()) {
        return;
    }
    Attempt a = std::move(*it);
    attempts_.erase(it);
    a.links.drop(Drop::Now);
}

void Relay::linkedFrom(LinkId link, Link& state, DPNID id, const net::ControlMessage& ack) {
    Player& p = s_.roster.players[id];
    const Endpoint at = s_.links.endpointOf(link);
    state.kind = LinkKind::Player;
    state.playerId = id;
    state.hello.reset();
    state.deadline = 0;
    const bool atHome = at == p.lan || at == p.mapped;
    // Through our own router's mapping it is as direct as a link gets.
    const bool mapped = s_.roster.mapped.port != 0;
    leaveRelay(p, link, at,
               atHome || mapped || p.lan.ipv4 == 0 ? PathKind::Direct : PathKind::Punched,
               s_.now());
    s_.links.send(link, ack);
    qCDebug(lcSession) << id << "linked to us directly; no longer relayed";
}

bool Relay::backToRelay(DPNID id) {
    Roster& r = s_.roster;
    Player* p = r.present(id);
    const LinkId hostLink = r.hostLink();
    if (p == nullptr || !p->onceRelayed || r.isHost() || id == r.hostId || hostLink == 0) {
        return false;
    }
    p->path = PathKind::Relayed;
    p->link = hostLink;
    p->hostLegMs = kUnknownRoundTrip;
    s_.links.send(hostLink, net::msg::Unlinked{id});
    qCDebug(lcSession) << "lost the direct link to" << id << "; the host relays again";
    return true;
}

// ---- Both sides --------------------------------------------------------------------------------

void Relay::checkDeadline(qint64 now) {
    std::vector<DPNID> expired;
    for (Attempt& a : attempts_) {
        if (a.links.deadline() != 0 && now >= a.links.deadline()) {
            a.links.checkDeadline(now);
            s_.links.flush();
        }
        if (now > a.deadline || a.links.exhausted()) {
            expired.push_back(a.links.target());
        }
    }
    for (DPNID id : expired) {
        giveUp(id);
    }
    if (!s_.roster.isHost()) {
        retries_.clear();
        buckets_.clear();
        legsAt_ = 0;
        return;
    }
    std::erase_if(buckets_, [this](const auto& b) {
        return s_.roster.present(b.first.first) == nullptr ||
               s_.roster.present(b.first.second) == nullptr;
    });
    if (s_.roster.relayedPairs.empty()) {
        legsAt_ = 0;
    } else if (now >= legsAt_) {
        shareLegs();
        legsAt_ = now + kShareLegsMs;
    }
    std::erase_if(retries_,
                  [this](const auto& r) { return s_.roster.relayedPairs.count(r.first) == 0; });
    for (const auto& pair : s_.roster.relayedPairs) {
        Retry& retry = retries_[pair];
        if (retry.at == 0) {
            // At once the other way round: in the join the later joined linked to the other.
            retry = {1, now};
        }
        if (now >= retry.at) {
            introduce(pair, retry.tries);
            retry.busyUntil = now + 2 * kDirectWaitMs;
            retry.at = now + std::min<qint64>(qint64{kRetryDirectMs} << std::min(retry.tries, 4),
                                              kRetryDirectMaxMs);
            ++retry.tries;
        }
    }
}

qint64 Relay::deadline() const {
    qint64 due = 0;
    const auto by = [&due](qint64 t) {
        if (t != 0 && (due == 0 || t < due)) {
            due = t;
        }
    };
    for (const Attempt& a : attempts_) {
        by(a.links.deadline());
        by(a.deadline);
    }
    for (const auto& [pair, retry] : retries_) {
        by(retry.at);
    }
    if (!s_.roster.relayedPairs.empty()) {
        by(legsAt_);
    }
    return due;
}

void Relay::reset() {
    attempts_.clear();
    retries_.clear();
    buckets_.clear();
    legsAt_ = 0;
}

}  // namespace dx8
