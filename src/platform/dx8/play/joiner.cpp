#include "platform/dx8/play/joiner.h"

#include <algorithm>

#include "platform/dx8/play/link_timing.h"

namespace dx8 {

namespace {

constexpr size_t kMaxEarlyData = 256;

bool isLoopback(uint32_t ip) {
    return (ip >> 24) == 127;
}

}  // namespace

void Joiner::begin(DPNHANDLE handle, LinkId hostLink, uint32_t hostIp,
                   net::msg::JoinRequest request, bool sync) {
    Link link;
    link.kind = LinkKind::ToHost;
    s_.links.add(hostLink, link);
    Op op;
    op.handle = handle;
    op.hostLink = hostLink;
    op.hostIp = hostIp;
    op.request = std::move(request);
    op.started = s_.now();
    op.sync = sync;
    op_ = std::move(op);
    syncResult.reset();
}

void Joiner::onLinkUp(LinkId link, const Link& state) {
    if (!op_) {
        return;
    }
    if (state.kind == LinkKind::ToHost) {
        s_.links.send(link, op_->request);
    } else if (state.kind == LinkKind::MeshOut && op_->accept) {
        s_.links.send(link, net::meshHello(s_.roster.localId, op_->accept->token));
    }
}

void Joiner::onControl(LinkId link, Link& state, const net::ControlMessage& m) {
    Q_UNUSED(link);
    if (!op_) {
        return;
    }
    if (state.kind == LinkKind::MeshOut) {
        if (std::holds_alternative<net::msg::MeshAck>(m) && !state.acked) {
            state.acked = true;
            meshLinkReady(state.playerId);
        }
        return;
    }
    // The link to the host.
    if (const auto* refuse = std::get_if<net::msg::JoinRefuse>(&m)) {
        fail(failureOr(refuse->result, DPNERR_HOSTREJECTEDCONNECTION));
    } else if (const auto* accept = std::get_if<net::msg::JoinAccept>(&m)) {
        if (!op_->accept) {
            onAccept(*accept);
        }
    } else if (std::holds_alternative<net::msg::JoinDone>(m)) {
        if (op_->accept && op_->meshPending.empty()) {
            done();
        }
    } else if (const auto* removed = std::get_if<net::msg::PlayerRemoved>(&m)) {
        onPlayerRemoved(*removed);
    } else if (std::holds_alternative<net::msg::Terminate>(m)) {
        fail(DPNERR_HOSTTERMINATEDSESSION);
    }
}

void Joiner::onAccept(const net::msg::JoinAccept& m) {
    Op& op = *op_;
    const auto listed = [&m](DPNID id) {
        return std::any_of(m.players.begin(), m.players.end(),
                           [id](const net::PlayerEntry& e) { return e.id == id; });
    };
    if (m.playerId == 0 || m.hostId == 0 || !listed(m.hostId) || listed(m.playerId)) {
        fail(DPNERR_GENERIC);
        return;
    }
    op.accept = m;
    Roster& r = s_.roster;
    r.localId = m.playerId;
    r.hostId = m.hostId;
    r.localSeq = m.seq;
    r.nextSeq = m.nextSeq;
    r.idSalt = m.idSalt;
    r.desc = m.desc;
    if (Link* host = s_.links.find(op.hostLink)) {
        host->playerId = m.hostId;
    }
    for (const net::PlayerEntry& e : m.players) {
        if (e.id == m.hostId) {
            continue;
        }
        // A player the host reaches over its own loopback lives on the host's machine.
        uint32_t ip = e.ipv4;
        if (ip == 0 || (isLoopback(ip) && !isLoopback(op.hostIp))) {
            ip = op.hostIp;
        }
        const LinkId link = s_.links.connectTo(ip, e.port);
        if (link == 0) {
            fail(DPNERR_PLAYERNOTREACHABLE);
            return;
        }
        Link state;
        state.kind = LinkKind::MeshOut;
        state.playerId = e.id;
        s_.links.add(link, state);
        op.meshPending.insert(e.id);
    }
    s_.links.flush();
    meshLinkReady(0);
}

void Joiner::onPlayerRemoved(const net::msg::PlayerRemoved& m) {
    if (!op_->accept || m.playerId == op_->accept->hostId) {
        return;
    }
    std::erase_if(op_->accept->players,
                  [&m](const net::PlayerEntry& e) { return e.id == m.playerId; });
    const LinkId link = s_.links.linkOf(LinkKind::MeshOut, m.playerId);
    if (link != 0) {
        s_.drop(link,
                m.reason == DPNDESTROYPLAYERREASON_NORMAL ? Drop::AwaitClose : Drop::Silently);
    }
    if (op_->meshPending.erase(m.playerId) > 0) {
        meshLinkReady(0);
    }
}

void Joiner::meshLinkReady(DPNID id) {
    if (!op_ || !op_->accept) {
        return;
    }
    op_->meshPending.erase(id);
    if (op_->meshPending.empty()) {
        s_.links.send(op_->hostLink, net::joinReady());
    }
}

void Joiner::done() {
    Op op = std::move(*op_);
    op_.reset();
    Roster& r = s_.roster;
    r.inSession = true;
    r.players.clear();
    r.players[r.localId] =
        Player{r.localId, r.localSeq, r.localName, 0, false, 0, s_.links.localPort()};
    std::vector<DPNID> order;
    for (const net::PlayerEntry& e : op.accept->players) {
        LinkId found = 0;
        for (auto& [link, state] : s_.links.all()) {
            if ((state.kind == LinkKind::ToHost || state.kind == LinkKind::MeshOut) &&
                state.playerId == e.id) {
                found = link;
                state.kind = LinkKind::Player;
                state.deadline = 0;
                break;
            }
        }
        if (found == 0) {
            continue;
        }
        const Endpoint at = s_.links.endpointOf(found);
        r.players[e.id] = Player{e.id, e.seq, e.name, found, false, at.ipv4, at.port};
        order.push_back(e.id);
    }
    s_.events.createPlayer(r.localId);
    for (DPNID id : order) {  // the host lists them in join order
        s_.events.createPlayer(id);
    }
    s_.events.connectComplete(op.handle, DPN_OK);
    for (const auto& [from, data] : op.earlyData) {
        if (r.players.count(from) != 0) {
            s_.events.receive(from, data);
        }
    }
    if (op.sync) {
        syncResult = DPN_OK;
    }
}

void Joiner::fail(HRESULT result) {
    if (!op_) {
        return;
    }
    Op op = std::move(*op_);
    op_.reset();
    if (op.accept && op.hostLink != 0 && s_.links.has(op.hostLink)) {
        s_.links.send(op.hostLink, net::joinFail(result));
    }
    s_.leave();
    qCDebug(lcSession) << "connect failed with" << hresultHex(result);
    if (op.sync) {
        syncResult = result;
    }
    s_.events.connectComplete(op.handle, result);
}

void Joiner::abandon() {
    if (op_ && op_->sync) {
        syncResult = DPNERR_USERCANCEL;
    }
    op_.reset();
}

void Joiner::onLinkLost(const Link& state) {
    if (!op_) {
        return;
    }
    if (state.kind == LinkKind::ToHost) {
        op_->hostLink = 0;
        fail(state.connected ? DPNERR_CONNECTIONLOST : DPNERR_NORESPONSE);
    } else if (state.kind == LinkKind::MeshOut) {
        fail(DPNERR_PLAYERNOTREACHABLE);
    }
}

void Joiner::holdData(const Link& state, const QByteArray& data) {
    if (op_ && op_->accept && op_->earlyData.size() < kMaxEarlyData) {
        op_->earlyData.emplace_back(state.playerId, data);
    }
}

qint64 Joiner::deadline() const {
    if (!op_) {
        return 0;
    }
    // The host link's round trip, once measured, stretches the time the join may take.
    return op_->started + stretchedMs(kConnectMs, s_.links.roundTripMs(op_->hostLink));
}

void Joiner::checkDeadline(qint64 now) {
    if (op_ && now > deadline()) {
        const HRESULT why = op_->accept ? DPNERR_PLAYERNOTREACHABLE : DPNERR_NORESPONSE;
        qCWarning(lcSession) << "join timed out" << (op_->accept ? "linking to the players"
                                                                 : "waiting for the host");
        fail(why);
    }
}

}  // namespace dx8
