// Reaching players behind home routers, in one process: which addresses a joiner tries, what the
// host hands on, and who opens a router toward whom.

#include <gtest/gtest.h>

#include <algorithm>

#include "fake_session.h"
#include "net/paths/nat_paths.h"

using namespace dx8;
using orvel::testing::kLanIp;
using orvel::testing::kRouterIp;
namespace msg = dx8::net::msg;

namespace {

constexpr uint32_t kHostIp = 0x28282801u;  // a host on the internet

struct Session : orvel::testing::FakeSession {
    // Joins the host at hostIp, which lists itself and `players`; we come from `lan`.
    // Where the host sees us: at our own address unless we say otherwise.
    void accepted(std::vector<net::PlayerEntry> players, uint8_t relays = 0,
                  uint32_t hostIp = kHostIp, uint32_t lan = 0, uint32_t observed = 0) {
        msg::JoinAccept a = askToJoin(hostIp, lan);
        a.relays = relays;
        a.observedIpv4 = observed != 0 ? observed : lan;
        a.observedPort = 2302;
        a.players = {{1, 0, "h", 0, 2302}};
        a.players.insert(a.players.end(), players.begin(), players.end());
        joiner.onControl(hostLink, *links.find(hostLink), a);
    }
    std::vector<int32_t> failures() const {
        std::vector<int32_t> out;
        for (const auto& f : links.sentOn<msg::JoinFail>(hostLink)) {
            out.push_back(f.result);
        }
        return out;
    }
    LinkId joinerArrives(const msg::JoinRequest& request) {
        const LinkId link = links.arrive(50000, 0x28282820u);
        hostJoin.onRequest(link, request);
        return link;
    }
};

}  // namespace

