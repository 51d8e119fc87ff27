#include "net/session/host_join.h"

#include <QRandomGenerator>
#include <algorithm>

#include "common/same_secret.h"
#include "common/shown_text.h"
#include "net/paths/address_text.h"
#include "net/links/link_timing.h"
#include "net/paths/nat_paths.h"
#include "net/trust/trust.h"

namespace dx8 {

namespace {

// A step of a join takes as long as the players' links need, never what the joiner's own link
// says: a joiner that answers slowly on purpose gains no time.
int stretchedBySession(SessionContext& s, int baseMs) {
    int slowest = kUnknownRoundTrip;
    for (const LinkId link : s.roster.linksExcept()) {
        slowest = std::max(slowest, s.links.roundTripMs(link));
    }
    return stretchedMs(baseMs, slowest);
}

uint64_t newToken() {
    return QRandomGenerator::system()->generate64();
}

}  // namespace

void HostJoin::refuse(LinkId link, HRESULT code) {
    s_.links.send(link, net::joinRefuse(code));
    s_.drop(link, Drop::AwaitClose);
}

bool HostJoin::passwordProven(LinkId link, Link& state, const net::msg::JoinRequest& m) {
    const Roster& r = s_.roster;
    // One who proved it was a player here was let in once already.
    if (r.password.isEmpty() || state.returnOf != 0) {
        return true;
    }
    if (state.challenge.isEmpty()) {
        state.challenge = newChallenge();
        s_.links.send(link, net::msg::JoinChallenge{state.challenge, r.desc.instance});
        return false;
    }
    if (!orvel::sameSecret(m.proof, passwordProof(r.password, state.challenge, r.desc.instance))) {
        refuse(link, DPNERR_INVALIDPASSWORD);
        return false;
    }
    return true;
}

void HostJoin::onRequest(LinkId link, const net::msg::JoinRequest& m) {
    const Roster& r = s_.roster;
    Link* state = s_.links.find(link);
    if (state == nullptr) {
        return;
    }
    if (!r.isHost()) {
        refuse(link, DPNERR_NOTHOST);
        return;
    }
    if (m.version != net::kProtocolVersion) {
        refuse(link, DPNERR_INVALIDAPPLICATION);
        return;
    }
    if (!m.application.isNull() && m.application != r.desc.application) {
        refuse(link, DPNERR_INVALIDAPPLICATION);
        return;
    }
    if (!m.instance.isNull() && m.instance != r.desc.instance) {
        refuse(link, DPNERR_INVALIDINSTANCE);
        return;
    }
    if (!passwordProven(link, *state, m)) {
        return;
    }
    state->kind = LinkKind::Joiner;
    state->challenge.clear();
    if (busyFrom(s_.links.endpointOf(link).ipv4) || joins_.size() >= kMaxPendingJoins) {
        if (queue_.size() >= kMaxQueuedJoins) {
            refuse(link, DPNERR_HOSTREJECTEDCONNECTION);
            return;
        }
        state->deadline = s_.now() + kConnectMs;
        queue_.push_back(QueuedJoin{link, m});
        return;
    }
    start(link, m);
}

bool HostJoin::busyFrom(uint32_t ip) const {
    return std::any_of(joins_.begin(), joins_.end(),
                       [ip](const PendingJoin& j) { return j.sourceIp == ip; });
}

QString HostJoin::uniqueName(const QString& wanted, DPNID forId) const {
    return dx8::uniqueName(orvel::playerName(wanted), [this, forId](const QString& name) {
        return s_.roster.nameTaken(name, forId) ||
               std::any_of(joins_.begin(), joins_.end(), [&](const PendingJoin& j) {
                   return j.id != forId && j.name.compare(name, Qt::CaseInsensitive) == 0;
               });
    });
}

void HostJoin::start(LinkId link, const net::msg::JoinRequest& m) {
    Roster& r = s_.roster;
    // A player coming back gets its own id and place in the join order again; a join of it
    // still under way from where it was before is over.
    const DPNID back = s_.links.find(link)->returnOf;
    if (back != 0 && joinOf(back) != nullptr) {
        abort(back, 0);
    }
    const int coming = static_cast<int>(joins_.size());
    if (r.desc.maxPlayers > 0 && r.activePlayers() + coming >= r.desc.maxPlayers) {
        refuse(link, DPNERR_SESSIONFULL);
        return;
    }
    const Endpoint joiner = s_.links.endpointOf(link);
    PendingJoin join;
    join.link = link;
    join.sourceIp = joiner.ipv4;
    if (back != 0) {
        join.id = back;
        join.seq = r.seqOf(back);
    } else {
        join.id = r.allocateId(join.seq);
    }
    join.name = uniqueName(m.name, join.id);
    join.lan = lanOf(m);
    join.mapped = mappedAt(mappedOf(m), joiner.ipv4, r.mapped.ipv4);
    join.started = s_.now();
    join.deadline = join.started + stretchedBySession(s_, kMeshWaitMs);
    Link* state = s_.links.find(link);
    state->playerId = join.id;
    state->deadline = 0;  // the join's own deadline times it now

    net::msg::JoinAccept accept;
    accept.playerId = join.id;
    accept.hostId = r.hostId;
    accept.seq = join.seq;
    accept.nextSeq = r.nextSeq;
    accept.idSalt = r.idSalt;
    accept.name = join.name;
    accept.desc = r.desc;
    for (const Player* p : r.presentInJoinOrder()) {
        if (p->link == 0) {  // the host itself: where the joiner reached it
            net::PlayerEntry e = entryOf(*p, {0, s_.links.localPort()});
            e.mappedIpv4 = r.mapped.ipv4;
            e.mappedPort = r.mapped.port;
            accept.players.push_back(std::move(e));
            continue;
        }
        // A token of this pair only: no other player can pass for the joiner with it.
        net::PlayerEntry e = entryOf(*p, s_.links.endpointOf(p->link));
        e.token = newToken();
        s_.links.send(p->link, net::expect(join.id, e.token, joiner.ipv4, joiner.port));
        join.told.insert(p->id);
        accept.players.push_back(std::move(e));
    }
    accept.observedIpv4 = joiner.ipv4;
    accept.observedPort = joiner.port;
    accept.relays = 1;
    s_.links.send(link, accept);
    joins_.push_back(std::move(join));
    s_.events.indicateConnect(hostUrl(joiner.ipv4, joiner.port));
}

HostJoin::PendingJoin* HostJoin::joinOn(LinkId link) {
    const auto it = std::find_if(joins_.begin(), joins_.end(),
                                 [link](const PendingJoin& j) { return j.link == link; });
    return it == joins_.end() ? nullptr : &*it;
}

HostJoin::PendingJoin* HostJoin::joinOf(DPNID id) {
    const auto it = std::find_if(joins_.begin(), joins_.end(),
                                 [id](const PendingJoin& j) { return j.id == id; });
    return it == joins_.end() ? nullptr : &*it;
}

void HostJoin::onControl(LinkId link, const net::ControlMessage& m) {
    PendingJoin* join = joinOn(link);
    if (join == nullptr || join->adding) {
        return;
    }
    if (const auto* ready = std::get_if<net::msg::JoinReady>(&m)) {
        // Only the players it was told of count, and each once.
        join->ready = true;
        join->reached.clear();
        join->relayed.clear();
        for (const auto& [list, relayed] :
             {std::pair{&ready->linked, false}, std::pair{&ready->relayed, true}}) {
            for (uint32_t id : *list) {
                if (join->told.count(id) != 0 && s_.roster.present(id) != nullptr) {
                    join->reached.insert(id);
                    if (relayed) {
                        join->relayed.insert(id);
                    }
                }
            }
        }
        addNext();
    } else if (std::holds_alternative<net::msg::JoinFail>(m)) {
        abort(join->id, 0);
    }
}

void HostJoin::addNext() {
    const auto linkedToAll = [this](const PendingJoin& j) {
        return std::all_of(j.told.begin(), j.told.end(), [&](DPNID id) {
            return j.reached.count(id) != 0 || s_.roster.present(id) == nullptr;
        });
    };
    if (std::any_of(joins_.begin(), joins_.end(), [](const PendingJoin& j) { return j.adding; })) {
        return;
    }
    const auto it = std::find_if(joins_.begin(), joins_.end(),
                                 [&](const PendingJoin& j) { return j.ready && linkedToAll(j); });
    if (it == joins_.end()) {
        return;
    }
    PendingJoin& join = *it;
    join.adding = true;
    join.deadline = s_.now() + stretchedBySession(s_, kAckWaitMs);
    Link* state = s_.links.find(join.link);
    state->kind = LinkKind::Player;
    state->deadline = 0;
    const Endpoint at = s_.links.endpointOf(join.link);
    s_.roster.players[join.id] =
        Player::linked(join.id, join.seq, join.name, join.link, at).saying(join.lan, join.mapped);
    s_.events.createPlayer(join.id);
    net::msg::PlayerAdded added{join.id,       join.seq,         join.name,        join.lan.ipv4,
                                join.lan.port, join.mapped.ipv4, join.mapped.port, 0};
    for (const auto& [pid, p] : s_.roster.players) {
        if (!p.gone && p.link != 0 && pid != join.id) {
            added.relayed = join.relayed.count(pid) != 0 ? 1 : 0;
            s_.links.send(p.link, added);
            join.awaitingAck.insert(pid);
        }
    }
    if (join.awaitingAck.empty()) {
        finish(join.id);
    }
}

void HostJoin::onAddedAck(DPNID from, DPNID id) {
    PendingJoin* join = joinOf(id);
    if (s_.roster.isHost() && join != nullptr && join->adding) {
        join->awaitingAck.erase(from);
        if (join->awaitingAck.empty()) {
            finish(id);
        }
    }
}

void HostJoin::finish(DPNID id) {
    PendingJoin* found = joinOf(id);
    if (found == nullptr) {
        return;
    }
    const PendingJoin join = std::move(*found);
    std::erase_if(joins_, [id](const PendingJoin& j) { return j.id == id; });
    s_.links.send(join.link, net::joinDone());
    // Only now: the new player takes a try at a direct link once it knows it is one.
    for (DPNID pid : join.relayed) {
        s_.roster.relayedPairs.insert(std::minmax(join.id, pid));
    }
    if (!join.relayed.empty()) {
        s_.broadcast(s_.roster.announcePaths());
    }
    introduce(join.id);
    next();
    addNext();
}

void HostJoin::introduce(DPNID id) {
    const Player* added = s_.roster.present(id);
    if (added == nullptr || added->link == 0) {
        return;
    }
    const Endpoint addedAt = s_.links.endpointOf(added->link);
    for (PendingJoin& join : joins_) {
        net::PlayerEntry e = entryOf(*added, addedAt);
        e.token = newToken();
        const Endpoint joinerAt = s_.links.endpointOf(join.link);
        s_.links.send(added->link, net::expect(join.id, e.token, joinerAt.ipv4, joinerAt.port));
        s_.links.send(join.link, net::msg::Reach{e});
        join.told.insert(id);
        // Time to link once more, but a join never lives longer than twice its first deadline.
        const qint64 wanted = s_.now() + stretchedBySession(s_, kMeshWaitMs / 2);
        join.deadline = std::min(std::max(join.deadline, wanted),
                                 join.started + 2 * stretchedBySession(s_, kMeshWaitMs));
    }
}

void HostJoin::abort(DPNID id, HRESULT refuseWith) {
    PendingJoin* found = joinOf(id);
    if (found == nullptr) {
        return;
    }
    const PendingJoin join = std::move(*found);
    std::erase_if(joins_, [id](const PendingJoin& j) { return j.id == id; });
    if (join.link != 0) {
        if (refuseWith != 0) {
            s_.links.send(join.link, net::joinRefuse(refuseWith));
        }
        s_.drop(join.link, Drop::AwaitClose);
    }
    // The players drop what they were told to expect.
    s_.broadcast(net::playerRemoved(join.id, DPNDESTROYPLAYERREASON_NORMAL));
    s_.events.indicatedConnectAborted();
    next();
    addNext();
}

void HostJoin::next() {
    for (auto it = queue_.begin(); it != queue_.end() && joins_.size() < kMaxPendingJoins;) {
        const Link* state = s_.links.find(it->link);
        if (state == nullptr || state->kind != LinkKind::Joiner) {
            it = queue_.erase(it);
        } else if (!busyFrom(s_.links.endpointOf(it->link).ipv4)) {
            const QueuedJoin queued = std::move(*it);
            queue_.erase(it);
            start(queued.link, queued.request);
            it = queue_.begin();
        } else {
            ++it;
        }
    }
}

void HostJoin::onLinkLost(LinkId link) {
    if (PendingJoin* join = joinOn(link)) {
        join->link = 0;
        abort(join->id, 0);
    }
    std::erase_if(queue_, [link](const QueuedJoin& q) { return q.link == link; });
}

void HostJoin::onPlayerRemoved(DPNID id, const net::ControlMessage& removed) {
    std::vector<DPNID> added;
    for (PendingJoin& join : joins_) {
        if (join.told.erase(id) > 0) {
            s_.links.send(join.link, removed);
        }
        join.reached.erase(id);
        if (join.adding && join.awaitingAck.erase(id) > 0 && join.awaitingAck.empty()) {
            added.push_back(join.id);
        }
    }
    for (DPNID joined : added) {
        finish(joined);
    }
    addNext();
}

void HostJoin::refuseExpired(LinkId link) {
    s_.links.send(link, net::joinRefuse(DPNERR_TIMEDOUT));
    std::erase_if(queue_, [link](const QueuedJoin& q) { return q.link == link; });
}

qint64 HostJoin::deadline() const {
    qint64 due = 0;
    for (const PendingJoin& j : joins_) {
        due = due == 0 ? j.deadline : std::min(due, j.deadline);
    }
    return due;
}

void HostJoin::checkDeadline(qint64 now) {
    std::vector<std::pair<DPNID, bool>> expired;
    for (const PendingJoin& j : joins_) {
        if (now > j.deadline) {
            expired.emplace_back(j.id, j.adding);
        }
    }
    for (const auto& [id, adding] : expired) {
        if (adding) {
            finish(id);
        } else {
            abort(id, DPNERR_PLAYERNOTREACHABLE);
        }
    }
}

void HostJoin::reset() {
    joins_.clear();
    queue_.clear();
}

}  // namespace dx8
