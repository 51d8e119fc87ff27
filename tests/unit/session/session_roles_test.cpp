// The rules of a session, in one process: the roster, the host's side of a join and the
// joiner's, over a link table that records what would go on the wire instead of sending it.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <map>
#include <set>
#include <vector>

#include "platform/dx8/play/host_join.h"
#include "platform/dx8/play/joiner.h"
#include "platform/dx8/play/members.h"

using namespace dx8;
namespace msg = dx8::net::msg;

namespace {

class FakeLinks : public LinkTable {
public:
    struct Sent {
        LinkId link;
        net::ControlMessage m;
    };
    void send(LinkId link, const net::ControlMessage& m) override {
        if (link != 0) {
            sent.push_back({link, m});
        }
    }
    LinkId connectTo(uint32_t ipv4, uint16_t port) override {
        const LinkId link = next_++;
        endpoints_[link] = {ipv4, port};
        return link;
    }
    Endpoint endpointOf(LinkId link) const override {
        const auto it = endpoints_.find(link);
        return it == endpoints_.end() ? Endpoint{} : it->second;
    }
    uint16_t localPort() const override { return 2302; }

    // Someone connects to us from this address.
    LinkId arrive(uint16_t port) {
        const LinkId link = connectTo(0x7F000001u, port);
        Link state;
        state.connected = true;
        add(link, state);
        return link;
    }
    // The messages of one type sent over one link (any link when 0).
    template <typename T>
    std::vector<T> sentOn(LinkId link = 0) const {
        std::vector<T> out;
        for (const Sent& s : sent) {
            if ((link == 0 || s.link == link) && std::holds_alternative<T>(s.m)) {
                out.push_back(std::get<T>(s.m));
            }
        }
        return out;
    }

    std::vector<Sent> sent;
    std::vector<LinkId> closed;

protected:
    void closeNow(LinkId link) override { closed.push_back(link); }
    void forget(LinkId link) override { closed.push_back(link); }

private:
    LinkId next_ = 100;
    std::map<LinkId, Endpoint> endpoints_;
};

// Writes down the notifications that matter to joins, in the order they are delivered.
class Recorder : public DirectPlay8Event {
public:
    void DirectPlay8Event_AddRemovePlayerGroup(int32_t, DPNID, DPNID, bool&) override {}
    void DirectPlay8Event_AppDesc(bool&) override {}
    void DirectPlay8Event_AsyncOpComplete(DPNMSG_ASYNC_OP_COMPLETE&, bool&) override {}
    void DirectPlay8Event_ConnectComplete(DPNMSG_CONNECT_COMPLETE& m, bool&) override {
        log.push_back("ConnectComplete " + hresultHex(m.hResultCode).toStdString());
    }
    void DirectPlay8Event_CreateGroup(DPNID, DPNID, bool&) override {}
    void DirectPlay8Event_CreatePlayer(DPNID id, bool&) override {
        log.push_back("CreatePlayer " + std::to_string(id));
    }
    void DirectPlay8Event_DestroyGroup(DPNID, int32_t, bool&) override {}
    void DirectPlay8Event_DestroyPlayer(DPNID id, int32_t, bool&) override {
        log.push_back("DestroyPlayer " + std::to_string(id));
    }
    void DirectPlay8Event_EnumHostsQuery(DPNMSG_ENUM_HOSTS_QUERY&, bool&) override {}
    void DirectPlay8Event_EnumHostsResponse(DPNMSG_ENUM_HOSTS_RESPONSE&, bool&) override {}
    void DirectPlay8Event_HostMigrate(DPNID id, bool&) override {
        log.push_back("HostMigrate " + std::to_string(id));
    }
    void DirectPlay8Event_IndicateConnect(DPNMSG_INDICATE_CONNECT&, bool&) override {
        log.push_back("IndicateConnect");
    }
    void DirectPlay8Event_IndicatedConnectAborted(bool&) override {
        log.push_back("IndicatedConnectAborted");
    }
    void DirectPlay8Event_InfoNotify(int32_t, int32_t, bool&) override {}
    void DirectPlay8Event_Receive(DPNMSG_RECEIVE&, bool&) override {}
    void DirectPlay8Event_SendComplete(DPNMSG_SEND_COMPLETE&, bool&) override {}
    void DirectPlay8Event_TerminateSession(DPNMSG_TERMINATE_SESSION&, bool&) override {}
    std::vector<std::string> log;
};

const QUuid kApp(QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}"));

// One session's roles over the fake links, on a clock the test moves.
struct Session {
    FakeLinks links;
    Roster roster;
    SessionEvents events;
    Recorder recorder;
    qint64 clock = 1000;
    int leaves = 0;
    SessionContext context{links, roster, events, [this] { return clock; }, [this] { ++leaves; }};
    HostJoin hostJoin{context};
    Joiner joiner{context};
    Members members{context, hostJoin};

    Session() { events.setHandler(&recorder); }