// What a player says of its addresses is tried only where it can be its own: its LAN address
// from behind the same public address, its router's at the address the host sees it at.
TEST(NatPaths, EachAddressOfAPlayerIsTriedOnceAndOnlyWhereItCanBeItsOwn) {
    constexpr uint32_t kVictim = 0x0B0B0B0Bu;
    constexpr uint32_t kElsewhere = 0x28282830u;  // where the host sees us: another router
    struct Case {
        const char* what;
        net::PlayerEntry entry;
        uint32_t hostIp, ourIp;
        std::vector<Endpoint> expected;
    } cases[] = {
        {"on the internet",
         {2, 1, "p", 0x28282805u, 2302, 0x28282805u, 2302},
         kHostIp,
         kElsewhere,
         {{0x28282805u, 2302}}},
        {"on a LAN",
         {2, 1, "p", kLanIp, 2302, kLanIp, 2302},
         kLanIp + 1,
         kLanIp + 2,
         {{kLanIp, 2302}}},
        {"behind our own router",
         {2, 1, "p", kRouterIp, 40001, kLanIp, 2302},
         kHostIp,
         kRouterIp,
         {{kRouterIp, 40001}, {kLanIp, 2302}}},
        {"behind another router",
         {2, 1, "p", kRouterIp, 40001, kLanIp, 2302},
         kHostIp,
         kElsewhere,
         {{kRouterIp, 40001}}},
        {"with a mapping",
         {2, 1, "p", kRouterIp, 40001, kLanIp, 2302, kRouterIp, 2302},
         kHostIp,
         kRouterIp,
         {{kRouterIp, 40001}, {kLanIp, 2302}, {kRouterIp, 2302}}},
        {"behind the host's router, with a mapping",
         {2, 1, "p", kLanIp, 2302, kLanIp, 2302, kHostIp, 2310},
         kHostIp,
         kElsewhere,
         {{kLanIp, 2302}, {kHostIp, 2310}}},
        {"a mapping somewhere else",
         {2, 1, "p", kRouterIp, 40001, kVictim, 2302, kVictim, 2302},
         kHostIp,
         kElsewhere,
         {{kRouterIp, 40001}}},
        {"on the host's machine",
         {2, 1, "p", 0x7F000001u, 2303, 0x7F000001u, 2303},
         kHostIp,
         kElsewhere,
         {{kHostIp, 2303}}},
        {"all on loopback",
         {2, 1, "p", 0x7F000001u, 2303, 0x7F000001u, 2303},
         0x7F000001u,
         0x7F000001u,
         {{0x7F000001u, 2303}}},
        {"an older record", {2, 1, "p", kLanIp, 2302}, kHostIp, kElsewhere, {{kLanIp, 2302}}},
        {"no port", {2, 1, "p", kLanIp, 0, kLanIp, 0}, kHostIp, kElsewhere, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(candidatesFor(c.entry, c.hostIp, c.ourIp), c.expected) << c.what;
    }
}

// The host hands on where it sees everyone and what they say of themselves; a player told to
// expect a joiner opens its router toward where the host sees that joiner.
TEST(NatPaths, TheHostHandsOnEveryAddressAndPlayersOpenTheirRouters) {
    Session s;
    const LinkId present = s.hostWith(1)[0];
    msg::JoinRequest request;
    request.lanIpv4 = 0xC0A81402u;
    request.lanPort = 2302;
    request.mappedIpv4 = 0x28282820u;
    request.mappedPort = 2302;
    const LinkId joiner = s.joinerArrives(request);

    const auto accepts = s.links.sentOn<msg::JoinAccept>(joiner);
    ASSERT_EQ(accepts.size(), 1u);
    EXPECT_EQ(accepts[0].observedIpv4, 0x28282820u);
    EXPECT_EQ(accepts[0].observedPort, 50000);
    ASSERT_EQ(accepts[0].players.size(), 2u);
    EXPECT_EQ(accepts[0].players[1].ipv4, kRouterIp);
    EXPECT_EQ(accepts[0].players[1].lanIpv4, kLanIp);
    const auto expects = s.links.sentOn<msg::Expect>(present);
    ASSERT_EQ(expects.size(), 1u);

    s.hostJoin.onControl(joiner, msg::JoinReady{{accepts[0].players[1].id}, {}});
    const auto added = s.links.sentOn<msg::PlayerAdded>(present);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].lanIpv4, 0xC0A81402u);
    EXPECT_EQ(added[0].mappedPort, 2302);

    // The present player's side.
    Session p;
    p.roster.inSession = true;
    p.roster.hostId = 1;
    p.roles.playerSaid(1, expects[0]);
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
        Session s;  // behind the same router as the player
        s.accepted({{2, 1, "p", kRouterIp, 40001, kLanIp, 2302, kRouterIp, 2302}}, 0, kHostIp,
                   kLanIp + 1, kRouterIp);
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
            s.lose(tried[i]);
            EXPECT_TRUE(s.joiner.active()) << c.what;
        }
        const LinkId won = tried[c.winner];
        s.joiner.onLinkUp(won, *s.links.find(won));
        s.joiner.onControl(won, *s.links.find(won), s.ackFor(0));
        EXPECT_EQ(s.links.linksTo(2), std::vector<LinkId>{won}) << c.what;
        EXPECT_EQ(s.links.sentOn<msg::JoinReady>(s.hostLink).size(), 1u) << c.what;
        s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink), net::joinDone());
        ASSERT_NE(s.roster.present(2), nullptr) << c.what;
        EXPECT_EQ(s.roster.present(2)->path, c.path) << c.what;
        EXPECT_EQ(s.roster.present(2)->lan.ipv4, kLanIp) << c.what;
        EXPECT_EQ(s.roster.observed.ipv4, kRouterIp) << c.what;
    }
    // The last address failing does fail the join.
    Session s;
    s.accepted({{2, 1, "p", kRouterIp, 40001, kLanIp, 2302}}, 0, kHostIp, kLanIp + 1, kRouterIp);
    s.joiner.checkDeadline(1000 + kPunchHeadStartMs);
    for (LinkId link : s.links.linksTo(2)) {
        s.lose(link);
    }
    EXPECT_FALSE(s.joiner.active());
    EXPECT_EQ(s.failures(), std::vector<int32_t>{DPNERR_PLAYERNOTREACHABLE});
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
        Player p = Player::linked(id, id, "p", id == local ? 0 : LinkId(10 * id), {});
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
        const RelayRoute route = routeRelayed(r, from, wrapRelayed(c.id, "car"), 0);
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
    EXPECT_EQ(routeRelayed(relayRoster(2), unverified, wrapRelayed(3, "x"), 0).action,
              RelayRoute::Ignore);
    Link host;
    host.kind = LinkKind::Player;
    host.playerId = 1;
    EXPECT_EQ(routeRelayed(relayRoster(2), host, QByteArray("\x03\x00", 2), 0).action,
              RelayRoute::Ignore);
}

