// Reaching players behind home routers, in one process: which addresses a joiner tries, what the
// host hands on, and who opens a router toward whom.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "platform/dx8/play/host_join.h"
#include "platform/dx8/play/joiner.h"
#include "platform/dx8/play/members.h"
#include "platform/dx8/play/nat_paths.h"
#include "platform/dx8/play/relay.h"

using namespace dx8;
namespace msg = dx8::net::msg;

namespace {

constexpr uint32_t kHostIp = 0x28282801u;    // a host on the internet
constexpr uint32_t kRouterIp = 0x28282814u;  // a player's home router
constexpr uint32_t kLanIp = 0xC0A80A05u;     // that player inside its home

class FakeLinks : public LinkTable {
public:
    void send(LinkId link, const net::ControlMessage& m) override { sent.push_back({link, m}); }
    LinkId connectTo(uint32_t ipv4, uint16_t port) override {
        endpoints[next] = {ipv4, port};
        return next++;
    }
    Endpoint endpointOf(LinkId link) const override {
        const auto it = endpoints.find(link);
        return it == endpoints.end() ? Endpoint{} : it->second;
    }
    uint16_t localPort() const override { return 2302; }
    void punch(uint32_t ipv4, uint16_t port) override { punches.push_back({ipv4, port}); }
    template <typename T>
    std::vector<T> sentOn(LinkId link) const {
        std::vector<T> out;
        for (const auto& [l, m] : sent) {
            if (l == link && std::holds_alternative<T>(m)) {
                out.push_back(std::get<T>(m));
            }
        }
        return out;
    }
    std::vector<LinkId> linksTo(DPNID id) const {
        std::vector<LinkId> out;
        for (const auto& [link, state] : links_) {
            if (state.kind == LinkKind::MeshOut && state.playerId == id) {
                out.push_back(link);
            }
        }
        return out;
    }

    std::vector<std::pair<LinkId, net::ControlMessage>> sent;
    std::vector<Endpoint> punches;
    std::map<LinkId, Endpoint> endpoints;
    std::vector<LinkId> closed;

protected:
    void closeNow(LinkId link) override { closed.push_back(link); }
    void forget(LinkId link) override { closed.push_back(link); }

private:
    LinkId next = 100;
};

struct Session {
    FakeLinks links;
    Roster roster;
    SessionEvents events;
    int leaves = 0;
    SessionContext context{links, roster, events, [] { return qint64(1000); },
                           [this] { ++leaves; }};
    HostJoin hostJoin{context};
    Joiner joiner{context};
    Members members{context, hostJoin};
};

Link playerLink(DPNID id) {
    Link l;
    l.kind = LinkKind::Player;
    l.playerId = id;
    return l;
}

}  // namespace

namespace dx8 {
bool operator==(const Endpoint& a, const Endpoint& b) {
    return a.ipv4 == b.ipv4 && a.port == b.port;
}
}  // namespace dx8

