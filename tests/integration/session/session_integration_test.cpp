// Sessions of several player processes on loopback.

#include <enet/enet.h>
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QThread>
#include <QUdpSocket>
#include <memory>
#include <vector>

#include "child_process.h"
#include "peer_process.h"
#include "platform/dx8/dx8_types.h"
#include "net/session/session_protocol.h"
#include "raw_peer.h"
#include "wait.h"

using orvel::testing::PeerProcess;
using orvel::testing::RawPeer;
using orvel::testing::scaledMs;

namespace {

constexpr int kLong = 20000;

// Hosts a session and returns its port.
int hostSession(PeerProcess& p, int maxPlayers, int flags) {
    p.send(QStringLiteral("host %1 %2").arg(maxPlayers).arg(flags));
    return p.capture(QStringLiteral("^HOSTED (\\d+)$")).toInt();
}

bool join(PeerProcess& p, int port) {
    p.send(QStringLiteral("connect 127.0.0.1 %1").arg(port));
    return p.waitFor(QStringLiteral("^CONNECT 0x0$"), kLong) >= 0;
}

int joinPort(PeerProcess& p) {
    return p.capture(QStringLiteral("^PORT (\\d+)$")).toInt();
}

TEST(SessionMesh, SixPlayersDeliverOnceAndRefuseTheSeventh) {
    PeerProcess host(QStringLiteral("h"));
    ASSERT_TRUE(host.started());
    const int port = hostSession(host, 6, 0);
    ASSERT_GT(port, 0);
    std::vector<std::unique_ptr<PeerProcess>> players;
    for (int i = 1; i <= 5; ++i) {
        players.push_back(std::make_unique<PeerProcess>(QStringLiteral("p%1").arg(i)));
        ASSERT_TRUE(join(*players.back(), port)) << players.back()->dump().toStdString();
    }

    // The third player: itself, then the two present players in join order, then the result.
    PeerProcess& third = *players[1];
    const int self = third.waitFor(QStringLiteral("^CREATE \\d+ 2 p2$"));
    const int first = third.waitFor(QStringLiteral("^CREATE \\d+ 4 h$"));
    const int second = third.waitFor(QStringLiteral("^CREATE \\d+ 0 p1$"));
    const int done = third.waitFor(QStringLiteral("^CONNECT 0x0$"));
    EXPECT_TRUE(self >= 0 && self < first && first < second && second < done)
        << third.dump().toStdString();
    EXPECT_EQ(third.count(QStringLiteral("^CREATE ")), 3);
    EXPECT_GE(host.waitFor(QStringLiteral("^CREATE \\d+ 0 p2$")), 0);
    EXPECT_GE(players[0]->waitFor(QStringLiteral("^CREATE \\d+ 0 p2$")), 0);
    // Everyone knows all six.
    EXPECT_TRUE(host.waitCount(QStringLiteral("^CREATE "), 6));
    for (auto& p : players) {
        EXPECT_TRUE(p->waitCount(QStringLiteral("^CREATE "), 6)) << p->dump().toStdString();
    }

    // Every message of one reaches the five others once and never its sender.
    std::vector<PeerProcess*> all{&host};
    for (auto& p : players) {
        all.push_back(p.get());
    }
    const QStringList names{"h", "p1", "p2", "p3", "p4", "p5"};
    constexpr int kEach = 10;
    for (int k = 0; k < kEach; ++k) {
        for (size_t s = 0; s < all.size(); ++s) {
            all[s]->send(QStringLiteral("send all 20 car-%1-%2").arg(names[s]).arg(k));
        }
    }
    for (size_t r = 0; r < all.size(); ++r) {
        EXPECT_TRUE(all[r]->waitCount(QStringLiteral("^RECV \\S+ car-"), 5 * kEach, kLong))
            << all[r]->dump().toStdString();
    }
    // A guaranteed line from every sender behind its cars: once each has arrived, a doubled car
    // would have too.
    for (size_t s = 0; s < all.size(); ++s) {
        all[s]->send(QStringLiteral("send all 28 done-%1").arg(names[s]));
    }
    for (size_t r = 0; r < all.size(); ++r) {
        EXPECT_TRUE(all[r]->waitCount(QStringLiteral("^RECV \\S+ done-"), 5, kLong))
            << all[r]->dump().toStdString();
    }
    for (size_t r = 0; r < all.size(); ++r) {
        for (size_t s = 0; s < all.size(); ++s) {
            for (int k = 0; k < kEach; ++k) {
                const int n =
                    all[r]->count(QStringLiteral("^RECV %1 car-%1-%2$").arg(names[s]).arg(k));
                EXPECT_EQ(n, r == s ? 0 : 1) << "receiver " << r << " sender " << s << " #" << k;
            }
        }
    }

    // A message to one player reaches only that one: a guaranteed broadcast behind it on the
    // same channel shows that the others would have had it by then.
    all[3]->send(QStringLiteral("send p4 28 whisper-to-p4"));
    all[3]->send(QStringLiteral("send all 28 marker"));
    for (size_t r = 0; r < all.size(); ++r) {
        if (r == 3) {
            continue;
        }
        ASSERT_GE(all[r]->waitFor(QStringLiteral("^RECV p3 marker$")), 0);
        EXPECT_EQ(all[r]->count(QStringLiteral("whisper-to-p4")), r == 4 ? 1 : 0) << r;
    }
    EXPECT_EQ(all[3]->count(QStringLiteral("^RECV .*marker")), 0);

    // The seventh is refused as full, and its peer is still good for hosting.
    PeerProcess seventh(QStringLiteral("p6"));
    seventh.send(QStringLiteral("connect 127.0.0.1 %1").arg(port));
    EXPECT_GE(seventh.waitFor(QStringLiteral("^CONNECT 0x80158610$"), kLong), 0)
        << seventh.dump().toStdString();
    EXPECT_GT(hostSession(seventh, 6, 0), 0);
    EXPECT_EQ(host.count(QStringLiteral("^CREATE \\d+ 0 p6$")), 0);
    for (PeerProcess* p : all) {
        EXPECT_EQ(p->count(QStringLiteral("NESTED|DESTROY|TERMINATE")), 0);
    }
}

// A host and two players who joined it in that order.
class HostAndTwo : public ::testing::Test {
protected:
    // flags: the session's (4: the host role moves on when the host leaves).
    void start(int flags) {
        port = hostSession(host, 6, flags);
        ASSERT_GT(port, 0) << host.dump().toStdString();
        ASSERT_TRUE(join(p1, port)) << p1.dump().toStdString();
        ASSERT_TRUE(join(p2, port)) << p2.dump().toStdString();
    }
    // After the host went: both see it go, then p1 takes over (its local and host flags on
    // itself, the host flag for p2), and neither is told the session ended.
    void expectP1TakesOver(const QString& destroyed, int timeoutMs) {
        const int d1 = p1.waitFor(destroyed, timeoutMs);
        const int m1 = p1.waitFor(QStringLiteral("^MIGRATE p1 6$"), timeoutMs);
        const int d2 = p2.waitFor(destroyed, timeoutMs);
        const int m2 = p2.waitFor(QStringLiteral("^MIGRATE p1 4$"), timeoutMs);
        EXPECT_TRUE(d1 >= 0 && d1 < m1) << p1.dump().toStdString();
        EXPECT_TRUE(d2 >= 0 && d2 < m2) << p2.dump().toStdString();
        EXPECT_EQ(p1.count(QStringLiteral("^TERMINATE")), 0);
        EXPECT_EQ(p2.count(QStringLiteral("^TERMINATE")), 0);
    }