TEST(Relay, AfterMigrationTheNewHostCarriesTheRelayedOrTheyAreLost) {
    Roster r = relayRoster(2);
    r.hostId = 2;  // we take over: we never had a link to player 3
    EXPECT_EQ(rehomeRelayed(r), std::vector<DPNID>{3});
    r = relayRoster(4);
    r.players[4] = Player::self(4, 4, "me", 2302);
    r.players[1].gone = true;
    r.hostId = 2;
    EXPECT_TRUE(rehomeRelayed(r).empty());
    EXPECT_EQ(r.players[3].link, 20u);
    EXPECT_EQ(r.linksExcept(), (std::vector<LinkId>{20}));  // player 3 is not sent to twice
}

// Guaranteed data keeps to the relay for a while after a pair has linked directly; nothing else
// does.
TEST(Relay, JustOffTheRelayGuaranteedDataStillGoesThroughTheHost) {
    struct Case {
        const char* what;
        PathKind path;
        bool wasRelayed;
        bool guaranteed;
        qint64 now;
        LinkId via;
    } cases[] = {
        {"relayed", PathKind::Relayed, false, false, 0, 10},
        {"just linked, guaranteed", PathKind::Direct, true, true, 1999, 10},
        {"just linked, unreliable", PathKind::Direct, true, false, 1999, 0},
        {"linked a while", PathKind::Direct, true, true, 2000, 0},
        {"linked all along", PathKind::Punched, false, true, 0, 0},
    };
    for (const Case& c : cases) {
        Roster r = relayRoster(2);
        Player& p = r.players[3];
        p.path = c.path;
        p.relayGuaranteedUntil = c.wasRelayed ? 2000 : 0;
        if (c.path != PathKind::Relayed) {
            p.link = 30;
        }
        EXPECT_EQ(relayVia(r, p, c.guaranteed, c.now), c.via) << c.what;
    }
}