TEST(NatPaths, EachAddressOfAPlayerIsTriedOnce) {
    struct Case {
        const char* what;
        net::PlayerEntry entry;
        uint32_t hostIp;
        std::vector<Endpoint> expected;
    } cases[] = {
        {"on the internet",
         {2, 1, "p", 0x28282805u, 2302, 0x28282805u, 2302},
         kHostIp,
         {{0x28282805u, 2302}}},
        {"on a LAN", {2, 1, "p", kLanIp, 2302, kLanIp, 2302}, kLanIp + 1, {{kLanIp, 2302}}},
        {"behind a router",
         {2, 1, "p", kRouterIp, 40001, kLanIp, 2302},
         kHostIp,
         {{kRouterIp, 40001}, {kLanIp, 2302}}},
        {"with a mapping",
         {2, 1, "p", kRouterIp, 40001, kLanIp, 2302, kRouterIp, 2302},
         kHostIp,
         {{kRouterIp, 40001}, {kLanIp, 2302}, {kRouterIp, 2302}}},
        {"on the host's machine",
         {2, 1, "p", 0x7F000001u, 2303, 0x7F000001u, 2303},
         kHostIp,
         {{kHostIp, 2303}}},
        {"all on loopback",
         {2, 1, "p", 0x7F000001u, 2303, 0x7F000001u, 2303},
         0x7F000001u,
         {{0x7F000001u, 2303}}},
        {"an older record", {2, 1, "p", kLanIp, 2302}, kHostIp, {{kLanIp, 2302}}},
        {"no port", {2, 1, "p", kLanIp, 0, kLanIp, 0}, kHostIp, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(candidatesFor(c.entry, c.hostIp), c.expected) << c.what;
    }
}

TEST(NatPaths, APunchIsSwallowedAndNothingElseLooksLikeOne) {
    const QByteArray punch = punchDatagram();
    const auto* bytes = reinterpret_cast<const uint8_t*>(punch.constData());
    EXPECT_TRUE(isPunch(bytes, static_cast<size_t>(punch.size())));
    EXPECT_FALSE(net::looksLikeQuery(bytes, static_cast<size_t>(punch.size())));
    EXPECT_FALSE(isPunch(bytes, static_cast<size_t>(punch.size()) - 1));
    const QByteArray query = net::encodeQuery({});
    EXPECT_FALSE(isPunch(reinterpret_cast<const uint8_t*>(query.constData()),
                         static_cast<size_t>(query.size())));
}

TEST(NatPaths, AddressesSurviveTheWire) {
    msg::JoinRequest request;
    request.name = "j";
    request.lanIpv4 = kLanIp;
    request.lanPort = 2302;
    request.mappedIpv4 = kRouterIp;
    request.mappedPort = 2310;
    msg::JoinAccept accept;
    accept.playerId = 9;
    accept.players = {{2, 1, "p", kRouterIp, 40001, kLanIp, 2302, kRouterIp, 2302}};
    accept.observedIpv4 = kRouterIp;
    accept.observedPort = 40002;
    const msg::PlayerAdded added{9, 3, "j", kLanIp, 2302, kRouterIp, 2310};
    for (const net::ControlMessage& m :
         {net::ControlMessage(request), net::ControlMessage(accept), net::ControlMessage(added)}) {
        const QByteArray wire = net::encodeControl(m);
        const auto back =
            net::decodeControl(reinterpret_cast<const uint8_t*>(wire.constData()), wire.size());
        ASSERT_TRUE(back.has_value());
        EXPECT_TRUE(*back == m) << "type " << int(net::typeOf(m));
    }
}

// The host hands on where it sees everyone and what they say of themselves; a player told to
// expect a joiner opens its router toward where the host sees that joiner.
TEST(NatPaths, TheHostHandsOnEveryAddressAndPlayersOpenTheirRouters) {
    Session s;
    Roster& r = s.roster;
    r.desc = net::SessionDesc{QUuid::createUuid(), {}, 0, 0, "race"};
    uint32_t seq = 0;
    r.localId = r.hostId = r.allocateId(seq);
    r.players[r.localId] = Player{r.localId, seq, "host"};
    r.inSession = true;
    const LinkId present = s.links.connectTo(kRouterIp, 40001);
    const DPNID presentId = r.allocateId(seq);
    s.links.add(present, playerLink(presentId));
    r.players[presentId] =
        Player{presentId, seq, "p", present, false, kRouterIp, 40001, kLanIp, 2302, 0, 0};
    const LinkId joiner = s.links.connectTo(0x28282820u, 50000);
    s.links.add(joiner, Link());
    msg::JoinRequest request;
    request.lanIpv4 = 0xC0A81402u;
    request.lanPort = 2302;
    request.mappedIpv4 = 0x28282820u;
    request.mappedPort = 2302;
    s.hostJoin.onRequest(joiner, request);

    const auto accepts = s.links.sentOn<msg::JoinAccept>(joiner);
    ASSERT_EQ(accepts.size(), 1u);
    EXPECT_EQ(accepts[0].observedIpv4, 0x28282820u);
    EXPECT_EQ(accepts[0].observedPort, 50000);
    ASSERT_EQ(accepts[0].players.size(), 2u);
    EXPECT_EQ(accepts[0].players[1].ipv4, kRouterIp);
    EXPECT_EQ(accepts[0].players[1].lanIpv4, kLanIp);
    const auto expects = s.links.sentOn<msg::Expect>(present);
    ASSERT_EQ(expects.size(), 1u);

    s.hostJoin.onControl(joiner, net::joinReady());
    const auto added = s.links.sentOn<msg::PlayerAdded>(present);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].lanIpv4, 0xC0A81402u);
    EXPECT_EQ(added[0].mappedPort, 2302);

    // The present player's side.
    Session p;
    p.roster.inSession = true;
    p.roster.hostId = 1;
    p.members.onControl(1, expects[0]);
    EXPECT_EQ(p.links.punches, (std::vector<Endpoint>{{0x28282820u, 50000}}));
}

