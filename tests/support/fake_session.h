#pragma once
// One player's session roles in one process, over a link table that records what would go on
// the wire instead of sending it, on a clock the test moves.

#include <QCoreApplication>
#include <QUuid>
#include <map>
#include <string>
#include <vector>

#include "event_log.h"
#include "net/session/session_roles.h"
#include "net/trust/trust.h"

namespace orvel::testing {

constexpr uint32_t kLoopbackIp = 0x7F000001u;
constexpr uint32_t kRouterIp = 0x28282814u;  // a player's home router on the internet
constexpr uint32_t kLanIp = 0xC0A80A05u;     // that player inside its home

inline const QUuid kTestApp(QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}"));

class FakeLinks : public dx8::LinkTable {
public:
    struct Sent {
        dx8::LinkId link;
        dx8::net::ControlMessage m;
    };
    void send(dx8::LinkId link, const dx8::net::ControlMessage& m) override {
        if (link != 0) {
            sent.push_back({link, m});
        }
    }
    bool sendData(const std::vector<dx8::LinkId>& links, const QByteArray& bytes, int32_t,
                  uint8_t) override {
        for (dx8::LinkId link : links) {
            data.push_back({link, bytes});
        }
        return !links.empty();
    }
    dx8::LinkId connectTo(uint32_t ipv4, uint16_t port) override {
        endpoints[next_] = {ipv4, port};
        return next_++;
    }
    dx8::Endpoint endpointOf(dx8::LinkId link) const override {
        const auto it = endpoints.find(link);
        return it == endpoints.end() ? dx8::Endpoint{} : it->second;
    }
    uint16_t localPort() const override { return 2302; }
    qint64 silentMs(dx8::LinkId link) const override {
        const auto it = silent.find(link);
        return it == silent.end() ? 0 : it->second;
    }
    int roundTripMs(dx8::LinkId link) const override {
        const auto it = rtts.find(link);
        return it == rtts.end() ? dx8::kUnknownRoundTrip : it->second;
    }
    void punch(uint32_t ipv4, uint16_t port) override { punches.push_back({ipv4, port}); }
    void sendDatagram(dx8::Endpoint to, const QByteArray& bytes) override {
        datagrams.push_back({to, bytes});
    }

    // Someone connects to us from this address.
    dx8::LinkId arrive(uint16_t port, uint32_t ipv4 = kLoopbackIp) {
        const dx8::LinkId link = connectTo(ipv4, port);
        dx8::Link state;
        state.connected = true;
        add(link, state);
        return link;
    }
    // The messages of one type sent over one link (any link when 0).
    template <typename T>
    std::vector<T> sentOn(dx8::LinkId link = 0) const {
        std::vector<T> out;
        for (const Sent& s : sent) {
            if ((link == 0 || s.link == link) && std::holds_alternative<T>(s.m)) {
                out.push_back(std::get<T>(s.m));
            }
        }
        return out;
    }
    // The links we opened toward this player that wait for its answer.
    std::vector<dx8::LinkId> linksTo(dx8::DPNID id) const {
        std::vector<dx8::LinkId> out;
        for (const auto& [link, state] : links_) {
            if ((state.kind == dx8::LinkKind::MeshOut || state.kind == dx8::LinkKind::OffRelay) &&
                state.playerId == id) {
                out.push_back(link);
            }
        }
        return out;
    }

    std::vector<Sent> sent;
    std::vector<std::pair<dx8::LinkId, QByteArray>> data;
    std::map<dx8::LinkId, qint64> silent;  // how long each link has heard nothing
    std::vector<dx8::Endpoint> punches;
    std::vector<std::pair<dx8::Endpoint, QByteArray>> datagrams;  // the meeting point's
    std::map<dx8::LinkId, dx8::Endpoint> endpoints;
    std::map<dx8::LinkId, int> rtts;
    std::vector<dx8::LinkId> closed;

protected:
    void closeNow(dx8::LinkId link) override { closed.push_back(link); }
    void forget(dx8::LinkId link) override { closed.push_back(link); }

private:
    dx8::LinkId next_ = 100;
};

struct FakeSession {
    FakeLinks links;
    dx8::SessionEvents events;
    EventLog log;
    qint64 clock = 1000;
    int leaves = 0;
    dx8::SessionRoles roles{links, events, [this] { return clock; }, [this] { ++leaves; }};
    dx8::Roster& roster = roles.roster();
    dx8::HostJoin& hostJoin = roles.hostJoin();
    dx8::Joiner& joiner = roles.joiner();
    dx8::Members& members = roles.members();
    dx8::Relay& relay = roles.relay();
    dx8::LinkId hostLink = 0;
    QString password;  // what askToJoin proves when the host asks