// A player that answers at none of its addresses in time is reached through the host; the host
// tells it so, and it takes the joiner as a relayed player.
TEST(Relay, AJoinerThatCannotLinkIsRelayedWhenTheHostOffersIt) {
    const net::PlayerEntry behindRouter{2, 1, "p", kRouterIp, 40001, kLanIp, 2302};
    const net::PlayerEntry onOurLan{2, 1, "p", kLanIp, 2302, kLanIp, 2302};
    struct Case {
        const char* what;
        net::PlayerEntry player;
        uint8_t relays;
        uint32_t hostIp, lan;
        bool relayed;
    } cases[] = {
        {"across routers", behindRouter, 1, kHostIp, 0, true},
        {"the host does not relay", behindRouter, 0, kHostIp, 0, false},
        {"on one network", onOurLan, 1, kLanIp + 1, kLanIp + 2, false},
    };
    for (const Case& c : cases) {
        Session s;
        s.accepted({c.player}, c.relays, c.hostIp, c.lan);
        s.joiner.checkDeadline(1000 + kPunchHeadStartMs);
        s.joiner.checkDeadline(1000 + kDirectWaitMs + 1);
        const auto ready = s.links.sentOn<msg::JoinReady>(s.hostLink);
        if (!c.relayed) {  // it waits for the join's deadline, which fails it
            EXPECT_TRUE(ready.empty()) << c.what;
            EXPECT_EQ(s.joiner.deadline(), 1000 + kConnectMs) << c.what;
            s.joiner.checkDeadline(1000 + kConnectMs + 1);
            EXPECT_EQ(s.failures(), std::vector<int32_t>{DPNERR_PLAYERNOTREACHABLE}) << c.what;
            continue;
        }
        EXPECT_TRUE(s.links.linksTo(2).empty());
        ASSERT_EQ(ready.size(), 1u);
        EXPECT_EQ(ready[0].relayed, std::vector<uint32_t>{2});
        s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink), net::joinDone());
        ASSERT_NE(s.roster.present(2), nullptr);
        EXPECT_EQ(s.roster.present(2)->path, PathKind::Relayed);
        EXPECT_EQ(s.roster.present(2)->link, s.hostLink);
    }

    // The host passes the word on to the player concerned only, which takes the joiner as a
    // relayed player.
    Session h;
    const std::vector<LinkId> present = h.hostWith(2);
    const LinkId joiner = h.joinerArrives({});
    h.hostJoin.onControl(joiner, msg::JoinReady{{h.links.find(present[0])->playerId},
                                                {h.links.find(present[1])->playerId, 12345}});
    std::vector<msg::PlayerAdded> added;
    for (LinkId link : present) {
        ASSERT_EQ(h.links.sentOn<msg::PlayerAdded>(link).size(), 1u);
        added.push_back(h.links.sentOn<msg::PlayerAdded>(link)[0]);
    }
    EXPECT_EQ(added[0].relayed, 0);
    EXPECT_EQ(added[1].relayed, 1);
    Session p;
    p.roster.inSession = true;
    p.roster.hostId = 1;
    p.roster.players[1] = Player::linked(1, 0, "host", 10, {});
    p.roles.playerSaid(1, added[1]);
    ASSERT_NE(p.roster.present(added[1].playerId), nullptr);
    EXPECT_EQ(p.roster.present(added[1].playerId)->path, PathKind::Relayed);
    EXPECT_EQ(p.roster.present(added[1].playerId)->link, 10u);
}

// ---- Relayed pairs over the session's life ----------------------------------------------------

namespace {

// Player `local` of a session hosted by 1 (linked over link 10), with players 2 and 3; `relayed`
// is reached through the host.
Session& memberOf(Session& s, DPNID local, DPNID relayed) {
    s.roster.inSession = true;
    s.roster.localId = local;
    s.roster.hostId = 1;
    s.roster.players[1] = Player::linked(1, 0, "host", 10, {});
    s.roster.players[local] = Player::self(local, local, "me", 2302);
    s.roster.players[relayed] =
        Player::relayed(relayed, relayed, "far", 10).saying({kLanIp, 2302}, {});
    return s;
}

}  // namespace