// A joiner links to every address of a player at once; the first to answer wins and the rest
// go, and an address that fails does not fail the join while another may still answer.
TEST(NatPaths, TheFirstAddressToAnswerWins) {
    struct Case {
        const char* what;
        size_t lost;    // this many of the player's links fail first
        size_t winner;  // then this one answers
        PathKind path;
    } cases[] = {
        {"at the router", 0, 0, PathKind::Punched},
        {"the router failed, the LAN answered", 1, 1, PathKind::Direct},
        {"at the mapping", 2, 2, PathKind::Direct},
    };
    for (const Case& c : cases) {
        Session s;
        const LinkId host = s.links.connectTo(kHostIp, 2302);
        s.joiner.begin(7, host, kHostIp, {}, false);
        msg::JoinAccept a;
        a.playerId = 50;
        a.hostId = 1;
        a.token = 99;
        a.observedIpv4 = 0x28282830u;
        a.observedPort = 2302;
        a.players = {{1, 0, "h", 0, 2302},
                     {2, 1, "p", kRouterIp, 40001, kLanIp, 2302, kRouterIp, 2302}};
        s.joiner.onControl(host, *s.links.find(host), a);
        // The router's address waits until the player has opened its router toward us.
        ASSERT_EQ(s.links.linksTo(2).size(), 2u) << c.what;
        EXPECT_EQ(s.joiner.deadline(), 1000 + kPunchHeadStartMs) << c.what;
        s.joiner.checkDeadline(1000 + kPunchHeadStartMs);
        std::vector<LinkId> tried = s.links.linksTo(2);
        ASSERT_EQ(tried.size(), 3u) << c.what;
        std::sort(tried.begin(), tried.end(), [&s](LinkId x, LinkId y) {
            const Endpoint a = s.links.endpointOf(x), b = s.links.endpointOf(y);
            return std::tie(a.port, a.ipv4) > std::tie(b.port, b.ipv4);  // router, LAN, mapping
        });
        for (size_t i = 0; i < c.lost; ++i) {
            const Link state = *s.links.find(tried[i]);
            s.links.all().erase(tried[i]);
            s.joiner.onLinkLost(state);
            EXPECT_TRUE(s.joiner.active()) << c.what;
        }
        const LinkId won = tried[c.winner];
        s.joiner.onLinkUp(won, *s.links.find(won));
        s.joiner.onControl(won, *s.links.find(won), net::meshAck());
        EXPECT_EQ(s.links.linksTo(2), std::vector<LinkId>{won}) << c.what;
        EXPECT_EQ(s.links.sentOn<msg::JoinReady>(host).size(), 1u) << c.what;
        s.joiner.onControl(host, *s.links.find(host), net::joinDone());
        ASSERT_NE(s.roster.present(2), nullptr) << c.what;
        EXPECT_EQ(s.roster.present(2)->path, c.path) << c.what;
        EXPECT_EQ(s.roster.present(2)->lanIpv4, kLanIp) << c.what;
        EXPECT_EQ(s.roster.observed.port, 2302) << c.what;
    }
    // The last address failing does fail the join.
    Session s;
    const LinkId host = s.links.connectTo(kHostIp, 2302);
    s.joiner.begin(7, host, kHostIp, {}, false);
    msg::JoinAccept a;
    a.playerId = 50;
    a.hostId = 1;
    a.players = {{1, 0, "h", 0, 2302}, {2, 1, "p", kRouterIp, 40001, kLanIp, 2302}};
    s.joiner.onControl(host, *s.links.find(host), a);
    s.joiner.checkDeadline(1000 + kPunchHeadStartMs);
    for (LinkId link : s.links.linksTo(2)) {
        const Link state = *s.links.find(link);
        s.links.all().erase(link);
        s.joiner.onLinkLost(state);
    }
    EXPECT_FALSE(s.joiner.active());
    ASSERT_EQ(s.links.sentOn<msg::JoinFail>(host).size(), 1u);
    EXPECT_EQ(s.links.sentOn<msg::JoinFail>(host)[0].result, DPNERR_PLAYERNOTREACHABLE);
}

// ---- Relaying through the host -----------------------------------------------------------------