    // Hosts a session for maxPlayers with `others` players present besides us.
    void host(int maxPlayers, int others) {
        roster.desc = net::SessionDesc{QUuid::createUuid(), kApp, maxPlayers, 0, "race"};
        roster.idSalt = 77;
        uint32_t seq = 0;
        roster.localId = roster.hostId = roster.allocateId(seq);
        roster.players[roster.localId] = Player{roster.localId, seq, "host"};
        roster.inSession = true;
        for (int i = 0; i < others; ++i) {
            const LinkId link = links.arrive(static_cast<uint16_t>(2303 + i));
            const DPNID id = roster.allocateId(seq);
            links.find(link)->kind = LinkKind::Player;
            links.find(link)->playerId = id;
            roster.players[id] = Player{id, seq, "p", link};
        }
    }
    // Delivers what was posted: the barrier is an empty dispatcher.
    std::vector<std::string> delivered() {
        for (int i = 0; i < 1000 && events.dispatcher().pendingCount() > 0; ++i) {
            QCoreApplication::processEvents();
        }
        return recorder.log;
    }
};

msg::JoinRequest request(QString name = "j") {
    return std::get<msg::JoinRequest>(net::joinRequest(kApp, {}, name, {}));
}

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
            r.players[seq + 1] = Player{seq + 1, seq, {}, 0, gone};
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
    EXPECT_FALSE(r.takeExpectation(1, 10));  // the oldest made room
    EXPECT_FALSE(r.takeExpectation(5, 51));  // wrong token
    EXPECT_TRUE(r.takeExpectation(5, 50));
    EXPECT_FALSE(r.takeExpectation(5, 50));  // used up
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
        {"other version", 3, true, [](msg::JoinRequest& r) { r.version = 2; },
         DPNERR_INVALIDAPPLICATION},
        {"other session", 3, true, [](msg::JoinRequest& r) { r.instance = QUuid::createUuid(); },
         DPNERR_INVALIDINSTANCE},
    };
    for (const Case& c : cases) {
        Session s;
        s.host(c.maxPlayers, 1);
        if (!c.host) {
            s.roster.hostId = s.roster.players.rbegin()->first;
        }
        const LinkId joiner = s.links.arrive(4000);
        msg::JoinRequest r = request();
        c.change(r);
        s.hostJoin.onRequest(joiner, r);
        const auto refusals = s.links.sentOn<msg::JoinRefuse>(joiner);
        if (c.refused == 0) {
            ASSERT_EQ(s.links.sentOn<msg::JoinAccept>(joiner).size(), 1u) << c.what;
            const msg::JoinAccept a = s.links.sentOn<msg::JoinAccept>(joiner)[0];
            EXPECT_EQ(a.players.size(), 2u) << c.what;
            EXPECT_EQ(a.players[0].port, 2302) << c.what;  // the host, where it was reached
            // The player present is told to expect the joiner, with the joiner's token.
            const auto expects = s.links.sentOn<msg::Expect>();
            ASSERT_EQ(expects.size(), 1u) << c.what;
            EXPECT_EQ(expects[0].token, a.token) << c.what;
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
    s.host(0, 2);
    const LinkId first = s.links.arrive(4000);
    const LinkId second = s.links.arrive(4001);
    s.hostJoin.onRequest(first, request("a"));
    s.hostJoin.onRequest(second, request("b"));
    EXPECT_TRUE(s.links.sentOn<msg::JoinAccept>(second).empty());  // waits its turn
    EXPECT_EQ(s.hostJoin.queued(), 1u);
    const DPNID id = s.links.sentOn<msg::JoinAccept>(first)[0].playerId;

    s.hostJoin.onControl(first, net::joinReady());
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
    s.host(0, 0);
    s.hostJoin.onRequest(s.links.arrive(4000), request());
    for (size_t i = 0; i < kMaxQueuedJoins; ++i) {
        s.hostJoin.onRequest(s.links.arrive(static_cast<uint16_t>(4001 + i)), request());
    }
    const LinkId late = s.links.arrive(5000);
    s.hostJoin.onRequest(late, request());
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
        s.host(0, 1);
        const LinkId joiner = s.links.arrive(4000);
        s.hostJoin.onRequest(joiner, request());
        if (c.ready) {
            s.hostJoin.onControl(joiner, net::joinReady());
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
    LinkId hostLink = 0;

    // Asks the host at kHostIp; its answer lists the host and players at these addresses.
    msg::JoinAccept start(std::vector<net::PlayerEntry> players) {
        hostLink = links.connectTo(kHostIp, 2302);
        joiner.begin(7, hostLink, kHostIp, request(), false);
        joiner.onLinkUp(hostLink, *links.find(hostLink));
        msg::JoinAccept a;
        a.playerId = 50;
        a.hostId = 1;
        a.token = 99;
        a.players = std::move(players);
        return a;
    }
    LinkId meshLink(DPNID id) const { return links.linkOf(LinkKind::MeshOut, id); }
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
    const msg::JoinAccept a = s.start({{1, 0, "h", 0, 2302},
                                       {2, 1, "local", 0x7F000001u, 2303},  // on the host's machine
                                       {3, 2, "far", 0x0A000009u, 2304}});
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
        EXPECT_EQ(hellos[0].token, 99u);
        EXPECT_TRUE(s.links.sentOn<msg::JoinReady>().empty());
        s.joiner.onControl(link, *s.links.find(link), net::meshAck());
        s.joiner.onControl(link, *s.links.find(link), net::meshAck());  // a repeat counts once
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
        {"a mesh link went down",
         [](Joining& s) {
             // A link that goes down has left the table by the time the joiner hears of it.
             const LinkId link = s.meshLink(2);
             const Link state = *s.links.find(link);
             s.links.all().erase(link);
             s.joiner.onLinkLost(state);
         },
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
