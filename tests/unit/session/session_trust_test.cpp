// A session against hostile players, in one process: who may say what, who a link belongs to,
// joins nobody can stall, names nobody can take, addresses nobody can aim us at, the relay's
// limits and the password.

#include <gtest/gtest.h>

#include <functional>

#include "fake_session.h"
#include "near_miss.h"
#include "net/links/link_timing.h"
#include "net/paths/nat_paths.h"

using namespace dx8;
using orvel::testing::kRouterIp;
using orvel::testing::nearMisses;
namespace msg = dx8::net::msg;

using Session = orvel::testing::FakeSession;

// Whatever changes who is who follows one rule: the host says it, or, for the host being gone,
// anyone once our own link to the host has gone dark too.
TEST(Authority, OnlyTheHostChangesWhoIsWho) {
    const msg::PlayerAdded invented{77, 9, "ghost", 0, 0, 0, 0, 1};
    struct Case {
        const char* what;
        DPNID from;
        net::ControlMessage m;
        bool hostDark;
        DPNID hostAfter;
        int playersAfter;
        QString nameOf3;
    } cases[] = {
        {"next in line: the host is gone, but it is not", 2, net::playerRemoved(1, 3), false, 1, 4,
         "p3"},
        {"next in line: the host is gone, and it is dark", 2, net::playerRemoved(1, 3), true, 2, 3,
         "p3"},
        {"anyone: the host is gone, and it is dark", 3, net::playerRemoved(1, 3), true, 2, 3, "p3"},
        {"next in line: another player is gone", 2, net::playerRemoved(3, 3), true, 1, 4, "p3"},
        {"host: a player is gone", 1, net::playerRemoved(3, 3), false, 1, 3, "p3"},
        {"next in line: a relayed player joined", 2, invented, false, 1, 4, "p3"},
        {"host: a relayed player joined", 1, invented, false, 1, 5, "p3"},
        {"next in line: another's name", 2, msg::NameOf{3, "Host"}, false, 1, 4, "p3"},
        {"host: a player's name", 1, msg::NameOf{3, "Cy"}, false, 1, 4, "Cy"},
        {"a player names itself to a player", 3, net::info("Host"), false, 1, 4, "p3"},
        {"next in line: who takes over", 2, msg::Paths{{3, 2}, {}}, true, 1, 4, "p3"},
        {"next in line: the session ends", 2, net::terminate(0), false, 1, 4, "p3"},
        {"host: the session ends", 1, net::terminate(0), false, 1, 0, "p3"},
    };
    for (const Case& c : cases) {
        Session s;
        s.playerOf(4);
        s.links.silent[10] = c.hostDark ? kDarkLinkMs : 0;
        s.roles.playerSaid(c.from, c.m);
        EXPECT_EQ(s.roster.hostId, c.hostAfter) << c.what;
        EXPECT_EQ(s.leaves, c.playersAfter == 0 ? 1 : 0) << c.what;  // the session ended
        if (s.leaves == 0) {
            EXPECT_EQ(s.roster.activePlayers(), c.playersAfter) << c.what;
        }
        if (s.roster.present(3) != nullptr) {
            EXPECT_EQ(s.roster.present(3)->name, c.nameOf3) << c.what;
        }
        // Data on the relay from one that is not the host is no one's.
        s.roles.relayArrived(*s.links.find(10 * c.from), wrapRelayed(77, "chat"), true);
        const auto lines = s.delivered();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Receive 77 chat"),
                  c.from == 1 && c.playersAfter == 5 ? 1 : 0)
            << c.what;
    }
    // Heard while the host still answered us, and taken once our own link to it goes dark.
    Session s;
    s.playerOf(4);
    s.roles.playerSaid(3, net::playerRemoved(1, 3));
    s.roles.checkDeadlines();
    EXPECT_EQ(s.roster.hostId, 1u);
    s.links.silent[10] = kDarkLinkMs;
    s.clock = s.roles.earliestDeadline();
    s.roles.checkDeadlines();
    EXPECT_EQ(s.roster.hostId, 2u);
}