namespace {

// A session of host 1 and players 2 (linked to us directly) and 3 (reached through the host).
Roster relayRoster(DPNID local) {
    Roster r;
    r.inSession = true;
    r.localId = local;
    r.hostId = 1;
    for (DPNID id : {1u, 2u, 3u}) {
        Player p{id, id, "p", id == local ? 0 : LinkId(10 * id)};
        if (id == 3 && local != 1) {
            p.link = 10;  // the host's link
            p.path = PathKind::Relayed;
        }
        r.players[id] = p;
    }
    return r;
}

}  // namespace

TEST(Relay, OnlyTheHostsLinkMayCarryRelayedDataAndTheHostStampsTheSender) {
    struct Case {
        const char* what;
        DPNID local;
        DPNID linkOwner;
        DPNID id;  // what the packet names
        RelayRoute::Action action;
        DPNID deliveredFrom;
        LinkId forwardTo;
        DPNID stamped;
    } cases[] = {
        {"from the host, for a relayed player", 2, 1, 3, RelayRoute::Deliver, 3, 0, 0},
        {"a player claiming to relay", 2, 3, 3, RelayRoute::Ignore, 0, 0, 0},
        {"the host naming a linked player", 2, 1, 2, RelayRoute::Ignore, 0, 0, 0},
        {"the host naming nobody", 2, 1, 77, RelayRoute::Ignore, 0, 0, 0},
        {"at the host, toward a player", 1, 2, 3, RelayRoute::Forward, 0, 30, 2},
        {"at the host, naming its sender", 1, 2, 2, RelayRoute::Ignore, 0, 0, 0},
        {"at the host, for the host", 1, 3, 1, RelayRoute::Deliver, 3, 0, 0},
    };
    for (const Case& c : cases) {
        const Roster r = relayRoster(c.local);
        Link from;
        from.kind = LinkKind::Player;
        from.playerId = c.linkOwner;
        const RelayRoute route = routeRelayed(r, from, wrapRelayed(c.id, "car"));
        EXPECT_EQ(route.action, c.action) << c.what;
        if (c.action == RelayRoute::Deliver) {
            EXPECT_EQ(route.from, c.deliveredFrom) << c.what;
            EXPECT_EQ(route.data, QByteArray("car")) << c.what;
        } else if (c.action == RelayRoute::Forward) {
            EXPECT_EQ(route.forwardTo, c.forwardTo) << c.what;
            EXPECT_EQ(route.data, wrapRelayed(c.stamped, "car")) << c.what;
        }
    }
    Link unverified;
    unverified.playerId = 1;
    EXPECT_EQ(routeRelayed(relayRoster(2), unverified, wrapRelayed(3, "x")).action,
              RelayRoute::Ignore);
    Link host;
    host.kind = LinkKind::Player;
    host.playerId = 1;
    EXPECT_EQ(routeRelayed(relayRoster(2), host, QByteArray("\x03\x00", 2)).action,
              RelayRoute::Ignore);
}

TEST(Relay, AfterMigrationTheNewHostCarriesTheRelayedOrTheyAreLost) {
    Roster r = relayRoster(2);
    r.hostId = 2;  // we take over: we never had a link to player 3
    EXPECT_EQ(rehomeRelayed(r), std::vector<DPNID>{3});
    r = relayRoster(4);
    r.players[4] = Player{4, 4, "me"};
    r.players[1].gone = true;
    r.hostId = 2;
    EXPECT_TRUE(rehomeRelayed(r).empty());
    EXPECT_EQ(r.players[3].link, 20u);
    EXPECT_EQ(r.linksExcept(), (std::vector<LinkId>{20}));  // player 3 is not sent to twice
}