// The host names first who reaches everyone: it can go on relaying when it takes over.
TEST(RelayedPairs, WhoTakesOverIsOneThatReachesEveryone) {
    struct Case {
        const char* what;
        std::vector<std::pair<int, int>> pairs;  // indexes into the host's players
        int successor;
    } cases[] = {
        {"nothing relayed: the earliest joined", {}, 0},
        {"the first two relayed", {{0, 1}}, 2},
        {"both relayed with the third", {{0, 2}, {1, 2}}, 0},
        {"the first relayed with both others", {{0, 1}, {0, 2}}, 1},
    };
    for (const Case& c : cases) {
        Session h;
        std::vector<DPNID> ids;
        for (LinkId link : h.hostWith(3)) {
            ids.push_back(h.links.find(link)->playerId);
        }
        for (auto [a, b] : c.pairs) {
            h.roster.relayedPairs.insert(std::minmax(ids[a], ids[b]));
        }
        const msg::Paths paths = h.roster.announcePaths();
        // A player takes the host's word; a player's own word on it counts for nothing.
        Session p;
        p.roster = h.roster;
        p.roster.localId = ids[2];
        p.roster.succession.clear();
        p.roster.relayedPairs.clear();
        EXPECT_TRUE(p.roles.playerSaid(ids[0], paths));
        EXPECT_TRUE(p.roster.succession.empty()) << c.what;
        EXPECT_TRUE(p.roles.playerSaid(h.roster.hostId, paths));
        EXPECT_EQ(p.roster.relayedPairs, h.roster.relayedPairs) << c.what;
        EXPECT_EQ(p.roster.successorOf(h.roster.hostId), ids[c.successor]) << c.what;
        // Gone players do not count.
        p.roster.players[ids[c.successor]].gone = true;
        EXPECT_NE(p.roster.successorOf(h.roster.hostId), ids[c.successor]) << c.what;
    }

    // A join that ends relayed is announced to everyone once the joiner is a player.
    Session h;
    const std::vector<LinkId> present = h.hostWith(2);
    const LinkId joiner = h.joinerArrives({});
    const DPNID far = h.links.find(present[1])->playerId;
    h.hostJoin.onControl(joiner, msg::JoinReady{{h.links.find(present[0])->playerId}, {far}});
    for (LinkId link : present) {
        h.hostJoin.onAddedAck(h.links.find(link)->playerId, h.links.find(joiner)->playerId);
    }
    const auto paths = h.links.sentOn<msg::Paths>(joiner);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].relayed.size(), 2u);
    EXPECT_EQ(paths[0].succession.back(), h.links.find(joiner)->playerId);
    // It leaving ends the pair, which is announced too.
    h.members.removePlayer(h.links.find(joiner)->playerId, DPNDESTROYPLAYERREASON_NORMAL);
    ASSERT_EQ(h.links.sentOn<msg::Paths>(present[0]).size(), 2u);
    EXPECT_TRUE(h.links.sentOn<msg::Paths>(present[0])[1].relayed.empty());
}