// Each player knows its own token for a joiner: one player replaying to another what it was
// told, from a socket of its own, neither passes for the joiner nor keeps it out.
TEST(PairTokens, AReplayedHelloNeitherPassesNorBlocks) {
    Session h;
    const std::vector<LinkId> present = h.hostWith(2);
    const LinkId joinerLink = h.links.arrive(4000, 0x28282899u);
    h.hostJoin.onRequest(joinerLink, Session::request());
    const msg::JoinAccept accept = h.links.sentOn<msg::JoinAccept>(joinerLink).at(0);
    const msg::Expect toP = h.links.sentOn<msg::Expect>(present[0]).at(0);
    const msg::Expect toM = h.links.sentOn<msg::Expect>(present[1]).at(0);
    EXPECT_NE(toP.token, toM.token);
    EXPECT_EQ(accept.players[1].token, toP.token);
    EXPECT_EQ(accept.players[2].token, toM.token);

    const DPNID j = accept.playerId;
    const uint64_t mKnows = pairProof(toM.token, ProofOf::Hello, j);
    const uint64_t jProves = pairProof(toP.token, ProofOf::Hello, j);
    struct Case {
        const char* what;
        uint64_t replayed;
        bool expectFirst;  // the host's word reaches P before the hellos
        bool early;        // the replay comes ahead of the joiner's own hello too
    } cases[] = {
        {"M's own proof, after the word", mKnows, true, true},
        {"M's own proof, before the word", mKnows, false, true},
        {"the token itself", toM.token, false, true},
        {"the joiner's proof, replayed late", jProves, true, false},
    };
    for (const Case& c : cases) {
        Session p;
        p.playerOf(4);
        const LinkId replay = p.links.arrive(5000, 0x0B0B0B0Bu);
        const LinkId real = p.links.arrive(4000, 0x28282899u);
        if (c.expectFirst) {
            p.roles.playerSaid(1, toP);
        }
        if (c.early) {
            p.roles.controlArrived(replay, net::meshHello(j, c.replayed));
        }
        p.roles.controlArrived(real, net::meshHello(j, jProves));
        if (!c.expectFirst) {
            p.roles.playerSaid(1, toP);
        }
        p.roles.controlArrived(replay, net::meshHello(j, c.replayed));
        EXPECT_EQ(p.links.find(real)->kind, LinkKind::MeshIn) << c.what;
        EXPECT_NE(p.links.has(replay) ? p.links.find(replay)->kind : LinkKind::Closing,
                  LinkKind::MeshIn)
            << c.what;
        // P's answer proves the token to the joiner, and nothing else has one.
        EXPECT_EQ(p.links.sentOn<msg::MeshAck>(real),
                  (std::vector<msg::MeshAck>{{pairProof(toP.token, ProofOf::Ack, j)}}))
            << c.what;
        EXPECT_TRUE(p.links.sentOn<msg::MeshAck>(replay).empty()) << c.what;
    }
}

// A player takes a hello only with the proof of the pair's token made for the one it names:
// near misses of it, and proofs made for another player, pair or role, count for nothing.
TEST(PairTokens, OnlyTheProofMadeForTheJoinerPassesItsHello) {
    constexpr uint64_t kToken = 0x1F2E3D4C5B6A7988u;
    constexpr DPNID kJoiner = 50;
    const uint64_t right = pairProof(kToken, ProofOf::Hello, kJoiner);
    auto rows = nearMisses(right);
    rows.insert(rows.end(), {{"made for another player", pairProof(kToken, ProofOf::Hello, 51)},
                             {"of another pair", pairProof(kToken + 1, ProofOf::Hello, kJoiner)},
                             {"the pair's ack", pairProof(kToken, ProofOf::Ack, kJoiner)},
                             {"right", right}});
    for (const auto& row : rows) {
        Session p;
        p.playerOf(4);
        p.roles.playerSaid(1, net::expect(kJoiner, kToken, 0x28282899u, 4000));
        const LinkId link = p.links.arrive(4000, 0x28282899u);
        p.roles.controlArrived(link, net::meshHello(kJoiner, row.value));
        const bool passes = &row == &rows.back();
        EXPECT_EQ(p.links.find(link)->kind == LinkKind::MeshIn, passes) << row.what;
        EXPECT_EQ(p.links.sentOn<msg::MeshAck>(link).size(), passes ? 1u : 0u) << row.what;
    }
}

