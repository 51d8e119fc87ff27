// The rules of a session, in one process: the roster, the host's side of a join and the
// joiner's, over a link table that records what would go on the wire instead of sending it.

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "fake_session.h"

using namespace dx8;
namespace msg = dx8::net::msg;

namespace {

using Session = orvel::testing::FakeSession;

// ---- Roster -------------------------------------------------------------------------------------

TEST(Roster, JoinOrderAndSuccessorSkipTheGoneAndTheLeavingHost) {
    struct Case {
        std::vector<std::pair<uint32_t, bool>> players;  // seq, gone; ids are seq + 1
        DPNID host;
        DPNID successor;
    } cases[] = {
        {{{0, false}, {1, false}, {2, false}}, 1, 2},
        {{{2, false}, {0, false}, {1, false}}, 1, 2},  // map order is not join order
        {{{0, false}, {1, true}, {2, false}}, 1, 3},   // a destroyed player is skipped
        {{{5, false}, {3, false}}, 6, 4},
        {{{0, false}}, 1, 0},  // nobody left to take over
    };
    for (const Case& c : cases) {
        Roster r;
        for (const auto& [seq, gone] : c.players) {
            r.players[seq + 1] = Player::self(seq + 1, seq, {}, 0);
            r.players[seq + 1].gone = gone;
        }
        EXPECT_EQ(r.successorOf(c.host), c.successor) << "host " << c.host;
        uint32_t last = 0;
        for (const Player* p : r.presentInJoinOrder()) {
            EXPECT_FALSE(p->gone);
            EXPECT_GE(p->seq, last);
            last = p->seq;
        }
    }
}

TEST(Roster, IdsAreNeverZeroAndNeverRepeat) {
    Roster r;
    r.idSalt = 0u - 5u * 0x9E3779B1u;  // join number 5 would give id 0
    std::set<DPNID> seen;
    for (int i = 0; i < 200; ++i) {
        uint32_t seq = 0;
        const DPNID id = r.allocateId(seq);
        EXPECT_NE(id, 0u);
        EXPECT_NE(seq, 5u);
        EXPECT_TRUE(seen.insert(id).second);
    }
}

TEST(Roster, ExpectationsNeedTheirTokenAreBoundedAndExpire) {
    Roster r;
    for (DPNID id = 1; id <= kMaxExpectations + 2; ++id) {
        r.expect(id, id * 10, 1000 + id);
    }
    EXPECT_EQ(r.expectations.size(), kMaxExpectations);
    const auto proof = [](DPNID id, uint64_t token) {
        return pairProof(token, ProofOf::Hello, id);
    };
    EXPECT_FALSE(r.takeExpectation(1, proof(1, 10)));  // the oldest made room
    EXPECT_FALSE(r.takeExpectation(5, proof(5, 51)));  // wrong token
    EXPECT_FALSE(r.takeExpectation(5, 50));            // the token itself is no proof
    EXPECT_EQ(r.takeExpectation(5, proof(5, 50)), 50u);
    EXPECT_FALSE(r.takeExpectation(5, proof(5, 50)));  // used up
    r.expireExpectations(1020);
    for (const Expectation& e : r.expectations) {
        EXPECT_GE(e.deadline, 1020);
    }
    EXPECT_EQ(r.earliestExpectation(), 1020);
}

// ---- The host's side of a join -----------------------------------------------------------------

TEST(HostJoin, RequestsAreAdmittedOrRefusedWithTheirCode) {
    struct Case {
        const char* what;
        int maxPlayers;
        bool host;
        std::function<void(msg::JoinRequest&)> change;
        HRESULT refused;  // 0: admitted
    } cases[] = {
        {"room left", 3, true, [](msg::JoinRequest&) {}, 0},
        {"no limit", 0, true, [](msg::JoinRequest&) {}, 0},
        {"full", 2, true, [](msg::JoinRequest&) {}, DPNERR_SESSIONFULL},
        {"not the host", 3, false, [](msg::JoinRequest&) {}, DPNERR_NOTHOST},
        {"other game", 3, true, [](msg::JoinRequest& r) { r.application = QUuid::createUuid(); },
         DPNERR_INVALIDAPPLICATION},
        {"other version", 3, true,
         [](msg::JoinRequest& r) { r.version = net::kProtocolVersion + 1; },
         DPNERR_INVALIDAPPLICATION},
        {"other session", 3, true, [](msg::JoinRequest& r) { r.instance = QUuid::createUuid(); },
         DPNERR_INVALIDINSTANCE},
    };
    for (const Case& c : cases) {
        Session s;
        s.hostWith(1, c.maxPlayers);
        if (!c.host) {
            s.roster.hostId = s.roster.players.rbegin()->first;
        }
        const LinkId joiner = s.links.arrive(4000);
        msg::JoinRequest r = Session::request();
        c.change(r);
        s.hostJoin.onRequest(joiner, r);
        const auto refusals = s.links.sentOn<msg::JoinRefuse>(joiner);
        if (c.refused == 0) {
            ASSERT_EQ(s.links.sentOn<msg::JoinAccept>(joiner).size(), 1u) << c.what;
            const msg::JoinAccept a = s.links.sentOn<msg::JoinAccept>(joiner)[0];
            EXPECT_EQ(a.players.size(), 2u) << c.what;
            EXPECT_EQ(a.players[0].port, 2302) << c.what;  // the host, where it was reached
            // The player present is told to expect the joiner, with their pair's token.
            const auto expects = s.links.sentOn<msg::Expect>();
            ASSERT_EQ(expects.size(), 1u) << c.what;
            EXPECT_EQ(expects[0].token, a.players[1].token) << c.what;
            EXPECT_EQ(expects[0].port, 4000) << c.what;
            EXPECT_EQ(s.delivered(), std::vector<std::string>{"IndicateConnect"}) << c.what;
        } else {
            ASSERT_EQ(refusals.size(), 1u) << c.what;
            EXPECT_EQ(refusals[0].result, c.refused) << c.what;
            EXPECT_EQ(s.links.find(joiner)->kind, LinkKind::Closing) << c.what;
        }
    }
}

TEST(HostJoin, AJoinCompletesWhenEveryPlayerConfirmsThenTheNextQueuedStarts) {
    Session s;
    s.hostWith(2);
    const LinkId first = s.links.arrive(4000);
    const LinkId second = s.links.arrive(4001);
    s.hostJoin.onRequest(first, Session::request("a"));
    s.hostJoin.onRequest(second, Session::request("b"));
    EXPECT_TRUE(s.links.sentOn<msg::JoinAccept>(second).empty());  // waits its turn
    EXPECT_EQ(s.hostJoin.queued(), 1u);
    const DPNID id = s.links.sentOn<msg::JoinAccept>(first)[0].playerId;

    s.ready(first);
    EXPECT_EQ(s.links.sentOn<msg::PlayerAdded>().size(), 2u);
    EXPECT_NE(s.roster.present(id), nullptr);
    const std::vector<DPNID> others{s.roster.presentInJoinOrder()[1]->id,
                                    s.roster.presentInJoinOrder()[2]->id};
    s.hostJoin.onAddedAck(others[0], id);
    EXPECT_TRUE(s.links.sentOn<msg::JoinDone>(first).empty());
    s.hostJoin.onAddedAck(others[1], id);
    EXPECT_EQ(s.links.sentOn<msg::JoinDone>(first).size(), 1u);
    ASSERT_EQ(s.links.sentOn<msg::JoinAccept>(second).size(), 1u);
    // The next joiner is told of the one before it, which is a player now.
    EXPECT_EQ(s.links.sentOn<msg::JoinAccept>(second)[0].players.size(), 4u);
    EXPECT_EQ(s.delivered(),
              (std::vector<std::string>{"IndicateConnect", "CreatePlayer " + std::to_string(id),
                                        "IndicateConnect"}));
}

TEST(HostJoin, TheQueueIsBounded) {
    Session s;
    s.hostWith(0);
    s.hostJoin.onRequest(s.links.arrive(4000), Session::request());
    for (size_t i = 0; i < kMaxQueuedJoins; ++i) {
        s.hostJoin.onRequest(s.links.arrive(static_cast<uint16_t>(4001 + i)), Session::request());
    }
    const LinkId late = s.links.arrive(5000);
    s.hostJoin.onRequest(late, Session::request());
    ASSERT_EQ(s.links.sentOn<msg::JoinRefuse>(late).size(), 1u);
    EXPECT_EQ(s.links.sentOn<msg::JoinRefuse>(late)[0].result, DPNERR_HOSTREJECTEDCONNECTION);
    EXPECT_EQ(s.hostJoin.queued(), kMaxQueuedJoins);
}

TEST(HostJoin, DeadlinesAbortAMeshThatNeverFormsAndFinishWithoutLateAcks) {
    struct Case {
        bool ready;  // the joiner reported its links
        qint64 after;
        bool done;     // JoinDone sent
        bool refused;  // refused as unreachable
    } cases[] = {
        {false, kMeshWaitMs - 1, false, false},
        {false, kMeshWaitMs + 1, false, true},
        {true, kAckWaitMs + 1, true, false},
    };
    for (const Case& c : cases) {
        Session s;
        s.hostWith(1);
        const LinkId joiner = s.links.arrive(4000);
        s.hostJoin.onRequest(joiner, Session::request());
        if (c.ready) {
            s.ready(joiner);
        }
        s.clock += c.after;
        s.hostJoin.checkDeadline(s.clock);
        EXPECT_EQ(s.hostJoin.inProgress(), !c.done && !c.refused) << c.after;
        EXPECT_EQ(s.links.sentOn<msg::JoinDone>(joiner).size(), c.done ? 1u : 0u) << c.after;
        const auto refusals = s.links.sentOn<msg::JoinRefuse>(joiner);
        ASSERT_EQ(refusals.size(), c.refused ? 1u : 0u) << c.after;
        if (c.refused) {
            EXPECT_EQ(refusals[0].result, DPNERR_PLAYERNOTREACHABLE);
            // The players forget the joiner they were told to expect.
            EXPECT_EQ(s.links.sentOn<msg::PlayerRemoved>().size(), 1u);
            EXPECT_EQ(s.delivered().back(), "IndicatedConnectAborted");
        }
    }
}

// ---- The joiner's side --------------------------------------------------------------------------

struct Joining : Session {
    static constexpr uint32_t kHostIp = 0x0A000001u;