    PeerProcess host{QStringLiteral("h")};
    PeerProcess p1{QStringLiteral("p1")};
    PeerProcess p2{QStringLiteral("p2")};
    int port = 0;
};
using SessionMigration = HostAndTwo;
using SessionEnd = HostAndTwo;

TEST_F(SessionMigration, HostLeavesAndTheEarliestJoinedTakesOver) {
    ASSERT_NO_FATAL_FAILURE(start(4));
    const int p1Port = joinPort(p1);

    host.send(QStringLiteral("close"));
    ASSERT_GE(host.waitFor(QStringLiteral("^CLOSED$")), 0);
    expectP1TakesOver(QStringLiteral("^DESTROY h "), 15000);

    // A newcomer finds the session at the new host and joins through it.
    PeerProcess p3(QStringLiteral("p3"));
    p3.send(QStringLiteral("enum 127.0.0.1"));
    EXPECT_GE(p3.waitFor(QStringLiteral("^ENUM \\S+ 2 6 \\d+ .*port=%1$").arg(p1Port)), 0)
        << p3.dump().toStdString();
    p3.send(QStringLiteral("cancel"));
    ASSERT_TRUE(join(p3, p1Port)) << p3.dump().toStdString();
    const int c0 = p3.waitFor(QStringLiteral("^CREATE \\d+ 2 p3$"));
    const int c1 = p3.waitFor(QStringLiteral("^CREATE \\d+ 4 p1$"));
    const int c2 = p3.waitFor(QStringLiteral("^CREATE \\d+ 0 p2$"));
    EXPECT_TRUE(c0 >= 0 && c0 < c1 && c1 < c2) << p3.dump().toStdString();
    EXPECT_GE(p2.waitFor(QStringLiteral("^CREATE \\d+ 0 p3$")), 0);

    // The session goes on.
    p2.send(QStringLiteral("send all 28 still-here"));
    EXPECT_GE(p1.waitFor(QStringLiteral("^RECV p2 still-here$")), 0);
    EXPECT_GE(p3.waitFor(QStringLiteral("^RECV p2 still-here$")), 0);
}

TEST_F(SessionEnd, NonMigratingHostClosing) {
    ASSERT_NO_FATAL_FAILURE(start(0));
    host.send(QStringLiteral("close"));
    EXPECT_GE(p1.waitFor(QStringLiteral("^TERMINATE 0x80158270$")), 0) << p1.dump().toStdString();
    EXPECT_GE(p2.waitFor(QStringLiteral("^TERMINATE 0x80158270$")), 0) << p2.dump().toStdString();
    EXPECT_EQ(p1.count(QStringLiteral("^MIGRATE")), 0);
}

TEST_F(SessionEnd, KilledPlayerAndKilledHost) {
    ASSERT_NO_FATAL_FAILURE(start(0));
    ASSERT_TRUE(p1.waitCount(QStringLiteral("^CREATE "), 3));

    QElapsedTimer clock;
    clock.start();
    p2.killHard();
    EXPECT_GE(host.waitFor(QStringLiteral("^DESTROY p2 "), 10000), 0) << host.dump().toStdString();
    EXPECT_GE(p1.waitFor(QStringLiteral("^DESTROY p2 "), 10000), 0) << p1.dump().toStdString();
    EXPECT_LT(clock.elapsed(), scaledMs(10000));

    clock.restart();
    host.killHard();
    EXPECT_GE(p1.waitFor(QStringLiteral("^TERMINATE 0x80158160$"), 10000), 0)
        << p1.dump().toStdString();
    EXPECT_LT(clock.elapsed(), scaledMs(10000));
}

TEST_F(SessionMigration, VanishedHostIsReplacedByTheEarliestJoined) {
    ASSERT_NO_FATAL_FAILURE(start(4));
    ASSERT_TRUE(p2.waitCount(QStringLiteral("^CREATE "), 3));
    QElapsedTimer clock;
    clock.start();
    host.killHard();
    expectP1TakesOver(QStringLiteral("^DESTROY h \\d+ 2$"), 10000);
    EXPECT_LT(clock.elapsed(), scaledMs(10000));
    p1.send(QStringLiteral("send all 28 carry-on"));
    EXPECT_GE(p2.waitFor(QStringLiteral("^RECV p1 carry-on$")), 0);
}

TEST(SessionMesh, AJoinerThatCannotReachEveryPlayerFails) {
    PeerProcess host(QStringLiteral("h"));
    const int port = hostSession(host, 6, 0);
    RawPeer deaf(1);  // it answers its host but has no slot for anyone else
    ASSERT_TRUE(deaf.join(static_cast<uint16_t>(port), QStringLiteral("deaf")));
    ASSERT_GE(host.waitFor(QStringLiteral("^CREATE \\d+ 0 deaf$")), 0);

    PeerProcess joiner(QStringLiteral("j"));
    joiner.send(QStringLiteral("connect 127.0.0.1 %1").arg(port));
    int failed = -1;
    orvel::testing::waitUntil(
        [&] {
            deaf.serve(100);
            return (failed = joiner.waitFor(QStringLiteral("^CONNECT "), 10)) >= 0;
        },
        kLong);
    ASSERT_GE(failed, 0) << joiner.dump().toStdString();
    EXPECT_EQ(joiner.lines()[failed], QStringLiteral("CONNECT 0x80158590"));
    deaf.serve(300);
    EXPECT_EQ(host.count(QStringLiteral("^CREATE \\d+ 0 j$")), 0) << host.dump().toStdString();
    EXPECT_EQ(host.count(QStringLiteral("^DESTROY")), 0);
    // The joiner's peer is still good: it can host a session of its own.
    EXPECT_GT(hostSession(joiner, 6, 0), 0);
}

TEST(SessionSearch, FindsThreeSessionsFollowsCountsAndCancels) {
    PeerProcess a(QStringLiteral("a")), b(QStringLiteral("b")), c(QStringLiteral("c"));
    const int pa = hostSession(a, 4, 0);
    const int pb = hostSession(b, 4, 0);
    const int pc = hostSession(c, 4, 0);
    ASSERT_TRUE(pa > 0 && pb > 0 && pc > 0);
    ASSERT_TRUE(pa != pb && pb != pc && pa != pc);

    PeerProcess searcher(QStringLiteral("s"));
    searcher.send(QStringLiteral("enum"));
    const QString handle = searcher.capture(QStringLiteral("^ENUMHANDLE (\\d+)$"));
    for (int port : {pa, pb, pc}) {
        EXPECT_GE(searcher.waitFor(QStringLiteral("^ENUM \\S+ 1 4 \\d+ .*port=%1$").arg(port)), 0)
            << searcher.dump().toStdString();
    }
    // The count follows a join.
    PeerProcess joiner(QStringLiteral("j"));
    ASSERT_TRUE(join(joiner, pb));
    EXPECT_GE(searcher.waitFor(QStringLiteral("^ENUM \\S+ 2 4 \\d+ .*port=%1$").arg(pb)), 0)
        << searcher.dump().toStdString();

    searcher.send(QStringLiteral("cancel"));
    EXPECT_GE(searcher.waitFor(QStringLiteral("^ASYNC %1 0x80158650$").arg(handle)), 0);
    // A second search started now: once it has heard from a session, answers to the first that
    // were under way are in; while it hears four more rounds, the first gets none.
    PeerProcess watch(QStringLiteral("w"));
    watch.send(QStringLiteral("enum"));
    const QString answer = QStringLiteral("^ENUM \\S+ 1 4 \\d+ .*port=%1$").arg(pa);
    ASSERT_GE(watch.waitFor(answer), 0) << watch.dump().toStdString();
    const int after = searcher.count(QStringLiteral("^ENUM "));
    EXPECT_TRUE(orvel::testing::staysUntil(
        [&] { return searcher.count(QStringLiteral("^ENUM ")) == after; },
        [&] { return watch.count(answer) >= 5; }))
        << searcher.dump().toStdString();
}

TEST(SessionDispatch, NoEventWhileAHandlerRuns) {
    PeerProcess host(QStringLiteral("h"));
    const int port = hostSession(host, 6, 0);
    PeerProcess p1(QStringLiteral("p1"));
    ASSERT_TRUE(join(p1, port));
    ASSERT_GE(host.waitFor(QStringLiteral("^CREATE \\d+ 0 p1$")), 0);

    host.send(QStringLiteral("nest 800"));
    // Commands and datagrams reach the host by different ways: n1 must not beat the command.
    ASSERT_GE(host.waitFor(QStringLiteral("^ARMED$")), 0);
    for (int i = 1; i <= 5; ++i) {
        p1.send(QStringLiteral("send all 28 n%1").arg(i));
    }
    p1.send(QStringLiteral("rename p1b"));
    ASSERT_GE(host.waitFor(QStringLiteral("^INFO p1b$")), 0) << host.dump().toStdString();
    const QStringList& lines = host.lines();
    const int begin = lines.indexOf(QStringLiteral("BEGIN"));
    const int end = lines.indexOf(QStringLiteral("END"));
    ASSERT_TRUE(begin > 0 && end == begin + 1) << host.dump().toStdString();
    EXPECT_EQ(lines[begin - 1], QStringLiteral("RECV p1 n1"));
    for (int i = 2; i <= 5; ++i) {
        EXPECT_EQ(lines.value(end + i - 1), QStringLiteral("RECV p1 n%1").arg(i));
    }
    EXPECT_EQ(host.count(QStringLiteral("NESTED")), 0);
}

TEST(SessionHostile, JunkStrangersAndQueryFloodsChangeNothing) {
    PeerProcess host(QStringLiteral("h"));
    const int port = hostSession(host, 6, 0);
    PeerProcess p1(QStringLiteral("p1"));
    ASSERT_TRUE(join(p1, port));
    const int p1Port = joinPort(p1);
    const QString hostId = host.capture(QStringLiteral("^CREATE (\\d+) 6 h$"));
    const QString p1Id = p1.capture(QStringLiteral("^CREATE (\\d+) 2 p1$"));
    ASSERT_FALSE(hostId.isEmpty());
    ASSERT_FALSE(p1Id.isEmpty());

    // Random and truncated datagrams at both session ports.
    QUdpSocket junk;
    ASSERT_TRUE(junk.bind(QHostAddress::LocalHost, 0));
    auto* rng = QRandomGenerator::global();
    for (int i = 0; i < 300; ++i) {
        QByteArray bytes(static_cast<int>(rng->bounded(0, 700)), '\0');
        for (auto& ch : bytes) {
            ch = static_cast<char>(rng->bounded(256));
        }
        if (i % 3 == 0 && bytes.size() > 4) {
            bytes[0] = 'O';  // something that opens like a query but is not one
            bytes[1] = 'R';
            bytes[2] = 'V';
            bytes[3] = 'Q';
        }
        junk.writeDatagram(bytes, QHostAddress::LocalHost, static_cast<quint16>(port));
        junk.writeDatagram(bytes.left(bytes.size() / 2), QHostAddress::LocalHost,
                           static_cast<quint16>(p1Port));
    }

    // A flood of valid queries: few answers, each at most three times its query.
    QUdpSocket flood;
    ASSERT_TRUE(flood.bind(QHostAddress::LocalHost, 0));
    dx8::net::DiscoveryQuery q;
    q.nonce = 7;
    const QByteArray query = dx8::net::encodeQuery(q);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 1000; ++i) {
        flood.writeDatagram(query, QHostAddress::LocalHost, static_cast<quint16>(port));
        if (i % 100 == 0) {
            QThread::msleep(20);
        }
    }
    int answers = 0;
    QElapsedTimer wait;
    wait.start();
    while (wait.elapsed() < 1000) {
        if (flood.waitForReadyRead(100)) {
            while (flood.hasPendingDatagrams()) {
                const QNetworkDatagram d = flood.receiveDatagram();
                ++answers;
                EXPECT_LE(d.data().size(), 3 * query.size());
            }
        }
    }
    const double seconds = clock.elapsed() / 1000.0;
    EXPECT_GE(answers, 1);
    EXPECT_LE(answers, 10 + static_cast<int>(5 * seconds) + 2) << "over " << seconds << " s";