// The joiner takes a player's answer only when it proves their pair's token to the joiner.
TEST(PairTokens, OnlyTheAckMadeForTheJoinerLinksIt) {
    constexpr uint64_t kToken = 0x0123456789ABCDEFu;
    const uint64_t right = pairProof(kToken, ProofOf::Ack, 50);  // askToJoin makes us player 50
    auto rows = nearMisses(right);
    rows.insert(rows.end(), {{"made for another player", pairProof(kToken, ProofOf::Ack, 51)},
                             {"of another pair", pairProof(kToken + 1, ProofOf::Ack, 50)},
                             {"the pair's hello", pairProof(kToken, ProofOf::Hello, 50)},
                             {"right", right}});
    for (const auto& row : rows) {
        Session j;
        msg::JoinAccept a = j.askToJoin(0x0A000001u);
        a.players = {{1, 0, "h", 0, 2302}, {2, 1, "p", 0x0A000009u, 2304, 0, 0, 0, 0, kToken}};
        j.joiner.onControl(j.hostLink, *j.links.find(j.hostLink), a);
        const LinkId link = j.links.linkOf(LinkKind::MeshOut, 2);
        ASSERT_NE(link, 0u) << row.what;
        j.joiner.onControl(link, *j.links.find(link), msg::MeshAck{row.value});
        const bool passes = &row == &rows.back();
        EXPECT_EQ(j.links.find(link)->acked, passes) << row.what;
        EXPECT_EQ(j.links.sentOn<msg::JoinReady>(j.hostLink).size(), passes ? 1u : 0u) << row.what;
    }
}

// Joins from other addresses do not wait behind stalled ones, however slow those say their
// links are; one from a stalled joiner's own address waits at most its short deadline.
TEST(Joins, AStalledJoinerHoldsUpNobodyForLong) {
    struct Case {
        const char* what;
        int stallers;
        bool sameAddress;  // the honest joiner shares the first staller's address
        qint64 acceptedAfter;
    } cases[] = {
        {"three stalled, from elsewhere", 3, false, 0},
        {"eight stalled, from elsewhere", 8, false, kConnectMs},  // every slot taken: it waits
        {"one stalled, from the same address", 1, true, kMeshWaitMs + 1},
    };
    for (const Case& c : cases) {
        Session h;
        h.hostWith(1);
        for (int i = 0; i < c.stallers; ++i) {
            const LinkId stalled = h.links.arrive(4000, 0x0A000001u + i);
            h.links.rtts[stalled] = 2000;  // slow on purpose: no deadline stretches for it
            h.hostJoin.onRequest(stalled, Session::request("s"));
        }
        const LinkId honest = h.links.arrive(4001, c.sameAddress ? 0x0A000001u : 0x0A0000FFu);
        h.hostJoin.onRequest(honest, Session::request());
        qint64 waited = 0;
        while (h.links.sentOn<msg::JoinAccept>(honest).empty() && waited <= kConnectMs) {
            waited += 1000;
            h.clock += 1000;
            h.roles.checkDeadlines();
        }
        ASSERT_FALSE(h.links.sentOn<msg::JoinAccept>(honest).empty()) << c.what;
        EXPECT_LE(waited, c.acceptedAfter + 1000) << c.what;
        h.ready(honest);
        h.hostJoin.onAddedAck(h.roster.presentInJoinOrder()[1]->id,
                              h.links.sentOn<msg::JoinAccept>(honest)[0].playerId);
        EXPECT_EQ(h.links.sentOn<msg::JoinDone>(honest).size(), 1u) << c.what;
    }
}

