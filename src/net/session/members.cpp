#include "net/session/members.h"

#include <algorithm>

#include "net/paths/nat_paths.h"
#include "net/trust/trust.h"

namespace dx8 {

namespace {

int32_t removalReason(uint8_t wire) {
    return wire == DPNDESTROYPLAYERREASON_NORMAL ? DPNDESTROYPLAYERREASON_NORMAL
                                                 : DPNDESTROYPLAYERREASON_CONNECTIONLOST;
}

}  // namespace

void Members::onInfo(DPNID from, const net::msg::Info& m) {
    // A player asks the host for a name; everyone hears the one it gets, the asker too.
    Player* p = s_.roster.present(from);
    if (p == nullptr || !s_.roster.isHost()) {
        return;
    }
    const QString name = hostJoin_.uniqueName(m.name, from);
    if (name != p->name) {
        p->name = name;
        s_.events.infoNotify(from);
    }
    s_.broadcast(net::msg::NameOf{from, name});
}

void Members::rename(const QString& wanted) {
    Roster& r = s_.roster;
    Player* self = r.present(r.localId);
    if (!r.inSession || self == nullptr) {
        return;
    }
    if (!r.isHost()) {
        // Ours once the host has made it unique: until then two could show under one name.
        if (const LinkId host = r.hostLink(); host != 0) {
            s_.links.send(host, net::info(wanted));
        }
        return;
    }
    self->name = hostJoin_.uniqueName(wanted, r.localId);
    s_.broadcast(net::msg::NameOf{r.localId, self->name});
}

void Members::onNameOf(const net::msg::NameOf& m) {
    Player* p = s_.roster.present(m.playerId);
    if (p != nullptr && p->name != m.name) {
        p->name = m.name;
        s_.events.infoNotify(m.playerId);
    }
}

void Members::onTerminate(const net::msg::Terminate& m) {
    endSession(failureOr(m.result, DPNERR_HOSTTERMINATEDSESSION),
               DPNDESTROYPLAYERREASON_SESSIONTERMINATED);
}

void Members::onMapped(DPNID from, const net::msg::Mapped& m) {
    Player* p = s_.roster.present(from);
    if (p == nullptr || p->path == PathKind::Relayed) {
        return;
    }
    // Its router's address can only be where its own link comes from.
    const Endpoint mapped = mappedAt({m.ipv4, m.port}, p->seen.ipv4, s_.roster.mapped.ipv4);
    if (mapped == p->mapped) {
        return;
    }
    p->mapped = mapped;
    if (mapped.port != 0) {
        relay_.onMapped(from);
    }
}

void Members::mappingChanged(Endpoint mapped) {
    if (mapped == s_.roster.mapped) {
        return;
    }
    s_.roster.mapped = mapped;
    if (s_.roster.inSession) {
        announceMapping();
    }
}

void Members::announceMapping() {
    Roster& r = s_.roster;
    if (Player* self = r.present(r.localId)) {
        self->mapped = r.mapped;
    }
    s_.broadcast(net::msg::Mapped{r.mapped.ipv4, r.mapped.port});
}

void Members::onExpect(const net::msg::Expect& m) {
    s_.roster.expect(m.playerId, m.token, s_.now() + kExpectMs);
    // The joiner links to us at every address we have; a router in front of us lets it in only
    // once we have sent toward it. On a LAN this datagram is simply swallowed.
    s_.links.punch(m.ipv4, m.port);
    // The joiner's hello may have come first, and others naming it too: only its own proves it.
    std::vector<std::pair<LinkId, net::msg::MeshHello>> held;
    for (const auto& [link, state] : s_.links.all()) {
        if (state.kind == LinkKind::Unverified && state.hello &&
            state.hello->playerId == m.playerId) {
            held.emplace_back(link, *state.hello);
        }
    }
    for (const auto& [link, hello] : held) {
        onMeshHello(link, hello);
    }
}

void Members::onMeshHello(LinkId link, const net::msg::MeshHello& m) {
    Link* state = s_.links.find(link);
    if (state == nullptr) {
        return;
    }
    if (m.playerId == 0) {
        s_.drop(link, Drop::Now);
        return;
    }
    const Player* known = s_.roster.present(m.playerId);
    // A player already here may only come again to replace the host's relay, or once the host
    // has said it is gone (one cut off may be back before its old link has given up here).
    const bool relayed = known != nullptr && known->path == PathKind::Relayed;
    const std::optional<uint64_t> token =
        known == nullptr || relayed ? s_.roster.takeExpectation(m.playerId, m.proof) : std::nullopt;
    if (!token) {
        state->hello = m;  // wait for the host's word until the link's deadline
        return;
    }
    const net::ControlMessage ack = net::meshAck(pairProof(*token, ProofOf::Ack, m.playerId));
    if (relayed) {
        relay_.linkedFrom(link, *state, m.playerId, ack);
        return;
    }
    state->kind = LinkKind::MeshIn;
    state->playerId = m.playerId;
    state->hello.reset();
    state->deadline = s_.now() + kExpectMs;
    s_.links.send(link, ack);
}

void Members::onPlayerAdded(const net::msg::PlayerAdded& m) {
    Roster& r = s_.roster;
    LinkId link = s_.links.linkOf(LinkKind::MeshIn, m.playerId);
    if (link != 0 && m.relayed != 0) {
        s_.drop(link, Drop::Now);  // the joiner gave up on it; its data comes via the host
        link = 0;
    }
    if (link != 0) {
        Link* state = s_.links.find(link);
        state->kind = LinkKind::Player;
        state->deadline = 0;
        const Endpoint at = s_.links.endpointOf(link);
        r.players[m.playerId] =
            Player::linked(m.playerId, m.seq, m.name, link, at).saying(lanOf(m), mappedOf(m));
        r.nextSeq = std::max(r.nextSeq, m.seq + 1);
        s_.events.createPlayer(m.playerId);
    } else if (m.relayed != 0 && r.present(m.playerId) == nullptr) {
        if (const LinkId hostLink = r.hostLink(); hostLink != 0) {
            r.forgetExpectation(m.playerId);
            r.players[m.playerId] =
                Player::relayed(m.playerId, m.seq, m.name, hostLink).saying(lanOf(m), mappedOf(m));
            r.nextSeq = std::max(r.nextSeq, m.seq + 1);
            s_.events.createPlayer(m.playerId);
        }
    }
    if (const LinkId hostLink = r.hostLink(); hostLink != 0) {
        s_.links.send(hostLink, net::addedAck(m.playerId));
    }
}

void Members::onPlayerRemoved(DPNID from, const net::msg::PlayerRemoved& m) {
    Roster& r = s_.roster;
    if (from != r.hostId) {
        // Someone says the host is gone, and our own link to it has gone dark as well (the
        // rule that lets this through): follow the player next in line now rather than once
        // our link gives up.
        if (m.playerId == r.hostId) {
            removePlayer(r.hostId, removalReason(m.reason));
        }
        return;
    }
    if (m.playerId == r.localId) {
        endSession(DPNERR_CONNECTIONLOST, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
        return;
    }
    r.forgetExpectation(m.playerId);
    const LinkId meshIn = s_.links.linkOf(LinkKind::MeshIn, m.playerId);
    if (meshIn != 0) {
        s_.drop(meshIn, Drop::AwaitClose);
    }
    removePlayer(m.playerId, removalReason(m.reason));
}

void Members::destroyPlayer(DPNID id, int32_t reason) {
    Roster* roster = &s_.roster;
    const uint64_t generation = roster->generation;
    // The record stays readable (GetPeerInfo) until its DestroyPlayer has been delivered.
    s_.events.destroyPlayer(id, reason, [roster, id, generation] {
        if (roster->generation == generation) {
            const auto it = roster->players.find(id);
            if (it != roster->players.end() && it->second.gone) {
                roster->players.erase(it);
            }
        }
    });
}

void Members::removePlayer(DPNID id, int32_t reason) {
    Roster& r = s_.roster;
    const auto it = r.players.find(id);
    if (it == r.players.end() || it->second.gone || id == r.localId) {
        return;
    }
    if (id == r.hostId && !r.migrates()) {
        endSession(reason == DPNDESTROYPLAYERREASON_NORMAL ? DPNERR_HOSTTERMINATEDSESSION
                                                           : DPNERR_CONNECTIONLOST,
                   DPNDESTROYPLAYERREASON_SESSIONTERMINATED);
        return;
    }
    Player& p = it->second;
    p.gone = true;
    if (p.path == PathKind::Relayed) {
        p.link = 0;  // the host's link, not its own
    } else if (p.link != 0) {
        // One who leaves closes the link itself; one lost is not sent anything more.
        s_.drop(p.link,
                reason == DPNDESTROYPLAYERREASON_NORMAL ? Drop::AwaitClose : Drop::Silently);
        p.link = 0;
    }
    destroyPlayer(id, reason);
    if (r.isHost()) {
        const net::ControlMessage removed = net::playerRemoved(id, static_cast<uint8_t>(reason));
        s_.broadcast(removed);
        hostJoin_.onPlayerRemoved(id, removed);
        if (r.prunePairs()) {
            s_.broadcast(r.announcePaths());
        }
    }
    if (id == r.hostId) {
        hostGone(id, reason);
    }
}

void Members::hostGone(DPNID oldHost, int32_t reason) {
    Roster& r = s_.roster;
    const DPNID newHost = r.successorOf(oldHost);
    if (newHost == 0) {
        return;
    }
    r.hostId = newHost;
    qCDebug(lcSession) << "host role moves to" << newHost;
    s_.events.hostMigrate(newHost);
    if (newHost == r.localId) {
        // Players whose own link to the old host has gone dark too need not wait for it to give
        // up: tell them it is gone, ahead of anything else.
        s_.broadcast(net::playerRemoved(oldHost, static_cast<uint8_t>(reason)));
    }
    // Relayed data now goes through the new host; those it never linked to are lost to us, and
    // a new host we never linked to leaves us out of the session rather than split it.
    const std::vector<DPNID> lost = rehomeRelayed(r);
    if (std::find(lost.begin(), lost.end(), newHost) != lost.end()) {
        endSession(DPNERR_CONNECTIONLOST, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
        return;
    }
    for (DPNID id : lost) {
        removePlayer(id, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
    }
    if (newHost == r.localId && (r.prunePairs() || !r.relayedPairs.empty())) {
        s_.broadcast(r.announcePaths());  // we relay for them now, and say who would follow us
    }
}

void Members::endSession(HRESULT result, int32_t reason) {
    s_.events.terminateSession(result);
    for (const Player* p : s_.roster.presentInJoinOrder()) {
        destroyPlayer(p->id, reason);
    }
    s_.leave();
}

}  // namespace dx8