    // A stranger links to p1 and claims to be the host, then says the host's lines.
    const auto disconnected = [](const ENetEvent& e, const auto&) {
        return e.type == ENET_EVENT_TYPE_DISCONNECT;
    };
    {
        RawPeer s;  // a stranger who never joined
        ENetPeer* link = s.connect(static_cast<uint16_t>(p1Port), 3000);
        ASSERT_NE(link, nullptr);
        s.send(link, dx8::net::meshHello(hostId.toUInt(), 12345));
        s.send(link, dx8::net::playerRemoved(p1Id.toUInt(), 0));
        s.send(link, 0, QByteArray("forged"), false);
        s.serveUntil(disconnected, 1500);
    }
    {
        RawPeer s;  // a stranger who never joined
        ENetPeer* link = s.connect(static_cast<uint16_t>(port), 3000);
        ASSERT_NE(link, nullptr);
        s.send(link, 0, QByteArray("forged"), false);
        s.send(link, dx8::net::terminate(dx8::DPNERR_HOSTTERMINATEDSESSION));
        s.send(link, 1, QByteArray("\x03\x01\x02", 3));  // a truncated accept
        s.serveUntil(disconnected, 1500);
    }

    // The session is as it was.
    p1.send(QStringLiteral("send all 28 after"));
    host.send(QStringLiteral("send all 28 after"));
    EXPECT_GE(host.waitFor(QStringLiteral("^RECV p1 after$")), 0) << host.dump().toStdString();
    EXPECT_GE(p1.waitFor(QStringLiteral("^RECV h after$")), 0) << p1.dump().toStdString();
    for (PeerProcess* p : {&host, &p1}) {
        EXPECT_EQ(p->count(QStringLiteral("forged|^DESTROY|^TERMINATE|^MIGRATE")), 0)
            << p->dump().toStdString();
        EXPECT_EQ(p->count(QStringLiteral("^CREATE ")), 2);
    }
}