// Two joiners under way at once: the one that becomes a player first is the other's to link
// to as well, with a token of that pair, before the other becomes a player.
TEST(Joins, JoinersUnderWayAtOnceLinkToEachOther) {
    Session h;
    const LinkId p = h.hostWith(1)[0];
    const LinkId a = h.links.arrive(4000, 0x0A000001u), b = h.links.arrive(4000, 0x0A000002u);
    h.hostJoin.onRequest(a, Session::request("a"));
    h.hostJoin.onRequest(b, Session::request("b"));
    h.ready(b);
    h.ready(a);  // waits while b is added
    const DPNID bId = h.links.sentOn<msg::JoinAccept>(b)[0].playerId;
    h.hostJoin.onAddedAck(h.links.find(p)->playerId, bId);
    ASSERT_EQ(h.links.sentOn<msg::JoinDone>(b).size(), 1u);
    const auto reach = h.links.sentOn<msg::Reach>(a);
    ASSERT_EQ(reach.size(), 1u);
    EXPECT_EQ(reach[0].player.id, bId);
    EXPECT_EQ(h.links.sentOn<msg::Expect>(b).at(0).token, reach[0].player.token);
    EXPECT_TRUE(h.links.sentOn<msg::PlayerAdded>(b).empty());  // a has not linked to b yet
    h.ready(a);
    EXPECT_EQ(h.links.sentOn<msg::PlayerAdded>(b).size(), 1u);
}

// The host makes every name unique, on join and on rename, cleaned of what could fake a line,
// and tells the one who asked.
TEST(Names, TheHostMakesEveryNameUniqueAndTellsTheAsker) {
    struct Case {
        const char* what;
        QString asked;
        bool rename;  // the first player renames itself rather than a joiner joining
        QString got;
        QString firstIs = "p";  // the first player's name; the second is "p (2)"
    } cases[] = {
        {"free", "Cy", false, "Cy"},
        {"taken", "host", false, "host (2)"},
        {"taken, other case", "HOST", false, "HOST (2)"},
        {"taken twice", "p", false, "p (3)"},
        {"a fake line", "gg\r\n<host> leave", false, "gg <host> leave"},
        {"long", QString(40, QChar(0x4E2D)), false, QString(32, QChar(0x4E2D))},
        {"long and taken", QString(40, 'x'), false, QString(28, 'x') + " (2)", QString(32, 'x')},
        {"rename to the host's", "host", true, "host (2)"},
        {"rename to its own", "p", true, "p"},
    };
    for (const Case& c : cases) {
        Session h;
        const std::vector<LinkId> links = h.hostWith(2);
        const DPNID first = h.links.find(links[0])->playerId;
        h.roster.players[first].name = c.firstIs;
        h.roster.players[h.links.find(links[1])->playerId].name = "p (2)";
        QString got;
        if (c.rename) {
            h.roles.playerSaid(first, net::info(c.asked));
            got = h.links.sentOn<msg::NameOf>(links[0]).at(0).name;
            EXPECT_EQ(h.roster.present(first)->name, got) << c.what;
            EXPECT_EQ(h.links.sentOn<msg::NameOf>(links[1]).at(0).name, got) << c.what;
        } else {
            // What reaches the host has been through the decoder.
            const QByteArray bytes = net::encodeControl(Session::request(c.asked));
            const auto m = net::decodeControl(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                              static_cast<size_t>(bytes.size()));
            const LinkId joiner = h.links.arrive(4000, 0x0A000009u);
            h.hostJoin.onRequest(joiner, std::get<msg::JoinRequest>(*m));
            got = h.links.sentOn<msg::JoinAccept>(joiner).at(0).name;
        }
        EXPECT_EQ(got, c.got) << c.what;
    }
    // The player who asked takes the host's word, and shows under it.
    Session p;
    p.playerOf(4);
    p.members.rename("p1");
    EXPECT_EQ(p.links.sentOn<msg::Info>(10), (std::vector<msg::Info>{{"p1"}}));
    p.roles.playerSaid(1, msg::NameOf{4, "p1 (2)"});
    EXPECT_EQ(p.roster.present(4)->name, "p1 (2)");
    EXPECT_EQ(p.delivered(), std::vector<std::string>{"InfoNotify 4"});
}