// A player that answers at none of its addresses in time is reached through the host; the host
// tells it so, and it takes the joiner as a relayed player.
TEST(Relay, AJoinerThatCannotLinkIsRelayedWhenTheHostOffersIt) {
    for (uint8_t relays : {1, 0}) {
        Session s;
        const LinkId host = s.links.connectTo(kHostIp, 2302);
        s.joiner.begin(7, host, kHostIp, {}, false);
        msg::JoinAccept a;
        a.playerId = 50;
        a.hostId = 1;
        a.relays = relays;
        a.players = {{1, 0, "h", 0, 2302}, {2, 1, "p", kRouterIp, 40001, kLanIp, 2302}};
        s.joiner.onControl(host, *s.links.find(host), a);
        s.joiner.checkDeadline(1000 + kPunchHeadStartMs);
        EXPECT_EQ(s.joiner.deadline(), relays ? 1000 + kDirectWaitMs : 1000 + kConnectMs);
        s.joiner.checkDeadline(1000 + kDirectWaitMs + 1);
        if (relays == 0) {
            EXPECT_TRUE(s.joiner.active());
            EXPECT_TRUE(s.links.sentOn<msg::JoinReady>(host).empty());
            continue;
        }
        EXPECT_TRUE(s.links.linksTo(2).empty());
        const auto ready = s.links.sentOn<msg::JoinReady>(host);
        ASSERT_EQ(ready.size(), 1u);
        EXPECT_EQ(ready[0].relayed, std::vector<uint32_t>{2});
        s.joiner.onControl(host, *s.links.find(host), net::joinDone());
        ASSERT_NE(s.roster.present(2), nullptr);
        EXPECT_EQ(s.roster.present(2)->path, PathKind::Relayed);
        EXPECT_EQ(s.roster.present(2)->link, host);
    }

    // On one network a player that does not answer is unreachable: no relay, the join fails.
    {
        Session s;
        const LinkId host = s.links.connectTo(kLanIp + 1, 2302);
        msg::JoinRequest request;
        request.lanIpv4 = kLanIp + 2;
        s.joiner.begin(7, host, kLanIp + 1, request, false);
        msg::JoinAccept a;
        a.playerId = 50;
        a.hostId = 1;
        a.relays = 1;
        a.observedIpv4 = kLanIp + 2;
        a.players = {{1, 0, "h", 0, 2302}, {2, 1, "p", kLanIp, 2302, kLanIp, 2302}};
        s.joiner.onControl(host, *s.links.find(host), a);
        s.joiner.checkDeadline(1000 + kDirectWaitMs + 1);
        EXPECT_TRUE(s.links.sentOn<msg::JoinReady>(host).empty());
        EXPECT_EQ(s.joiner.deadline(), 1000 + kConnectMs);  // the relay moment has passed, once
        s.joiner.checkDeadline(1000 + kConnectMs + 1);
        ASSERT_EQ(s.links.sentOn<msg::JoinFail>(host).size(), 1u);
        EXPECT_EQ(s.links.sentOn<msg::JoinFail>(host)[0].result, DPNERR_PLAYERNOTREACHABLE);
    }

    // The host passes the word on to the player concerned only.
    Session h;
    Roster& r = h.roster;
    r.desc = net::SessionDesc{QUuid::createUuid(), {}, 0, 0, "race"};
    uint32_t seq = 0;
    r.localId = r.hostId = r.allocateId(seq);
    r.players[r.localId] = Player{r.localId, seq, "host"};
    r.inSession = true;
    std::vector<LinkId> present;
    for (int i = 0; i < 2; ++i) {
        present.push_back(h.links.connectTo(kRouterIp, static_cast<uint16_t>(40001 + i)));
        const DPNID id = r.allocateId(seq);
        h.links.add(present.back(), playerLink(id));
        r.players[id] = Player{id, seq, "p", present.back()};
    }
    const LinkId joiner = h.links.connectTo(0x28282820u, 50000);
    h.links.add(joiner, Link());
    h.hostJoin.onRequest(joiner, msg::JoinRequest{});
    const DPNID far = h.links.find(present[1])->playerId;
    h.hostJoin.onControl(joiner, msg::JoinReady{{far, 12345}});
    ASSERT_EQ(h.links.sentOn<msg::PlayerAdded>(present[0]).size(), 1u);
    EXPECT_EQ(h.links.sentOn<msg::PlayerAdded>(present[0])[0].relayed, 0);
    ASSERT_EQ(h.links.sentOn<msg::PlayerAdded>(present[1]).size(), 1u);
    const msg::PlayerAdded added = h.links.sentOn<msg::PlayerAdded>(present[1])[0];
    EXPECT_EQ(added.relayed, 1);

    Session p;
    p.roster.inSession = true;
    p.roster.hostId = 1;
    p.roster.players[1] = Player{1, 0, "host", 10};
    p.members.onControl(1, added);
    ASSERT_NE(p.roster.present(added.playerId), nullptr);
    EXPECT_EQ(p.roster.present(added.playerId)->path, PathKind::Relayed);
    EXPECT_EQ(p.roster.present(added.playerId)->link, 10u);
}
