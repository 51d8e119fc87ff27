#include "net/session/joiner.h"

#include <algorithm>
#include <utility>

#include "net/links/link_timing.h"
#include "net/session/members.h"
#include "net/paths/nat_paths.h"
#include "net/paths/relay.h"
#include "net/trust/trust.h"

namespace dx8 {

namespace {

constexpr size_t kMaxEarlyData = 256;

}  // namespace

void Joiner::begin(DPNHANDLE handle, LinkId hostLink, uint32_t hostIp,
                   net::msg::JoinRequest request, QString password, bool sync,
                   std::optional<ReturnJoin> back) {
    Link link;
    link.kind = LinkKind::ToHost;
    s_.links.add(hostLink, link);
    Op op;
    op.handle = handle;
    op.hostLink = hostLink;
    op.hostIp = hostIp;
    op.request = std::move(request);
    op.password = std::move(password);
    op.started = s_.now();
    op.sync = sync;
    op.back = std::move(back);
    op_ = std::move(op);
    syncResult.reset();
}

JoinProgress Joiner::progress() const {
    using Step = JoinProgress::Step;
    JoinProgress p;
    if (!op_) {
        return p;
    }
    if (!op_->accept) {
        const auto host = s_.links.all().find(op_->hostLink);
        p.step = host != s_.links.all().end() && host->second.connected ? Step::Asking
                                                                        : Step::ReachingHost;
        return p;
    }
    const auto& listed = op_->accept->players;
    p.players = static_cast<int>(
        std::count_if(listed.begin(), listed.end(),
                      [this](const net::PlayerEntry& e) { return e.id != op_->accept->hostId; }));
    p.linked = std::max(0, p.players - static_cast<int>(op_->meshPending.size()));
    p.step = op_->meshPending.empty() ? Step::Finishing : Step::Linking;
    return p;
}

void Joiner::onLinkUp(LinkId link, const Link& state) {
    if (!op_) {
        return;
    }
    if (state.kind == LinkKind::ToHost) {
        if (op_->back) {
            s_.links.send(link, op_->back->claim);
        } else {
            s_.links.send(link, op_->request);
        }
    } else if (const auto a = op_->attempts.find(state.playerId); a != op_->attempts.end()) {
        a->second.greet(link);
    }
}

void Joiner::onControl(LinkId link, Link& state, const net::ControlMessage& m) {
    if (!op_) {
        return;
    }
    if (state.kind == LinkKind::MeshOut) {
        const auto* ack = std::get_if<net::msg::MeshAck>(&m);
        const auto a = op_->attempts.find(state.playerId);
        // Whoever answers at an address is the player only when it proves our pair's token.
        if (ack != nullptr && !state.acked && a != op_->attempts.end() && a->second.proven(*ack)) {
            state.acked = true;
            const DPNID id = state.playerId;
            a->second.keep(link);  // the player's other addresses are not needed
            op_->linked.insert(id);
            meshLinkReady(id);
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
    } else if (const auto* challenge = std::get_if<net::msg::JoinChallenge>(&m)) {
        onChallenge(*challenge);
    } else if (const auto* reach = std::get_if<net::msg::Reach>(&m)) {
        onReach(reach->player);
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
    // One who comes back is given back its own id, or nothing, by the player it proved itself
    // to: any other answer did not come from where the proof went.
    const bool otherId =
        op.back && (m.playerId != op.back->claim.playerId || m.hostId != op.back->to);
    if (m.playerId == 0 || m.hostId == 0 || !listed(m.hostId) || listed(m.playerId) || otherId) {
        fail(DPNERR_GENERIC);
        return;
    }
    op.accept = m;
    op.relayAt = s_.now() + kDirectWaitMs;
    Roster& r = s_.roster;
    r.observed = {m.observedIpv4, m.observedPort};
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
        if (!linkTo(e)) {
            fail(DPNERR_PLAYERNOTREACHABLE);
            return;
        }
        op.meshPending.insert(e.id);
    }
    s_.links.flush();
    meshLinkReady(0);
}

void Joiner::onReach(const net::PlayerEntry& e) {
    // A player that became one while we joined: we link to it too.
    if (!op_->accept || op_->accept->players.size() >= net::kMaxPlayersListed) {
        return;
    }
    std::vector<net::PlayerEntry>& listed = op_->accept->players;
    const bool known = std::any_of(listed.begin(), listed.end(),
                                   [&e](const net::PlayerEntry& p) { return p.id == e.id; });
    if (!known && linkTo(e)) {
        listed.push_back(e);
        op_->meshPending.insert(e.id);
        op_->relayAt = std::max(op_->relayAt, s_.now() + kDirectWaitMs);
        s_.links.flush();
    }
}

bool Joiner::linkTo(const net::PlayerEntry& e) {
    Op& op = *op_;
    if (e.id == 0 || e.id == op.accept->playerId || e.id == op.accept->hostId ||
        op.attempts.count(e.id) != 0) {
        return false;
    }
    // Every address at once: the first to answer wins, so a LAN join takes no longer.
    LinkAttempt attempt(s_, e, op.hostIp, op.accept->observedIpv4, LinkKind::MeshOut);
    const bool trying = attempt.start();
    op.attempts.insert_or_assign(e.id, std::move(attempt));
    return trying;
}

void Joiner::onChallenge(const net::msg::JoinChallenge& m) {
    Op& op = *op_;
    if (op.accept || !(op.back ? op.back->claim.proof : op.request.proof).isEmpty()) {
        return;  // one answer; a wrong one is refused by the host
    }
    if (op.back) {
        // The host asks who we were: the proof, then the request.
        op.back->claim.proof = op.back->prove(m.challenge, m.instance);
        s_.links.send(op.hostLink, op.back->claim);
    } else {
        op.request.proof = passwordProof(op.password, m.challenge, m.instance);
    }
    s_.links.send(op.hostLink, op.request);
}

void Joiner::onPlayerRemoved(const net::msg::PlayerRemoved& m) {
    if (!op_->accept || m.playerId == op_->accept->hostId) {
        return;
    }
    std::erase_if(op_->accept->players,
                  [&m](const net::PlayerEntry& e) { return e.id == m.playerId; });
    dropAttempt(m.playerId,
                m.reason == DPNDESTROYPLAYERREASON_NORMAL ? Drop::AwaitClose : Drop::Silently);
    op_->relayed.erase(m.playerId);
    op_->linked.erase(m.playerId);
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
        net::msg::JoinReady ready;
        ready.linked.assign(op_->linked.begin(), op_->linked.end());
        ready.relayed.assign(op_->relayed.begin(), op_->relayed.end());
        s_.links.send(op_->hostLink, ready);
    }
}

bool Joiner::relay(DPNID id) {
    if (!op_ || !op_->accept || op_->accept->relays == 0 || op_->hostLink == 0) {
        return false;
    }
    // Only a router between us explains a player the host reaches and we do not; on one
    // network such a player is unreachable, and the join fails as it always has.
    const net::msg::JoinAccept& a = *op_->accept;
    const auto entry = std::find_if(a.players.begin(), a.players.end(),
                                    [id](const net::PlayerEntry& e) { return e.id == id; });
    const bool theyAreBehindARouter =
        entry != a.players.end() && entry->lanIpv4 != 0 && entry->lanIpv4 != entry->ipv4;
    const bool weAreBehindARouter =
        op_->request.lanIpv4 != 0 && a.observedIpv4 != 0 && op_->request.lanIpv4 != a.observedIpv4;
    if (!theyAreBehindARouter && !weAreBehindARouter) {
        return false;
    }
    qCDebug(lcSession) << "no direct link to" << id << "; the host relays";
    dropAttempt(id, Drop::Now);
    op_->relayed.insert(id);
    return true;
}

qint64 Joiner::deadline() const {
    if (!op_) {
        return 0;
    }
    qint64 due = joinDue();
    if (op_->accept && !op_->meshPending.empty() && op_->accept->relays != 0 && op_->relayAt != 0) {
        due = std::min(due, op_->relayAt);
    }
    for (const auto& [id, attempt] : op_->attempts) {
        if (attempt.deadline() != 0) {
            due = std::min(due, attempt.deadline());
        }
    }
    return due;
}

void Joiner::dropAttempt(DPNID id, Drop how) {
    const auto it = op_->attempts.find(id);
    if (it != op_->attempts.end()) {
        it->second.drop(how);
        op_->attempts.erase(it);
    }
}

void Joiner::done() {
    Op op = std::move(*op_);
    op_.reset();
    Roster& r = s_.roster;
    r.inSession = true;
    std::map<DPNID, Player> before = std::exchange(r.players, {});
    // Under the name the host made unique for us.
    r.players[r.localId] =
        Player::self(r.localId, r.localSeq, op.accept->name, s_.links.localPort());
    std::vector<DPNID> order;
    for (const net::PlayerEntry& e : op.accept->players) {
        // Our link to it: the one to the host, or the one it answered on.
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
        const auto attempt = op.attempts.find(e.id);
        if (found == 0 && op.relayed.count(e.id) != 0 && s_.links.has(op.hostLink)) {
            r.players[e.id] =
                Player::relayed(e.id, e.seq, e.name, op.hostLink).saying(lanOf(e), mappedOf(e));
            order.push_back(e.id);
            continue;
        }
        if (found == 0) {
            continue;
        }
        const PathKind path =
            attempt != op.attempts.end() ? attempt->second.pathOf(found) : PathKind::Direct;
        r.players[e.id] =
            Player::linked(e.id, e.seq, e.name, found, s_.links.endpointOf(found), path)
                .saying(lanOf(e), mappedOf(e));
        order.push_back(e.id);
    }
    if (op.back) {
        op.back->done(std::move(before), order);
    } else {
        s_.events.createPlayer(r.localId);
        for (DPNID id : order) {  // the host lists them in join order
            s_.events.createPlayer(id);
        }
        s_.events.connectComplete(op.handle, DPN_OK);
    }
    if (r.mapped != mappedOf(op.request)) {
        members_.announceMapping();  // our router answered while we joined
    }
    for (const auto& [from, data] : op.earlyData) {
        if (r.players.count(from) != 0) {
            s_.events.receive(from, data);
        }
    }
    if (op.sync) {
        syncResult = DPN_OK;
    }
    if (joined) {
        joined();
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
    if (op.back) {
        // Only this try ends: the session we come back to, and our port, stay.
        for (auto& [id, attempt] : op.attempts) {
            attempt.drop(Drop::Now);
        }
        const Link* host = s_.links.find(op.hostLink);
        s_.drop(op.hostLink, op.accept                            ? Drop::AwaitClose
                             : host != nullptr && host->connected ? Drop::Now
                                                                  : Drop::Silently);
        op.back->failed(result);
        return;
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

void Joiner::onLinkLost(LinkId link, const Link& state) {
    if (!op_) {
        return;
    }
    if (state.kind == LinkKind::ToHost) {
        op_->hostLink = 0;
        fail(state.connected ? DPNERR_CONNECTIONLOST : DPNERR_NORESPONSE);
    } else if (state.kind == LinkKind::MeshOut) {
        // One address of several failing says nothing yet.
        const auto attempt = op_->attempts.find(state.playerId);
        if (attempt != op_->attempts.end()) {
            attempt->second.lost(link);
        }
        const bool exhausted = attempt == op_->attempts.end() || attempt->second.exhausted();
        if (state.acked || exhausted) {
            if (!state.acked && relay(state.playerId)) {
                meshLinkReady(state.playerId);
            } else {
                fail(DPNERR_PLAYERNOTREACHABLE);
            }
        }
    }
}

void Joiner::holdData(const Link& state, const QByteArray& data) {
    if (op_ && op_->accept && op_->earlyData.size() < kMaxEarlyData) {
        op_->earlyData.emplace_back(state.playerId, data);
    }
}

qint64 Joiner::joinDue() const {
    // The host link's round trip, once measured, stretches the time the join may take.
    return op_->started + stretchedMs(kConnectMs, s_.links.roundTripMs(op_->hostLink));
}

void Joiner::checkDeadline(qint64 now) {
    if (op_) {
        bool tried = false;
        for (auto& [id, attempt] : op_->attempts) {
            tried = tried || (attempt.deadline() != 0 && now >= attempt.deadline());
            attempt.checkDeadline(now);
        }
        if (tried) {
            s_.links.flush();
        }
    }
    if (op_ && op_->accept && op_->relayAt != 0 && now > op_->relayAt) {
        op_->relayAt = 0;  // once: those not relayed now wait for the join's own deadline
        const std::set<DPNID> waiting = op_->meshPending;
        bool relayed = false;
        for (DPNID id : waiting) {
            if (relay(id)) {
                op_->meshPending.erase(id);
                relayed = true;
            }
        }
        if (relayed) {
            meshLinkReady(0);
            return;
        }
    }
    if (op_ && now > joinDue()) {
        const HRESULT why = op_->accept ? DPNERR_PLAYERNOTREACHABLE : DPNERR_NORESPONSE;
        qCWarning(lcSession) << "join timed out"
                             << (op_->accept ? "linking to the players" : "waiting for the host");
        fail(why);
    }
}

}  // namespace dx8
