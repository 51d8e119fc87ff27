#include "platform/dx8/play/relay.h"

#include <QtEndian>

namespace dx8 {

QByteArray wrapRelayed(DPNID id, const QByteArray& data) {
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian<uint32_t>(id, out.data());
    out.append(data);
    return out;
}

RelayRoute routeRelayed(const Roster& roster, const Link& from, const QByteArray& packet) {
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
            route.data = wrapRelayed(from.playerId, data);
        }
        return route;
    }
    if (from.playerId != roster.hostId) {
        return route;  // a player claiming to relay for another
    }
    const auto origin = roster.players.find(id);
    if (origin == roster.players.end() || origin->second.gone ||
        (origin->second.path != PathKind::Relayed && !origin->second.wasRelayed)) {
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
    if (!guaranteed || !to.wasRelayed || now >= to.relayGuaranteedUntil) {
        return 0;
    }
    const auto host = roster.players.find(roster.hostId);
    return host != roster.players.end() && !host->second.gone ? host->second.link : 0;
}

void leaveRelay(Player& p, LinkId link, Endpoint at, PathKind path) {
    p.link = link;
    p.path = path;
    p.ipv4 = at.ipv4;
    p.port = at.port;
    p.wasRelayed = true;
}

std::vector<DPNID> rehomeRelayed(Roster& roster) {
    std::vector<DPNID> unreachable;
    const auto host = roster.players.find(roster.hostId);
    const LinkId hostLink = host != roster.players.end() ? host->second.link : 0;
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

}  // namespace dx8