    // Asks the host at kHostIp; its answer lists the host and players at these addresses.
    msg::JoinAccept start(std::vector<net::PlayerEntry> players) {
        msg::JoinAccept a = askToJoin(kHostIp);
        a.players = std::move(players);
        return a;
    }
    LinkId meshLink(DPNID id) const { return links.linkOf(LinkKind::MeshOut, id); }
    void answer(DPNID id, uint64_t token = 0) {
        joiner.onControl(meshLink(id), *links.find(meshLink(id)), ackFor(token));
    }
};

TEST(Joiner, AnAcceptThatDoesNotAddUpFailsTheJoin) {
    const net::PlayerEntry host{1, 0, "h", 0, 2302};
    const net::PlayerEntry self{50, 1, "me", 0, 2303};
    struct Case {
        const char* what;
        std::vector<net::PlayerEntry> players;
        DPNID playerId;
    } cases[] = {
        {"host missing", {}, 50},
        {"we are listed", {host, self}, 50},
        {"no id for us", {host}, 0},
    };
    for (const Case& c : cases) {
        Joining s;
        msg::JoinAccept a = s.start(c.players);
        a.playerId = c.playerId;
        s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink), a);
        EXPECT_FALSE(s.joiner.active()) << c.what;
        EXPECT_EQ(s.leaves, 1) << c.what;
        EXPECT_EQ(s.delivered(), std::vector<std::string>{"ConnectComplete 0x80004005"}) << c.what;
    }
}