    FakeSession() { events.setHandler(&log); }

    // We host for maxPlayers (0: any number), with `others` players linked to us from behind
    // home routers; their links.
    std::vector<dx8::LinkId> hostWith(int others, int maxPlayers = 0) {
        roster.desc = dx8::net::SessionDesc{QUuid::createUuid(), kTestApp, maxPlayers, 0, "race"};
        roster.idSalt = 77;
        uint32_t seq = 0;
        roster.localId = roster.hostId = roster.allocateId(seq);
        roster.players[roster.localId] = dx8::Player::self(roster.localId, seq, "host", 2302);
        roster.inSession = true;
        std::vector<dx8::LinkId> out;
        for (int i = 0; i < others; ++i) {
            const dx8::Endpoint at{kRouterIp, static_cast<uint16_t>(40001 + i)};
            out.push_back(links.arrive(at.port, at.ipv4));
            const dx8::DPNID id = roster.allocateId(seq);
            links.find(out.back())->kind = dx8::LinkKind::Player;
            links.find(out.back())->playerId = id;
            roster.players[id] =
                dx8::Player::linked(id, seq, "p", out.back(), at).saying({kLanIp, 2302}, {});
        }
        return out;
    }
    // We are player `self` of a session that migrates, hosted by player 1, with players 2 up to
    // self - 1 before us: each linked over link 10 * id, from kRouterIp + id.
    void playerOf(dx8::DPNID self) {
        roster.inSession = true;
        roster.desc.flags = dx8::DPNSESSION_MIGRATE_HOST;
        roster.localId = self;
        roster.hostId = 1;
        roster.observed = {kRouterIp, 2302};
        for (dx8::DPNID id = 1; id < self; ++id) {
            const dx8::Endpoint at{kRouterIp + id, 2302};
            dx8::Link link;
            link.kind = dx8::LinkKind::Player;
            link.playerId = id;
            links.add(10 * id, link);
            links.endpoints[10 * id] = at;
            roster.players[id] =
                dx8::Player::linked(id, id, QStringLiteral("p%1").arg(id), 10 * id, at);
        }
        roster.players[self] = dx8::Player::self(self, self, "me", 2302);
    }
    // We ask the host at hostIp to join, from `lan`; its answer, for the test to fill in.
    dx8::net::msg::JoinAccept askToJoin(uint32_t hostIp, uint32_t lan = 0) {
        hostLink = links.connectTo(hostIp, 2302);
        auto request = std::get<dx8::net::msg::JoinRequest>(
            dx8::net::joinRequest(kTestApp, {}, QStringLiteral("j")));
        request.lanIpv4 = lan;
        joiner.begin(7, hostLink, hostIp, request, password, false);
        joiner.onLinkUp(hostLink, *links.find(hostLink));
        dx8::net::msg::JoinAccept a;
        a.playerId = 50;
        a.hostId = 1;
        return a;
    }
    static dx8::net::msg::JoinRequest request(const QString& name = QStringLiteral("j")) {
        return std::get<dx8::net::msg::JoinRequest>(dx8::net::joinRequest(kTestApp, {}, name));
    }
    // The joiner on this link (host side) says it linked to every player it was told of.
    void ready(dx8::LinkId joiner) {
        dx8::net::msg::JoinReady r;
        const auto accepts = links.sentOn<dx8::net::msg::JoinAccept>(joiner);
        for (const auto& e : accepts.at(0).players) {
            r.linked.push_back(e.id);
        }
        for (const auto& reach : links.sentOn<dx8::net::msg::Reach>(joiner)) {
            r.linked.push_back(reach.player.id);
        }
        hostJoin.onControl(joiner, r);
    }
    // A player's answer to our hello, proving the token of our pair.
    dx8::net::msg::MeshAck ackFor(uint64_t token) const {
        return {dx8::pairProof(token, dx8::ProofOf::Ack, roster.localId)};
    }
    // A link goes down: it leaves the table first.
    void lose(dx8::LinkId link) {
        const dx8::Link state = *links.find(link);
        links.all().erase(link);
        roles.linkDown(link, state);
    }
    // Delivers what was posted: the barrier is an empty dispatcher.
    std::vector<std::string> delivered() {
        for (int i = 0; i < 1000 && events.dispatcher().pendingCount() > 0; ++i) {
            QCoreApplication::processEvents();
        }
        return log.lines;
    }
};

}  // namespace orvel::testing