// The host has a relayed pair try again; one links to the other with the host's token, both move
// off the relay, and the host drops the pair.
TEST(RelayedPairs, APairThatLinksLaterMovesOffTheRelay) {
    Session h;
    const std::vector<LinkId> links = h.hostWith(2);
    // a joined after b, which would have it link to b; but a's router forwards a port to it.
    const DPNID a = h.links.find(links[1])->playerId, b = h.links.find(links[0])->playerId;
    h.roster.players[a].mapped = {kRouterIp, 2302};
    h.roster.relayedPairs.insert(std::minmax(a, b));
    h.relay.checkDeadline(h.clock);
    // b links to a, whose router lets anyone in; a expects it.
    const auto reach = h.links.sentOn<msg::Reach>(links[0]);
    const auto expect = h.links.sentOn<msg::Expect>(links[1]);
    ASSERT_EQ(reach.size(), 1u);
    ASSERT_EQ(expect.size(), 1u);
    EXPECT_EQ(reach[0].player.id, a);
    EXPECT_EQ(reach[0].player.mappedPort, 2302);
    EXPECT_EQ(expect[0].playerId, b);
    EXPECT_EQ(expect[0].token, reach[0].player.token);
    EXPECT_TRUE(h.links.sentOn<msg::Reach>(links[1]).empty());
    // Until they link, they try again later, then less often.
    for (const qint64 wait : {2 * kRetryDirectMs, 4 * kRetryDirectMs}) {
        const size_t before = h.links.sentOn<msg::Reach>(links[0]).size();
        h.clock += wait - 1;
        h.relay.checkDeadline(h.clock);
        EXPECT_EQ(h.links.sentOn<msg::Reach>(links[0]).size(), before);
        h.clock += 1;
        h.relay.checkDeadline(h.clock);
        EXPECT_EQ(h.links.sentOn<msg::Reach>(links[0]).size(), before + 1);
    }

    // b's side: it tries every address of a; the router's only after a head start.
    Session bs;
    memberOf(bs, b, a);
    bs.roster.observed = {kRouterIp, 40001};  // behind the same router as a
    bs.links.endpoints[10] = {kHostIp, 2302};
    EXPECT_TRUE(bs.roles.playerSaid(1, reach[0]));
    std::vector<LinkId> tried = bs.links.linksTo(a);
    ASSERT_EQ(tried.size(), 2u);  // the LAN address and the mapping
    bs.clock += kPunchHeadStartMs;
    bs.relay.checkDeadline(bs.clock);
    tried = bs.links.linksTo(a);
    ASSERT_EQ(tried.size(), 3u);
    const auto atMapping = std::find_if(tried.begin(), tried.end(), [&bs](LinkId l) {
        return bs.links.endpointOf(l).ipv4 == kRouterIp && bs.links.endpointOf(l).port == 2302;
    });
    ASSERT_NE(atMapping, tried.end());
    const LinkId won = *atMapping;
    bs.relay.onLinkUp(won);
    const auto hello = bs.links.sentOn<msg::MeshHello>(won);
    ASSERT_EQ(hello.size(), 1u);
    EXPECT_EQ(hello[0].proof, pairProof(reach[0].player.token, ProofOf::Hello, b));

    // a's side: a hello before the host's word waits for it; a wrong token is not enough.
    Session as;
    memberOf(as, a, b);
    as.roster.mapped = {kRouterIp, 2302};
    as.links.endpoints[200] = {0x2828281Eu, 61000};
    as.links.add(200, Link());
    as.members.onMeshHello(200, msg::MeshHello{b, hello[0].proof + 1});
    as.roles.playerSaid(1, expect[0]);
    EXPECT_EQ(as.roster.present(b)->path, PathKind::Relayed);
    as.members.onMeshHello(200, hello[0]);
    EXPECT_EQ(as.roster.present(b)->link, 200u);
    EXPECT_EQ(as.roster.present(b)->path, PathKind::Direct);
    EXPECT_EQ(as.links.sentOn<msg::MeshAck>(200).size(), 1u);
    // What the host still carries from b counts; a player linked to us all along may not come
    // again on another link without the host's word (that it was cut off and is back).
    Link host;
    host.kind = LinkKind::Player;
    host.playerId = 1;
    EXPECT_EQ(routeRelayed(as.roster, host, wrapRelayed(b, "late"), as.clock).action,
              RelayRoute::Deliver);
    // Once off the relay past the grace period, the relay no longer speaks for it.
    EXPECT_EQ(
        routeRelayed(as.roster, host, wrapRelayed(b, "late"), as.clock + 2 * kRelayGraceMs).action,
        RelayRoute::Ignore);
    as.links.add(201, Link());
    const LinkId hostLinkBefore = as.roster.hostLink();
    as.members.onMeshHello(201, msg::MeshHello{1, 0});
    EXPECT_EQ(as.roster.hostLink(), hostLinkBefore);
    EXPECT_TRUE(as.links.sentOn<msg::MeshAck>(201).empty());

    // b takes a's answer, which proves their token: the other addresses go and the host hears.
    bs.relay.onLinkControl(won, msg::MeshAck{hello[0].proof});  // its own hello proves nothing
    EXPECT_EQ(bs.roster.present(a)->path, PathKind::Relayed);
    bs.relay.onLinkControl(won, as.links.sentOn<msg::MeshAck>(200).at(0));
    EXPECT_EQ(bs.roster.present(a)->link, won);
    EXPECT_EQ(bs.roster.present(a)->path, PathKind::Direct);
    EXPECT_EQ(bs.links.linksTo(a), std::vector<LinkId>{});
    EXPECT_EQ(bs.links.find(won)->kind, LinkKind::Player);
    EXPECT_EQ(bs.links.sentOn<msg::Linked>(10).size(), 1u);
    EXPECT_EQ(bs.roster.linksExcept(), (std::vector<LinkId>{10, won}));

    h.roles.playerSaid(b, msg::Linked{a});
    EXPECT_TRUE(h.roster.relayedPairs.empty());
    ASSERT_EQ(h.links.sentOn<msg::Paths>(links[1]).size(), 1u);
    EXPECT_EQ(h.relay.deadline(), 0);

    // Should that link go, a goes back on the relay rather than out of the session, and the host
    // relays for the pair again; a player b linked to all along has no relay to go back to.
    bs.links.all().erase(won);
    EXPECT_TRUE(bs.relay.backToRelay(a));
    EXPECT_EQ(bs.roster.present(a)->path, PathKind::Relayed);
    EXPECT_EQ(bs.roster.present(a)->link, 10u);
    ASSERT_EQ(bs.links.sentOn<msg::Unlinked>(10), (std::vector<msg::Unlinked>{{a}}));
    EXPECT_FALSE(bs.relay.backToRelay(1));
    h.roles.playerSaid(b, bs.links.sentOn<msg::Unlinked>(10)[0]);
    h.roles.playerSaid(a, msg::Unlinked{b});  // a says so too: the pair counts once
    EXPECT_EQ(h.roster.relayedPairs.size(), 1u);
    EXPECT_EQ(h.links.sentOn<msg::Paths>(links[1]).size(), 2u);
}