TEST(Joiner, LinksToEveryPlayerBeforeItIsReadyAndBecomesAPlayerWhenDone) {
    Joining s;
    const msg::JoinAccept a =
        s.start({{1, 0, "h", 0, 2302},
                 {2, 1, "local", 0x7F000001u, 2303, 0, 0, 0, 0, 22},  // on the host's machine
                 {3, 2, "far", 0x0A000009u, 2304, 0, 0, 0, 0, 33}});
    EXPECT_EQ(s.links.sentOn<msg::JoinRequest>(s.hostLink).size(), 1u);
    s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink), a);
    ASSERT_NE(s.meshLink(2), 0u);
    ASSERT_NE(s.meshLink(3), 0u);
    EXPECT_EQ(s.links.endpointOf(s.meshLink(2)).ipv4, Joining::kHostIp);
    EXPECT_EQ(s.links.endpointOf(s.meshLink(3)).ipv4, 0x0A000009u);
    EXPECT_TRUE(s.joiner.accepted());

    for (DPNID id : {2u, 3u}) {
        const LinkId link = s.meshLink(id);
        s.joiner.onLinkUp(link, *s.links.find(link));
        const auto hellos = s.links.sentOn<msg::MeshHello>(link);
        ASSERT_EQ(hellos.size(), 1u);
        EXPECT_EQ(hellos[0].playerId, 50u);
        // The hello proves the pair's token without showing it.
        EXPECT_EQ(hellos[0].proof, pairProof(id * 11, ProofOf::Hello, 50));
        EXPECT_TRUE(s.links.sentOn<msg::JoinReady>().empty());
        s.answer(id, id * 11 + 1);  // an answer that does not prove the token counts for nothing
        EXPECT_FALSE(s.links.find(link)->acked);
        s.answer(id, id * 11);
        s.answer(id, id * 11);  // a repeat counts once
    }
    EXPECT_EQ(s.links.sentOn<msg::JoinReady>(s.hostLink).size(), 1u);
    s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink), net::joinDone());
    EXPECT_TRUE(s.roster.inSession);
    EXPECT_EQ(s.roster.activePlayers(), 4);
    EXPECT_EQ(s.delivered(),
              (std::vector<std::string>{"CreatePlayer 50", "CreatePlayer 1", "CreatePlayer 2",
                                        "CreatePlayer 3", "ConnectComplete 0x0"}));
}