// A player that announces someone else's address as its own, and a new router mapping every
// two seconds, draws next to nothing toward it: its router's address must be where the host
// sees it, its LAN address is for those behind the same router, and an address that never
// answered is tried again only after a minute.
TEST(Addresses, AnAnnouncedVictimReceivesNextToNothing) {
    constexpr Endpoint kVictim{0x0B0B0B0Bu, 2302};
    struct Case {
        const char* what;
        uint32_t ourIp;  // where the host sees us
        size_t maxDials;
    } cases[] = {
        {"behind another router", 0x28282830u, 0},
        {"behind the liar's router", kRouterIp, 1},
    };
    for (const Case& c : cases) {
        Session h;  // the host: the liar a and its relayed partner b
        const std::vector<LinkId> links = h.hostWith(2);
        const DPNID a = h.links.find(links[0])->playerId, b = h.links.find(links[1])->playerId;
        h.roster.players[a].lan = kVictim;
        h.roster.relayedPairs.insert(std::minmax(a, b));
        Session bs;  // b, which links to a whenever the host says so
        bs.roster.inSession = true;
        bs.roster.localId = b;
        bs.roster.hostId = h.roster.localId;
        bs.roster.observed = {c.ourIp, 2302};
        bs.roster.players[bs.roster.hostId] = Player::linked(bs.roster.hostId, 0, "h", 10, {});
        bs.roster.players[a] = Player::relayed(a, 1, "a", 10);
        for (int step = 0; step < 30; ++step) {  // a minute
            h.roles.playerSaid(a, msg::Mapped{kVictim.ipv4, static_cast<uint16_t>(2302 + step)});
            h.roles.playerSaid(a, msg::Mapped{kRouterIp, static_cast<uint16_t>(2302 + step)});
            h.clock += 2000;
            h.roles.checkDeadlines();
            for (const auto& sent : h.links.sent) {
                if (sent.link == links[1] && std::holds_alternative<msg::Reach>(sent.m)) {
                    bs.roles.playerSaid(bs.roster.hostId, sent.m);
                }
            }
            h.links.sent.clear();
            bs.clock += 2000;
            bs.roles.checkDeadlines();
        }
        EXPECT_NE(h.roster.present(a)->mapped.ipv4, kVictim.ipv4) << c.what;
        size_t dials = 0;
        for (const auto& [link, at] : bs.links.endpoints) {
            dials += at.ipv4 == kVictim.ipv4 ? 1 : 0;
        }
        EXPECT_LE(dials, c.maxDials) << c.what;
    }
}

// The host carries a pair's data up to a margin over twenty car states a second and chat, and
// drops what goes beyond.
TEST(Relay, TheHostDropsAPairsTrafficBeyondItsShare) {
    Session h;
    const std::vector<LinkId> links = h.hostWith(2);
    const DPNID b = h.links.find(links[1])->playerId;
    const QByteArray car = wrapRelayed(b, QByteArray(152, 'c'));
    struct Case {
        const char* what;
        int sends;
        qint64 after;
        size_t atMost, atLeast;
    } cases[] = {
        {"twenty car states in a second", 20, 1000, 20, 20},
        {"a flood at once", 1000, 0, kRelayBurstPackets, 1},
        {"a flood a second later", 1000, 1000, kRelayPacketsPerSecond, 1},
    };
    for (const Case& c : cases) {
        h.clock += c.after;
        const size_t before = h.links.data.size();
        for (int i = 0; i < c.sends; ++i) {
            h.roles.relayArrived(*h.links.find(links[0]), car, false);
        }
        const size_t sent = h.links.data.size() - before;
        EXPECT_LE(sent, c.atMost) << c.what;
        EXPECT_GE(sent, c.atLeast) << c.what;
    }
}

