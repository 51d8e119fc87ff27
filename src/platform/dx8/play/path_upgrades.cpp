#include "platform/dx8/play/path_upgrades.h"

#include <QRandomGenerator>
#include <algorithm>

#include "platform/dx8/play/nat_paths.h"
#include "platform/dx8/play/relay.h"

namespace dx8 {

namespace {

constexpr size_t kMaxAttempts = 16;

std::pair<DPNID, DPNID> pairOf(DPNID a, DPNID b) {
    return std::minmax(a, b);
}

}  // namespace

net::msg::Paths announcePaths(Roster& r) {
    r.prunePairs();
    std::map<DPNID, int> relayedWith;
    for (const auto& [a, b] : r.relayedPairs) {
        ++relayedWith[a];
        ++relayedWith[b];
    }
    std::vector<const Player*> order = r.presentInJoinOrder();
    // Whoever takes over must reach everyone: the fewer relayed pairs, the earlier.
    std::stable_sort(order.begin(), order.end(), [&](const Player* x, const Player* y) {
        return relayedWith[x->id] < relayedWith[y->id];
    });
    net::msg::Paths m;
    for (const Player* p : order) {
        m.succession.push_back(p->id);
    }
    for (const auto& [a, b] : r.relayedPairs) {
        m.relayed.push_back(a);
        m.relayed.push_back(b);
    }
    r.succession = m.succession;
    return m;
}

bool PathUpgrades::onControl(DPNID from, const net::ControlMessage& m) {
    Roster& r = s_.roster;
    const bool fromHost = from == r.hostId;
    if (const auto* paths = std::get_if<net::msg::Paths>(&m)) {
        if (fromHost) {
            r.succession = paths->succession;
            r.relayedPairs.clear();
            for (size_t i = 0; i + 1 < paths->relayed.size(); i += 2) {
                r.relayedPairs.insert(pairOf(paths->relayed[i], paths->relayed[i + 1]));
            }
        }
    } else if (const auto* mapped = std::get_if<net::msg::Mapped>(&m)) {
        onMapped(from, *mapped);
    } else if (const auto* reach = std::get_if<net::msg::Reach>(&m)) {
        if (fromHost) {
            onReach(*reach);
        }
    } else if (const auto* linked = std::get_if<net::msg::Linked>(&m)) {
        onLinked(from, linked->playerId);
    } else if (const auto* unlinked = std::get_if<net::msg::Unlinked>(&m)) {
        onUnlinked(from, unlinked->playerId);
    } else if (const auto* trips = std::get_if<net::msg::RoundTrips>(&m)) {
        for (size_t i = 0; fromHost && i + 1 < trips->legs.size(); i += 2) {
            Player* p = r.present(trips->legs[i]);
            if (p != nullptr && p->path == PathKind::Relayed) {
                p->hostLegMs = static_cast<int>(std::min<uint32_t>(trips->legs[i + 1], 60000));
            }
        }
    } else {
        return false;
    }
    return true;
}

void PathUpgrades::onMapped(DPNID from, const net::msg::Mapped& m) {
    Player* p = s_.roster.present(from);
    if (p == nullptr) {
        return;
    }
    p->mappedIpv4 = m.ipv4;
    p->mappedPort = m.port;
    if (!s_.roster.isHost() || m.port == 0) {
        return;
    }
    // Its partners may reach it there now: they try at once.
    for (const auto& pair : s_.roster.relayedPairs) {
        if (pair.first == from || pair.second == from) {
            // Not while the last try may still link them: two links at once, each side
            // keeping the other's, would both be dropped.
            Retry& retry = retries_[pair];
            retry.at = std::max(s_.now(), retry.busyUntil);
        }
    }
}

void PathUpgrades::onLinked(DPNID from, DPNID other) {
    Roster& r = s_.roster;
    if (r.isHost() && r.relayedPairs.erase(pairOf(from, other)) > 0) {
        retries_.erase(pairOf(from, other));
        s_.broadcast(announcePaths(r));
    }
}

void PathUpgrades::onUnlinked(DPNID from, DPNID other) {
    Roster& r = s_.roster;
    const Player* a = r.present(from);
    const Player* b = r.present(other);
    if (!r.isHost() || a == nullptr || b == nullptr || a->link == 0 || b->link == 0 ||
        from == other || !r.relayedPairs.insert(pairOf(from, other)).second) {
        return;
    }
    // It had linked once and lost it: no hurry to try again.
    retries_[pairOf(from, other)] = {2, s_.now() + 2 * kRetryDirectMs, 0};
    s_.broadcast(announcePaths(r));
}

bool PathUpgrades::backToRelay(DPNID id) {
    Roster& r = s_.roster;
    Player* p = r.present(id);
    const Player* host = r.present(r.hostId);
    if (p == nullptr || !p->wasRelayed || r.isHost() || id == r.hostId || host == nullptr ||
        host->link == 0) {
        return false;
    }
    p->path = PathKind::Relayed;
    p->link = host->link;
    p->hostLegMs = -1;
    s_.links.send(host->link, net::msg::Unlinked{id});
    qCDebug(lcSession) << "lost the direct link to" << id << "; the host relays again";
    return true;
}

void PathUpgrades::shareLegs() {
    Roster& r = s_.roster;
    std::map<DPNID, net::msg::RoundTrips> toSend;
    for (const auto& [a, b] : r.relayedPairs) {
        for (const auto& [to, about] : {std::pair{a, b}, std::pair{b, a}}) {
            const Player* p = r.present(about);
            const int rtt = p != nullptr && p->link != 0 ? s_.links.roundTripMs(p->link) : 0;
            if (rtt > 0) {
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

void PathUpgrades::introduce(const std::pair<DPNID, DPNID>& pair, int tries) {
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
    const bool fromMapped = from->mappedPort != 0;
    const bool toMapped = to->mappedPort != 0;
    if ((fromMapped && !toMapped) || (fromMapped == toMapped && tries % 2 == 1)) {
        std::swap(from, to);
    }
    const uint64_t token = QRandomGenerator::system()->generate64();
    const Endpoint fromAt = s_.links.endpointOf(from->link);
    s_.links.send(to->link, net::expect(from->id, token, fromAt.ipv4, fromAt.port));
    s_.links.send(from->link, net::msg::Reach{token, entryOf(*to, s_.links.endpointOf(to->link))});
}

void PathUpgrades::onReach(const net::msg::Reach& m) {
    const Player* target = s_.roster.present(m.player.id);
    const auto busy = std::any_of(attempts_.begin(), attempts_.end(),
                                  [&m](const Attempt& a) { return a.target == m.player.id; });
    const Player* host = s_.roster.present(s_.roster.hostId);
    if (target == nullptr || target->path != PathKind::Relayed || busy || host == nullptr ||
        host->link == 0 || attempts_.size() >= kMaxAttempts) {
        return;
    }
    Attempt a;
    a.target = m.player.id;
    a.token = m.token;
    a.entry = m.player;
    a.deadline = s_.now() + kDirectWaitMs;
    for (const Endpoint& at : candidatesFor(m.player, s_.links.endpointOf(host->link).ipv4)) {
        if (pathTo(m.player, at) == PathKind::Punched) {
            a.later.push_back(at);
            a.laterAt = s_.now() + kPunchHeadStartMs;
        } else {
            tryAt(a, at);
        }
    }
    if (!a.links.empty() || !a.later.empty()) {
        attempts_.push_back(std::move(a));
        s_.links.flush();
    }
}

void PathUpgrades::tryAt(Attempt& a, Endpoint at) {
    const LinkId link = s_.links.connectTo(at.ipv4, at.port);
    if (link == 0) {
        return;
    }
    Link state;
    state.kind = LinkKind::MeshOut;
    state.playerId = a.target;
    s_.links.add(link, state);
    a.links[link] = pathTo(a.entry, at);
}

PathUpgrades::Attempt* PathUpgrades::attemptOf(LinkId link) {
    for (Attempt& a : attempts_) {
        if (a.links.count(link) != 0) {
            return &a;
        }
    }
    return nullptr;
}

bool PathUpgrades::owns(LinkId link) const {
    return std::any_of(attempts_.begin(), attempts_.end(),
                       [link](const Attempt& a) { return a.links.count(link) != 0; });
}

void PathUpgrades::onLinkUp(LinkId link) {
    if (const Attempt* a = attemptOf(link)) {
        s_.links.send(link, net::meshHello(s_.roster.localId, a->token));
    }
}

void PathUpgrades::onLinkControl(LinkId link, const net::ControlMessage& m) {
    Attempt* a = attemptOf(link);
    Link* state = s_.links.find(link);
    if (a == nullptr || state == nullptr || !std::holds_alternative<net::msg::MeshAck>(m)) {
        return;
    }
    const DPNID id = a->target;
    Player* p = s_.roster.present(id);
    if (p == nullptr || p->path != PathKind::Relayed) {
        giveUp(id);
        return;
    }
    state->kind = LinkKind::Player;
    state->acked = true;
    state->deadline = 0;
    leaveRelay(*p, link, s_.links.endpointOf(link), a->links[link]);
    a->links.erase(link);  // ours now; the other addresses go
    giveUp(id);
    qCDebug(lcSession) << "linked directly to" << id << "; no longer relayed";
    if (const Player* host = s_.roster.present(s_.roster.hostId); host && host->link != 0) {
        s_.links.send(host->link, net::msg::Linked{id});
    }
}

void PathUpgrades::onLinkLost(LinkId link) {
    Attempt* a = attemptOf(link);
    if (a == nullptr) {
        return;
    }
    a->links.erase(link);
    if (a->links.empty() && a->later.empty()) {
        giveUp(a->target);
    }
}

void PathUpgrades::giveUp(DPNID target) {
    const auto it = std::find_if(attempts_.begin(), attempts_.end(),
                                 [target](const Attempt& a) { return a.target == target; });
    if (it == attempts_.end()) {
        return;
    }
    const Attempt a = std::move(*it);
    attempts_.erase(it);
    for (const auto& [link, path] : a.links) {
        s_.drop(link, Drop::Now);
    }
}

void announceMapping(SessionContext& s) {
    Roster& r = s.roster;
    if (Player* self = r.present(r.localId)) {
        self->mappedIpv4 = r.mapped.ipv4;
        self->mappedPort = r.mapped.port;
    }
    s.broadcast(net::msg::Mapped{r.mapped.ipv4, r.mapped.port});
}

void PathUpgrades::mappingChanged() {
    if (s_.roster.inSession) {
        announceMapping(s_);
    }
}

void PathUpgrades::checkDeadline(qint64 now) {
    std::vector<DPNID> expired;
    for (Attempt& a : attempts_) {
        if (a.laterAt != 0 && now >= a.laterAt) {
            a.laterAt = 0;
            for (const Endpoint& at : std::exchange(a.later, {})) {
                tryAt(a, at);
            }
            s_.links.flush();
        }
        if (now > a.deadline || (a.links.empty() && a.later.empty())) {
            expired.push_back(a.target);
        }
    }
    for (DPNID id : expired) {
        giveUp(id);
    }
    if (!s_.roster.isHost()) {
        retries_.clear();
        legsAt_ = 0;
        return;
    }
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

qint64 PathUpgrades::deadline() const {
    qint64 due = 0;
    const auto by = [&due](qint64 t) {
        if (t != 0 && (due == 0 || t < due)) {
            due = t;
        }
    };
    for (const Attempt& a : attempts_) {
        by(a.laterAt);
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

void PathUpgrades::reset() {
    attempts_.clear();
    retries_.clear();
    legsAt_ = 0;
}

}  // namespace dx8
