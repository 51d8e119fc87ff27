#include "platform/dx8/play/host_join.h"

#include <QRandomGenerator>
#include <algorithm>

#include "platform/dx8/play/address_text.h"
#include "platform/dx8/play/link_timing.h"
#include "platform/dx8/play/nat_paths.h"

namespace dx8 {

void HostJoin::refuse(LinkId link, HRESULT code) {
    s_.links.send(link, net::joinRefuse(code));
    s_.drop(link, Drop::AwaitClose);
}

void HostJoin::onRequest(LinkId link, const net::msg::JoinRequest& m) {
    const Roster& r = s_.roster;
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
    if (!r.password.isEmpty() && m.password != r.password) {
        refuse(link, DPNERR_INVALIDPASSWORD);
        return;
    }
    Link* state = s_.links.find(link);
    if (state == nullptr) {
        return;
    }
    state->kind = LinkKind::Joiner;
    if (join_) {
        if (queue_.size() >= kMaxQueuedJoins) {
            refuse(link, DPNERR_HOSTREJECTEDCONNECTION);
            return;
        }
        state->deadline = s_.now() + stretchedMs(kConnectMs, s_.links.roundTripMs(link));
        queue_.push_back(QueuedJoin{link, m});
        return;
    }
    start(link, m);
}

void HostJoin::start(LinkId link, const net::msg::JoinRequest& m) {
    Roster& r = s_.roster;
    if (r.desc.maxPlayers > 0 && r.activePlayers() >= r.desc.maxPlayers) {
        refuse(link, DPNERR_SESSIONFULL);
        next();
        return;
    }
    PendingJoin join;
    join.link = link;
    join.id = r.allocateId(join.seq);
    join.name = m.name;
    join.lan = lanOf(m);
    join.mapped = mappedOf(m);
    join.deadline = s_.now() + stretchedMs(kMeshWaitMs, s_.links.roundTripMs(link));
    const uint64_t token = QRandomGenerator::system()->generate64();
    Link* state = s_.links.find(link);
    state->playerId = join.id;
    state->deadline = 0;  // the join's own deadline times it now

    net::msg::JoinAccept accept;
    accept.playerId = join.id;
    accept.hostId = r.hostId;
    accept.seq = join.seq;
    accept.nextSeq = r.nextSeq;
    accept.idSalt = r.idSalt;
    accept.token = token;
    accept.desc = r.desc;
    for (const Player* p : r.presentInJoinOrder()) {
        if (p->link != 0) {
            accept.players.push_back(entryOf(*p, s_.links.endpointOf(p->link)));
        } else {  // the host itself: where the joiner reached it
            net::PlayerEntry e = entryOf(*p, {0, s_.links.localPort()});
            e.mappedIpv4 = r.mapped.ipv4;
            e.mappedPort = r.mapped.port;
            accept.players.push_back(std::move(e));
        }
    }
    const Endpoint joiner = s_.links.endpointOf(link);
    accept.observedIpv4 = joiner.ipv4;
    accept.observedPort = joiner.port;
    accept.relays = 1;
    s_.links.send(link, accept);

    s_.broadcast(net::expect(join.id, token, joiner.ipv4, joiner.port));
    join_ = std::move(join);
    s_.events.indicateConnect(hostUrl(joiner.ipv4, joiner.port));
}

void HostJoin::onControl(LinkId link, const net::ControlMessage& m) {
    if (!join_ || join_->link != link) {
        return;
    }
    if (const auto* ready = std::get_if<net::msg::JoinReady>(&m)) {
        join_->relayed.clear();
        for (uint32_t id : ready->relayed) {
            if (id != s_.roster.localId && s_.roster.present(id) != nullptr) {
                join_->relayed.insert(id);
            }
        }
        this->ready(link);
    } else if (std::holds_alternative<net::msg::JoinFail>(m)) {
        abort(0);
    }
}

void HostJoin::ready(LinkId link) {
    if (!join_ || join_->adding) {
        return;
    }
    PendingJoin& join = *join_;
    join.adding = true;
    join.deadline = s_.now() + stretchedMs(kAckWaitMs, s_.links.roundTripMs(link));
    Link* state = s_.links.find(link);
    state->kind = LinkKind::Player;
    state->deadline = 0;
    const Endpoint at = s_.links.endpointOf(link);
    s_.roster.players[join.id] =
        Player::linked(join.id, join.seq, join.name, link, at).saying(join.lan, join.mapped);
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
        finish();
    }
}

void HostJoin::onAddedAck(DPNID from, DPNID id) {
    if (s_.roster.isHost() && join_ && join_->adding && id == join_->id) {
        join_->awaitingAck.erase(from);
        if (join_->awaitingAck.empty()) {
            finish();
        }
    }
}

void HostJoin::finish() {
    if (!join_) {
        return;
    }
    s_.links.send(join_->link, net::joinDone());
    const PendingJoin join = std::move(*join_);
    join_.reset();
    // Only now: the new player takes a try at a direct link once it knows it is one.
    for (DPNID pid : join.relayed) {
        s_.roster.relayedPairs.insert(std::minmax(join.id, pid));
    }
    if (!join.relayed.empty()) {
        s_.broadcast(s_.roster.announcePaths());
    }
    next();
}

void HostJoin::abort(HRESULT refuseWith) {
    if (!join_) {
        return;
    }
    const PendingJoin join = std::move(*join_);
    join_.reset();
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
}

void HostJoin::next() {
    while (!join_ && !queue_.empty()) {
        QueuedJoin queued = std::move(queue_.front());
        queue_.pop_front();
        const Link* state = s_.links.find(queued.link);
        if (state != nullptr && state->kind == LinkKind::Joiner) {
            start(queued.link, queued.request);
        }
    }
}

void HostJoin::onLinkLost(LinkId link) {
    if (join_ && join_->link == link) {
        join_->link = 0;
        abort(0);
    }
    std::erase_if(queue_, [link](const QueuedJoin& q) { return q.link == link; });
}

void HostJoin::onPlayerRemoved(DPNID id, const net::ControlMessage& removed) {
    if (!join_) {
        return;
    }
    s_.links.send(join_->link, removed);
    join_->awaitingAck.erase(id);
    if (join_->adding && join_->awaitingAck.empty()) {
        finish();
    }
}

void HostJoin::refuseExpired(LinkId link) {
    s_.links.send(link, net::joinRefuse(DPNERR_TIMEDOUT));
    std::erase_if(queue_, [link](const QueuedJoin& q) { return q.link == link; });
}

void HostJoin::checkDeadline(qint64 now) {
    if (join_ && now > join_->deadline) {
        if (join_->adding) {
            finish();
        } else {
            abort(DPNERR_PLAYERNOTREACHABLE);
        }
    }
}

void HostJoin::reset() {
    join_.reset();
    queue_.clear();
}

}  // namespace dx8