// A session's password is proven over the host's challenge and never crosses the wire; a wrong
// one is refused with its own code and the joiner may try again; without one, nothing changes.
TEST(Password, ProvenNeverSentAndAWrongOneMayTryAgain) {
    const QString kSecret = QStringLiteral("sekret-pw");
    struct Case {
        const char* what;
        QString hostHas, joinerGives;
        bool challenged, accepted;
    } cases[] = {
        {"no password", "", "", false, true},
        {"the right one", kSecret, kSecret, true, true},
        {"a wrong one", kSecret, "guess", true, false},
        {"none given", kSecret, "", true, false},
    };
    for (const Case& c : cases) {
        Session h, j;
        h.hostWith(1);
        h.roster.password = c.hostHas;
        j.password = c.joinerGives;
        j.askToJoin(0x0A000001u);
        const LinkId link = h.links.arrive(4000, 0x0A000009u);
        // The two sides pass each other what they send until neither has more to say.
        size_t hSeen = 0, jSeen = 0;
        for (int round = 0; round < 4; ++round) {
            for (; jSeen < j.links.sent.size(); ++jSeen) {
                h.roles.controlArrived(link, j.links.sent[jSeen].m);
            }
            for (; hSeen < h.links.sent.size(); ++hSeen) {
                if (h.links.sent[hSeen].link == link && j.joiner.active()) {
                    j.joiner.onControl(j.hostLink, *j.links.find(j.hostLink),
                                       h.links.sent[hSeen].m);
                }
            }
        }
        EXPECT_EQ(h.links.sentOn<msg::JoinChallenge>(link).size(), c.challenged ? 1u : 0u)
            << c.what;
        EXPECT_EQ(h.links.sentOn<msg::JoinAccept>(link).size(), c.accepted ? 1u : 0u) << c.what;
        EXPECT_EQ(j.links.sentOn<msg::JoinRequest>().size(), c.challenged ? 2u : 1u) << c.what;
        for (const auto& sent : j.links.sent) {
            EXPECT_FALSE(net::encodeControl(sent.m).contains(kSecret.toUtf8())) << c.what;
        }
        if (!c.accepted) {
            EXPECT_EQ(j.delivered(), std::vector<std::string>{"ConnectComplete 0x80158410"})
                << c.what;
            EXPECT_FALSE(j.joiner.active()) << c.what;
            j.password = kSecret;  // the peer is good for another try
            j.askToJoin(0x0A000001u);
            EXPECT_TRUE(j.joiner.active()) << c.what;
        }
    }
}

// Only the proof over this link's challenge and this session passes: near misses of it, and
// proofs over another challenge or for another session, are refused.
TEST(Password, OnlyTheProofOverThisChallengeAndSessionPasses) {
    const QString kSecret = QStringLiteral("sekret-pw");
    for (size_t i = 0;; ++i) {
        Session h;
        h.hostWith(1);
        h.roster.password = kSecret;
        const LinkId link = h.links.arrive(4000, 0x0A000009u);
        h.hostJoin.onRequest(link, Session::request());
        const QByteArray challenge = h.links.sentOn<msg::JoinChallenge>(link).at(0).challenge;
        const QUuid instance = h.roster.desc.instance;
        const QByteArray right = passwordProof(kSecret, challenge, instance);
        auto rows = nearMisses(right);
        rows.insert(
            rows.end(),
            {{"over another challenge", passwordProof(kSecret, newChallenge(), instance)},
             {"for another session", passwordProof(kSecret, challenge, QUuid::createUuid())},
             {"right", right}});
        msg::JoinRequest answer = Session::request();
        answer.proof = rows.at(i).value;
        h.hostJoin.onRequest(link, answer);
        const bool passes = i + 1 == rows.size();
        EXPECT_EQ(h.links.sentOn<msg::JoinAccept>(link).size(), passes ? 1u : 0u) << rows[i].what;
        EXPECT_EQ(h.links.sentOn<msg::JoinRefuse>(link).size(), passes ? 0u : 1u) << rows[i].what;
        if (passes) {
            break;
        }
    }
}