TEST(Joiner, APlayerItCannotReachFailsTheJoinAndTheHostHearsWhy) {
    struct Case {
        const char* what;
        std::function<void(Joining&)> happen;
        HRESULT result;
    } cases[] = {
        {"a mesh link went down", [](Joining& s) { s.lose(s.meshLink(2)); },
         DPNERR_PLAYERNOTREACHABLE},
        {"the join took too long",
         [](Joining& s) { s.joiner.checkDeadline(s.clock + kConnectMs + 1); },
         DPNERR_PLAYERNOTREACHABLE},
        {"the host refused late",
         [](Joining& s) {
             s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink),
                                net::joinRefuse(DPNERR_SESSIONFULL));
         },
         DPNERR_SESSIONFULL},
    };
    for (const Case& c : cases) {
        Joining s;
        const msg::JoinAccept a = s.start({{1, 0, "h", 0, 2302}, {2, 1, "p", 0, 2303}});
        s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink), a);
        c.happen(s);
        EXPECT_FALSE(s.joiner.active()) << c.what;
        const auto fails = s.links.sentOn<msg::JoinFail>(s.hostLink);
        ASSERT_EQ(fails.size(), 1u) << c.what;
        EXPECT_EQ(fails[0].result, c.result) << c.what;
        EXPECT_EQ(s.delivered(),
                  std::vector<std::string>{"ConnectComplete " + hresultHex(c.result).toStdString()})
            << c.what;
    }
}

TEST(Joiner, APlayerRemovedDuringTheMeshIsNotWaitedFor) {
    Joining s;
    const msg::JoinAccept a = s.start({{1, 0, "h", 0, 2302}, {2, 1, "p", 0, 2303}});
    s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink), a);
    s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink),
                       net::playerRemoved(2, DPNDESTROYPLAYERREASON_CONNECTIONLOST));
    EXPECT_EQ(s.meshLink(2), 0u);
    EXPECT_EQ(s.links.sentOn<msg::JoinReady>(s.hostLink).size(), 1u);
    s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink), net::joinDone());
    EXPECT_EQ(s.roster.activePlayers(), 2);
}

}  // namespace