// A session with a password, hosted by orvel-bot: a search sees it marked (flag 0x80), the right
// password joins, a wrong one or none is told so, and no datagram of the joins, passed through a
// relay on loopback, holds the password.
TEST(SessionPassword, TheRightOneJoinsAWrongOneIsToldAndNoneCrossesTheWire) {
    const QString secret = QStringLiteral("Sesame-7f3k9");
    auto bot = [](orvel::testing::ChildProcess& p, const QStringList& args) {
        p.loopbackOnly();
        return p.start(QStringLiteral(ORVEL_BOT),
                       args + QStringList{"--no-port-mapping", "--parked"});
    };
    orvel::testing::ChildProcess host;
    ASSERT_TRUE(bot(host, {"--host", "--name", "Ann", "--password", secret}));
    quint16 port =
        host.waitText(QRegularExpression("hosting .* on port (\\d+)\n")).captured(1).toUShort();
    ASSERT_NE(port, 0) << host.text().toStdString();
    PeerProcess searcher(QStringLiteral("s"));
    searcher.send(QStringLiteral("enum 127.0.0.1:%1").arg(port));
    EXPECT_GE(searcher.waitFor(QStringLiteral("^ENUM \\S+ 1 6 \\d+ 128 .*port=%1$").arg(port)), 0);

    // The joiner sends to front; what comes in there goes out of back to the host, and back.
    QUdpSocket front, back;
    ASSERT_TRUE(front.bind(QHostAddress::LocalHost, 0) && back.bind(QHostAddress::LocalHost, 0));
    quint16 joiner = 0;
    QByteArray seen;  // every datagram, one after another
    auto relay = [&](QUdpSocket* from, QUdpSocket* out, quint16* to) {
        QObject::connect(from, &QUdpSocket::readyRead, [&, from, out, to] {
            while (from->hasPendingDatagrams()) {
                const QNetworkDatagram d = from->receiveDatagram();
                joiner = from == &front ? static_cast<quint16>(d.senderPort()) : joiner;
                seen += d.data();
                out->writeDatagram(d.data(), QHostAddress::LocalHost, *to);
            }
        });
    };
    relay(&front, &back, &port);
    relay(&back, &front, &joiner);
    for (const QString& password : {QStringLiteral("guess"), QString(), secret}) {
        const bool right = password == secret;
        orvel::testing::ChildProcess p;
        ASSERT_TRUE(bot(p, {"--join", QStringLiteral("127.0.0.1:%1").arg(front.localPort()),
                            "--name", "Bob", "--password", password}));
        // waitUntil turns the event loop, which the relay needs.
        EXPECT_TRUE(orvel::testing::waitUntil([&] {
            return p.text().contains(right ? "joined on port " : "0x80158410 (wrong password)");
        })) << p.text().toStdString();
        EXPECT_EQ(right ? p.stop() : p.waitExit(), right ? 0 : 4);
    }
    ASSERT_GT(seen.size(), 1000);
    const QByteArray utf16(reinterpret_cast<const char*>(secret.utf16()), secret.size() * 2);
    EXPECT_FALSE(seen.contains(secret.toUtf8()) || seen.contains(utf16));
    EXPECT_EQ(host.stop(), 0);
}

}  // namespace