// A new router mapping has the pair try at once; a relayed player's new name and the host's
// round trip to it reach its partner through the host, and only the host may say them.
TEST(RelayedPairs, MappingsNamesAndRoundTripsReachTheRelayedPartner) {
    Session h;
    const std::vector<LinkId> links = h.hostWith(3);
    const DPNID a = h.links.find(links[0])->playerId, b = h.links.find(links[1])->playerId;
    h.links.rtts = {{links[0], 30}, {links[1], 50}};
    h.roster.relayedPairs.insert(std::minmax(a, b));
    h.relay.checkDeadline(h.clock);
    EXPECT_EQ(h.links.sentOn<msg::RoundTrips>(links[0]), (std::vector<msg::RoundTrips>{{{b, 50}}}));
    EXPECT_EQ(h.links.sentOn<msg::RoundTrips>(links[1]), (std::vector<msg::RoundTrips>{{{a, 30}}}));
    EXPECT_TRUE(h.links.sentOn<msg::RoundTrips>(links[2]).empty());
    // At once, the other way round from the join: a, joined first, links to b.
    EXPECT_EQ(h.links.sentOn<msg::Reach>(links[0]).size(), 1u);
    h.clock += 1000;
    h.roles.playerSaid(a, msg::Mapped{kRouterIp, 2310});
    EXPECT_EQ(h.roster.present(a)->mapped.port, 2310);
    // Not while the first try may still link them.
    h.clock = 1000 + 2 * kDirectWaitMs - 1;
    h.relay.checkDeadline(h.clock);
    EXPECT_TRUE(h.links.sentOn<msg::Reach>(links[1]).empty());
    h.clock += 1;
    h.relay.checkDeadline(h.clock);
    ASSERT_EQ(h.links.sentOn<msg::Reach>(links[1]).size(), 1u);
    EXPECT_EQ(h.links.sentOn<msg::Reach>(links[1])[0].player.mappedPort, 2310);

    h.roles.playerSaid(a, net::info("renamed"));
    EXPECT_EQ(h.links.sentOn<msg::NameOf>(links[1]), (std::vector<msg::NameOf>{{a, "renamed"}}));
    EXPECT_EQ(h.links.sentOn<msg::NameOf>(links[2]), (std::vector<msg::NameOf>{{a, "renamed"}}));

    Session p;
    memberOf(p, 2, 3);
    p.roster.players[4] = Player::linked(4, 4, "near", 40, {});
    const struct {
        DPNID from, about;
        const char* name;
        bool named, leg;
    } cases[] = {{1, 3, "far2", true, true},
                 {4, 3, "forged", false, false},
                 {1, 4, "not relayed", true, false}};
    for (const auto& c : cases) {
        const QString before = p.roster.players[c.about].name;
        const int legBefore = p.roster.players[c.about].hostLegMs;
        p.roles.playerSaid(c.from, msg::NameOf{c.about, c.name});
        p.roles.playerSaid(c.from, msg::RoundTrips{{c.about, 77}});
        EXPECT_EQ(p.roster.players[c.about].name, c.named ? QString(c.name) : before) << c.name;
        EXPECT_EQ(p.roster.players[c.about].hostLegMs, c.leg ? 77 : legBefore) << c.name;
    }
}
