// Coming back after a drop, in one process: the host gives a player that proves its key its old
// id and nothing to one that cannot; a player cut off from everyone joins again as itself and
// hears only what changed, a cut-off host comes back as a player of the new host, and after a
// minute of trying the session is lost.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>

#include "fake_session.h"
#include "near_miss.h"
#include "net/links/link_timing.h"
#include "session/restart_record.h"
#include "net/trust/return_key.h"
#include "platform/os/runtime_folder.h"

using namespace dx8;
using orvel::testing::kRouterIp;
namespace msg = dx8::net::msg;

namespace {

using Session = orvel::testing::FakeSession;

// The link of the try under way, come up.
LinkId tryUp(Session& s) {
    const LinkId link = s.links.linkOf(LinkKind::ToHost, 0);
    if (link != 0) {
        s.links.find(link)->connected = true;
        s.roles.linkUp(link, *s.links.find(link));
    }
    return link;
}

// Every link of ours goes dark and the one to `lost` gives up.
void cutOff(Session& s, LinkId lost) {
    for (auto& [link, state] : s.links.all()) {
        s.links.silent[link] = kDarkLinkMs;
    }
    s.lose(lost);
}

constexpr uint64_t kCode = 0x12345678ABu;  // a session code, as the meeting point gives one

enum class Answer { Own, OtherKey, OldChallenge, OtherSession, OtherPlayer, MadeForBob, NearMiss };

TEST(ComeBack, TheHostGivesItsOldIdOnlyToThePlayerThatProvesItsKey) {
    struct Case {
        const char* what;
        Answer answer;
        bool oldLinkStays;    // its old link has not given up yet here
        size_t nearMiss = 0;  // which of its own proof's near misses
    };
    std::vector<Case> cases = {
        {"its own key", Answer::Own, false},
        {"its own key, its old link still here", Answer::Own, true},
        {"another player's key", Answer::OtherKey, false},
        {"a proof over another challenge", Answer::OldChallenge, false},
        {"a proof for another session", Answer::OtherSession, false},
        {"a proof for another player", Answer::OtherPlayer, false},
        // Bob took Ann's answer to his own challenge and hands it on as his claim to be Ann.
        {"a proof made for Bob", Answer::MadeForBob, true},
    };
    const auto misses = orvel::testing::nearMisses(QByteArray(kReturnProofBytes, '\0'));
    for (size_t i = 0; i < misses.size(); ++i) {
        if (!misses[i].value.isEmpty()) {  // no proof at all asks for the challenge
            cases.push_back({misses[i].what, Answer::NearMiss, false, i});
        }
    }
    for (const auto& c : cases) {
        Session s;
        const std::vector<LinkId> links = s.hostWith(2);
        const Player ann = *s.roster.presentInJoinOrder()[1];
        const DPNID bob = s.roster.presentInJoinOrder()[2]->id;
        const ReturnKey annKey, bobKey;
        s.roles.playerSaid(ann.id, msg::OwnKey{annKey.publicKey()});
        s.roles.playerSaid(bob, msg::OwnKey{bobKey.publicKey()});
        // Everyone keeps every key, so that whoever hosts next can check a return too.
        EXPECT_EQ(s.links.sentOn<msg::KeyOf>(links[1]).at(0),
                  (msg::KeyOf{ann.id, annKey.publicKey()}))
            << c.what;
        if (!c.oldLinkStays) {
            s.lose(links[0]);
        }
        const LinkId back = s.links.arrive(5000);
        s.roles.controlArrived(back, msg::Return{ann.id, {}});
        const auto challenges = s.links.sentOn<msg::JoinChallenge>(back);
        ASSERT_EQ(challenges.size(), 1u) << c.what;
        const QByteArray& challenge = challenges[0].challenge;
        const QUuid instance = s.roster.desc.instance;
        const DPNID host = s.roster.localId;
        const QByteArray own = annKey.prove(challenge, instance, ann.id, host);
        const QByteArray proof =
            c.answer == Answer::Own            ? own
            : c.answer == Answer::NearMiss     ? orvel::testing::nearMisses(own)[c.nearMiss].value
            : c.answer == Answer::OtherKey     ? bobKey.prove(challenge, instance, ann.id, host)
            : c.answer == Answer::OldChallenge ? annKey.prove("earlier", instance, ann.id, host)
            : c.answer == Answer::OtherSession
                ? annKey.prove(challenge, QUuid::createUuid(), ann.id, host)
            : c.answer == Answer::OtherPlayer ? annKey.prove(challenge, instance, bob, host)
                                              : annKey.prove(challenge, instance, ann.id, bob);
        s.roles.controlArrived(back, msg::Return{ann.id, proof});
        s.roles.controlArrived(back, Session::request("Ann"));
        const auto accepts = s.links.sentOn<msg::JoinAccept>(back);
        if (c.answer != Answer::Own) {
            EXPECT_EQ(s.links.sentOn<msg::JoinRefuse>(back).at(0).result, DPNERR_NOTALLOWED)
                << c.what;
            EXPECT_TRUE(accepts.empty()) << c.what;
            EXPECT_EQ(s.roster.present(ann.id) != nullptr, c.oldLinkStays) << c.what;
            continue;
        }
        ASSERT_EQ(accepts.size(), 1u) << c.what;
        EXPECT_EQ(accepts[0].playerId, ann.id) << c.what;
        EXPECT_EQ(accepts[0].seq, ann.seq) << c.what;
        // Bob forgets the old Ann before it is told to expect her again.
        EXPECT_EQ(s.links.sentOn<msg::PlayerRemoved>(links[1]).at(0).playerId, ann.id) << c.what;
        EXPECT_EQ(s.links.sentOn<msg::Expect>(links[1]).back().playerId, ann.id) << c.what;
    }
    // An id nobody keeps a key of is not even challenged; a player that is not the host says
    // where the host is to one that proves itself, and takes nobody back.
    Session s;
    s.playerOf(3);
    const ReturnKey key;
    s.roles.playerSaid(1, msg::KeyOf{2, key.publicKey()});
    const LinkId stranger = s.links.arrive(5001);
    s.roles.controlArrived(stranger, msg::Return{77, {}});
    EXPECT_EQ(s.links.sentOn<msg::JoinRefuse>(stranger).at(0).result, DPNERR_NOTALLOWED);
    EXPECT_TRUE(s.links.sentOn<msg::JoinChallenge>(stranger).empty());
    const LinkId back = s.links.arrive(5002);
    s.roles.controlArrived(back, msg::Return{2, {}});
    const QByteArray challenge = s.links.sentOn<msg::JoinChallenge>(back).at(0).challenge;
    s.roles.controlArrived(back,
                           msg::Return{2, key.prove(challenge, s.roster.desc.instance, 2, 3)});
    EXPECT_EQ(s.links.sentOn<msg::HostAt>(back).at(0), (msg::HostAt{kRouterIp + 1, 2302}));
    EXPECT_EQ(s.links.sentOn<msg::JoinRefuse>(back).at(0).result, DPNERR_NOTHOST);
}

// Answers the try under way of player `self` as `host`, listing `players` (each at
// kRouterIp + id), and lets every one of them take our hello.
void acceptAs(Session& s, LinkId link, DPNID self, DPNID host, const std::vector<DPNID>& players) {
    msg::JoinAccept a;
    a.playerId = self;
    a.hostId = host;
    a.desc = s.roster.desc;
    for (DPNID id : players) {
        a.players.push_back({id, id, QStringLiteral("p%1").arg(id), kRouterIp + id, 2302});
        a.players.back().token = id * 11;
    }
    s.roles.controlArrived(link, a);
    for (DPNID id : players) {
        if (const LinkId mesh = s.links.linkOf(LinkKind::MeshOut, id); id != host && mesh != 0) {
            s.links.find(mesh)->connected = true;
            s.roles.linkUp(mesh, *s.links.find(mesh));
            s.roles.controlArrived(mesh, s.ackFor(id * 11));
        }
    }
    s.roles.controlArrived(link, net::joinDone());
}

TEST(ComeBack, ACutOffPlayerRejoinsAsItselfAndHearsOnlyWhatChanged) {
    const struct {
        const char* what;
        DPNID host;                  // who answers as the host
        std::vector<DPNID> players;  // whom it lists
        std::vector<std::string> events;
    } cases[] = {
        {"nothing changed", 1, {1, 2}, {"ComingBack 3"}},
        {"a player left and another joined",
         1,
         {1, 4},
         {"ComingBack 3", "DestroyPlayer 2", "CreatePlayer 4"}},
        {"the host moved on", 2, {2}, {"ComingBack 3", "DestroyPlayer 1", "HostMigrate 2"}},
    };
    for (const auto& c : cases) {
        Session s;
        s.playerOf(3);
        s.roster.desc.instance = QUuid::createUuid();
        s.roles.comeBack().becamePlayer();
        const QByteArray publicKey = s.links.sentOn<msg::OwnKey>(10).at(0).key;
        cutOff(s, 20);
        // Chat typed meanwhile goes once it is back; car states would be stale by then.
        std::vector<QByteArray> resent;
        s.roles.comeBack().resend = [&](const ComeBack::Held& h) { resent.push_back(h.data); };
        EXPECT_TRUE(s.roles.comeBack().hold(DPNID_ALL_PLAYERS_GROUP, "hi", DPNSEND_GUARANTEED));
        EXPECT_TRUE(s.roles.comeBack().hold(2, "car", 0));
        EXPECT_EQ(s.roster.hostId, 0u) << c.what;  // nobody hosts here meanwhile
        EXPECT_EQ(s.roster.activePlayers(), 3) << c.what;
        LinkId link = tryUp(s);
        ASSERT_NE(link, 0u) << c.what;
        EXPECT_EQ(s.links.endpointOf(link), (Endpoint{kRouterIp + 1, 2302})) << c.what;
        // It says who it was, and proves it, to the player it means to reach, only when
        // challenged; then it asks to join.
        EXPECT_EQ(s.links.sentOn<msg::Return>(link).at(0), (msg::Return{3, {}})) << c.what;
        EXPECT_TRUE(s.links.sentOn<msg::JoinRequest>(link).empty()) << c.what;
        s.roles.controlArrived(link, msg::JoinChallenge{"fresh", s.roster.desc.instance});
        const auto claims = s.links.sentOn<msg::Return>(link);
        ASSERT_EQ(claims.size(), 2u) << c.what;
        EXPECT_TRUE(provesReturn(publicKey, claims[1].proof, "fresh", s.roster.desc.instance, 3, 1))
            << c.what;
        ASSERT_EQ(s.links.sentOn<msg::JoinRequest>(link).size(), 1u) << c.what;
        EXPECT_TRUE(resent.empty()) << c.what;
        if (c.host != 1) {
            // Player 1 is not the host now: it says where the host is, and the proof made for it
            // goes nowhere else.
            s.roles.controlArrived(link, msg::HostAt{kRouterIp + c.host, 2302});
            s.roles.controlArrived(link, net::joinRefuse(DPNERR_NOTHOST));
            s.clock += kTryGapMs;
            s.roles.checkDeadlines();
            link = tryUp(s);
            s.roles.controlArrived(link, msg::JoinChallenge{"next", s.roster.desc.instance});
        }
        acceptAs(s, link, 3, c.host, c.players);
        EXPECT_EQ(resent, std::vector<QByteArray>{"hi"}) << c.what;
        EXPECT_FALSE(s.roles.comeBack().hold(DPNID_ALL_PLAYERS_GROUP, "hi", DPNSEND_GUARANTEED));
        EXPECT_EQ(s.delivered(), c.events) << c.what;
        EXPECT_FALSE(s.roles.comeBack().active()) << c.what;
        EXPECT_EQ(s.roster.localId, 3u) << c.what;
        EXPECT_EQ(s.roster.hostId, c.host) << c.what;
        EXPECT_EQ(s.roster.activePlayers(), static_cast<int>(c.players.size()) + 1) << c.what;
        // The new host keeps its key again (and tells it every key it keeps).
        EXPECT_EQ(s.links.sentOn<msg::OwnKey>(link).at(0).key, publicKey) << c.what;
    }
}

TEST(ComeBack, ACutOffHostComesBackAsAPlayerOfWhoeverTookOver) {
    Session s;
    const std::vector<LinkId> links = s.hostWith(2);
    s.roles.comeBack().becamePlayer();
    const DPNID next = s.roster.presentInJoinOrder()[1]->id;
    const DPNID other = s.roster.presentInJoinOrder()[2]->id;
    const DPNID self = s.roster.localId;
    cutOff(s, links[1]);
    EXPECT_FALSE(s.roster.isHost());  // it never hosts on by itself
    const LinkId link = tryUp(s);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(s.links.endpointOf(link), (Endpoint{kRouterIp, 40001}));  // next in line first
    s.roles.controlArrived(link, msg::JoinChallenge{"c", s.roster.desc.instance});
    msg::JoinAccept a;
    a.playerId = s.roster.localId;
    a.hostId = next;
    a.desc = s.roster.desc;
    a.players = {{next, 1, "p", kRouterIp, 40001}};
    s.roles.controlArrived(link, a);
    s.roles.controlArrived(link, net::joinDone());
    EXPECT_EQ(s.delivered(), (std::vector<std::string>{"ComingBack " + std::to_string(self),
                                                       "DestroyPlayer " + std::to_string(other),
                                                       "HostMigrate " + std::to_string(next)}));
    EXPECT_EQ(s.roster.hostId, next);
}

// A program started again soon after it ended without leaving comes back from its ticket; the
// outcome is a Connect's.
TEST(ComeBack, ANewStartComesBackFromItsTicketAndEndsLikeAConnect) {
    for (const bool answered : {true, false}) {
        Session s;
        const ReturnKey key;
        ReturnTicket ticket{QUuid::createUuid(),
                            orvel::testing::kTestApp,
                            3,
                            "me",
                            {{{kRouterIp + 1, 2302}, 1}},
                            key.secret(),
                            0,
                            {}};
        s.roles.comeBack().start(7, ticket, 20000);
        const LinkId link = tryUp(s);
        EXPECT_EQ(s.links.sentOn<msg::Return>(link).at(0), (msg::Return{3, {}})) << answered;
        if (answered) {
            s.roles.controlArrived(link, msg::JoinChallenge{"c", ticket.instance});
            EXPECT_TRUE(provesReturn(key.publicKey(), s.links.sentOn<msg::Return>(link).at(1).proof,
                                     "c", ticket.instance, 3, 1));
            acceptAs(s, link, 3, 1, {1, 2});
        } else {
            s.clock += 20000;
            s.roles.checkDeadlines();
            s.roles.checkDeadlines();
        }
        const std::vector<std::string> back{"CreatePlayer 3", "CreatePlayer 1", "CreatePlayer 2",
                                            "ConnectComplete 0x0"};
        const std::vector<std::string> lost{"ConnectComplete 0x80158510"};
        EXPECT_EQ(s.delivered(), answered ? back : lost);
        EXPECT_EQ(s.roster.inSession, answered);
    }
}

// Tries go round the addresses it knew, first where a player says the host is now (never to an
// address it did not know); after a minute the session is lost, as it was at once before.
TEST(ComeBack, AfterAMinuteOfTryingTheSessionIsLost) {
    Session s;
    s.playerOf(4);
    cutOff(s, 10);
    std::vector<Endpoint> tried;
    const auto note = [&] {
        const LinkId link = s.links.linkOf(LinkKind::ToHost, 0);
        if (link != 0 && (tried.empty() || tried.back() != s.links.endpointOf(link))) {
            tried.push_back(s.links.endpointOf(link));
        }
    };
    note();
    const LinkId link = tryUp(s);
    s.roles.controlArrived(link, msg::HostAt{kRouterIp + 9, 2310});
    s.roles.controlArrived(link, msg::HostAt{kRouterIp + 3, 2302});
    s.roles.controlArrived(link, net::joinRefuse(DPNERR_NOTHOST));
    const qint64 cut = s.clock;
    while (s.clock < cut + kComeBackMs - 1000) {
        s.clock += 250;
        s.roles.checkDeadlines();
        note();
    }
    ASSERT_GE(tried.size(), 3u);
    EXPECT_EQ(tried[0], (Endpoint{kRouterIp + 1, 2302}));  // the host it knew
    EXPECT_EQ(tried[1], (Endpoint{kRouterIp + 3, 2302}));  // where it heard the host is
    EXPECT_NE(std::find(tried.begin(), tried.end(), Endpoint{kRouterIp + 2, 2302}), tried.end());
    EXPECT_EQ(std::find(tried.begin(), tried.end(), Endpoint{kRouterIp + 9, 2310}), tried.end());
    EXPECT_EQ(s.leaves, 0);
    EXPECT_EQ(s.delivered(), std::vector<std::string>{"ComingBack 4"});  // told once
    s.clock = cut + kComeBackMs;
    s.roles.checkDeadlines();
    s.roles.checkDeadlines();
    EXPECT_EQ(s.leaves, 1);
    EXPECT_EQ(s.delivered().at(1), "TerminateSession 0x80158160");
}

// Where the addresses it knew stay dark, one with a code asks the meeting point that holds it
// (only when that is the one set: else nothing is sent) where the host is now, and comes back
// there as the player it proved itself to: the code names no player, so each one it knew in turn.
TEST(ComeBack, WhereTheAddressesFailTheCodeFindsTheHost) {
    const orvel::meet::Endpoint point{orvel::testing::kLoopbackIp, 2399};
    const Endpoint host{kRouterIp + 7, 2350};
    const struct {
        const char* what;
        const char* set;  // the meeting point set
        bool asked;
    } cases[] = {
        {"its meeting point", "127.0.0.1:2399", true},
        {"another meeting point", "127.0.0.1:2398", false},
        {"no meeting point", "", false},
    };
    for (const auto& c : cases) {
        setMeetPoint(c.set);
        Session s;
        const ReturnKey key;
        const std::vector<ReturnAddress> knew{{{kRouterIp + 1, 2302}, 1},
                                              {{kRouterIp + 2, 2302}, 2}};
        const ReturnTicket ticket{
            QUuid::createUuid(),   orvel::testing::kTestApp, 3, "me", knew, key.secret(), kCode,
            {point.ip, point.port}};
        s.roles.comeBack().start(7, ticket, kComeBackMs);
        const auto advance = [&s](int ms) {
            s.clock += ms;
            s.roles.checkDeadlines();
            s.roles.checkDeadlines();
        };
        advance(kTryLinkMs);  // the host's address it knew is dark
        if (!c.asked) {
            EXPECT_TRUE(s.links.datagrams.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(s.links.datagrams.size(), 1u) << c.what;
        EXPECT_EQ(s.links.datagrams[0].second,
                  orvel::meet::encode(orvel::meet::Lookup{0, {kCode}}));
        const QByteArray found =
            orvel::meet::encode(orvel::meet::Found{{kCode}, {host.ipv4, host.port}, "race", {}});
        s.roles.meet().receive(reinterpret_cast<const uint8_t*>(found.data()),
                               static_cast<size_t>(found.size()), {point.ip, point.port});
        // Player 1 first: an answer as host 2 does not come from where its proof went.
        for (const DPNID to : {1u, 2u}) {
            advance(to == 1 ? kTryLinkMs : kTryGapMs);
            const LinkId link = tryUp(s);
            EXPECT_EQ(s.links.endpointOf(link), host) << c.what;
            s.roles.controlArrived(link, msg::JoinChallenge{"c", ticket.instance});
            EXPECT_TRUE(provesReturn(key.publicKey(), s.links.sentOn<msg::Return>(link).at(1).proof,
                                     "c", ticket.instance, 3, to))
                << c.what;
            acceptAs(s, link, 3, 2, {2});
            EXPECT_EQ(s.roster.inSession, to == 2) << c.what;
        }
        EXPECT_EQ(s.roster.hostId, 2u) << c.what;
        // Its next record keeps the code.
        EXPECT_EQ(s.roles.comeBack().ticket().code, kCode) << c.what;
    }
    setMeetPoint({});
}

// A program started again takes its restart record only while it is fresh, whole and the user's
// own; anything else under the player's name is removed.
TEST(RestartRecord, OnlyAFreshWholeRecordOfOursIsTaken) {
    const QDir folder(QString::fromStdString(orvel::os::userRuntimeFolder(nullptr)));
    const ReturnKey key;
    const qint64 at = 1'700'000'000'000;
    const RestartRecord written{{QUuid::createUuid(),
                                 orvel::testing::kTestApp,
                                 3,
                                 "Ann",
                                 {{{kRouterIp + 1, 2302}, 1}, {{kRouterIp + 2, 2302}, 2}},
                                 key.secret(),
                                 kCode,
                                 {kRouterIp + 9, 2300}},
                                "Dusk",
                                at};
    enum class Spoil { None, Junk, Large, Link, Foreign, BadCode };
    const struct {
        const char* what;
        Spoil spoil;
        qint64 readAfter;
    } cases[] = {
        {"fresh", Spoil::None, 59000},
        {"over a minute old", Spoil::None, 61000},
        {"from the future", Spoil::None, -10000},
        {"damaged", Spoil::Junk, 0},
        {"too large", Spoil::Large, 0},
        {"a link to a record", Spoil::Link, 0},
        {"another user's", Spoil::Foreign, 0},
        {"a code out of range", Spoil::BadCode, 0},
    };
    for (const auto& c : cases) {
        if (c.spoil == Spoil::Foreign && ::geteuid() != 0) {
            continue;  // only root can give a file away
        }
        ASSERT_TRUE(writeRestartRecord(written)) << c.what;
        const QStringList files = folder.entryList({"return-*"}, QDir::Files | QDir::System);
        ASSERT_EQ(files.size(), 1) << c.what;  // written whole: no leftover beside it
        const QString path = folder.filePath(files[0]);
        QFile file(path);
        if (c.spoil == Spoil::Junk || c.spoil == Spoil::Large || c.spoil == Spoil::BadCode) {
            ASSERT_TRUE(file.open(QIODevice::ReadWrite)) << c.what;
            QByteArray whole = file.readAll();
            file.resize(0);
            file.write(c.spoil == Spoil::Junk    ? whole.left(whole.size() / 2)
                       : c.spoil == Spoil::Large ? whole + QByteArray(kMaxRestartRecordBytes, ' ')
                                                 : whole.replace(QByteArray::number(kCode),
                                                                 QByteArray::number(kCode << 8)));
            file.close();
        } else if (c.spoil == Spoil::Link) {
            ASSERT_TRUE(file.rename(folder.filePath("elsewhere")));
            ASSERT_TRUE(QFile::link(folder.filePath("elsewhere"), path));
        } else if (c.spoil == Spoil::Foreign) {
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        }
        const auto record = readRestartRecord("Ann", at + c.readAfter);
        const bool fresh = c.spoil == Spoil::None && c.readAfter == 59000;
        ASSERT_EQ(record.has_value(), fresh) << c.what;
        EXPECT_EQ(QFile::exists(path), fresh) << c.what;  // anything else is gone
        QFile::remove(folder.filePath("elsewhere"));
        if (fresh) {
            EXPECT_EQ(record->ticket.instance, written.ticket.instance);
            EXPECT_EQ(record->ticket.id, 3u);
            EXPECT_EQ(record->ticket.addresses, written.ticket.addresses);
            EXPECT_EQ(record->ticket.keySeed, key.secret());
            EXPECT_EQ(record->ticket.code, kCode);
            EXPECT_EQ(record->ticket.meetAt, (Endpoint{kRouterIp + 9, 2300}));
            EXPECT_EQ(record->sessionName, "Dusk");
            EXPECT_FALSE(readRestartRecord("Bob", at).has_value());  // one record a name
            removeRestartRecord("Ann");
        }
    }
}

// A writer killed between writing its copy and putting it in place leaves the copy behind: the
// next write of that record removes it, and leaves alone the copy of a process still running.
TEST(RestartRecord, ACopyLeftByAKilledWriterGoesWithTheNextWrite) {
    const QDir folder(QString::fromStdString(orvel::os::userRuntimeFolder(nullptr)));
    const RestartRecord record{{QUuid::createUuid(), orvel::testing::kTestApp, 3, "Ann",
                                {{{kRouterIp + 1, 2302}, 1}}, ReturnKey().secret(), 0, {}},
                               "Dusk",
                               QDateTime::currentMSecsSinceEpoch()};
    ASSERT_TRUE(writeRestartRecord(record));
    const QStringList written = folder.entryList({"return-*"}, QDir::Files);
    ASSERT_EQ(written.size(), 1);
    const pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ASSERT_GT(gone, 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const auto copyOf = [&](pid_t pid) {
        return folder.filePath(QStringLiteral("%1.%2.new").arg(written[0]).arg(pid));
    };
    for (pid_t pid : {gone, ::getppid()}) {
        QFile copy(copyOf(pid));
        ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(writeRestartRecord(record));
    EXPECT_FALSE(QFile::exists(copyOf(gone)));
    EXPECT_TRUE(QFile::exists(copyOf(::getppid())));
    QFile::remove(copyOf(::getppid()));
    removeRestartRecord("Ann");
    EXPECT_TRUE(folder.entryList({"return-*"}, QDir::Files).isEmpty());
}

}  // namespace
