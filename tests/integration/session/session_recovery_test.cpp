// Sessions that go on through departures: a newcomer on the port a player has just given up, a
// peer that leaves and joins again, and a join through a new host that some players have not yet
// seen take over; orvel-bot killed and started again coming back as the player it was.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include "child_process.h"
#include "peer_process.h"
#include "scripted_host.h"

using orvel::testing::PeerProcess;
using orvel::testing::ScriptedHost;

namespace {

constexpr int kLong = 20000;

int hostSession(PeerProcess& p, int maxPlayers, int flags) {
    p.send(QStringLiteral("host %1 %2").arg(maxPlayers).arg(flags));
    return p.capture(QStringLiteral("^HOSTED (\\d+)$")).toInt();
}

// Joins the session at port from local port `from` (0: the first free session port); returns
// the local port, or 0 when the join failed.
int joinFrom(PeerProcess& p, int port, int from = 0) {
    const int before = p.count(QStringLiteral("^PORT "));
    const int connects = p.count(QStringLiteral("^CONNECT "));
    p.send(from > 0 ? QStringLiteral("connect 127.0.0.1 %1 %2").arg(port).arg(from)
                    : QStringLiteral("connect 127.0.0.1 %1").arg(port));
    if (!p.waitCount(QStringLiteral("^PORT "), before + 1)) {
        return 0;
    }
    const int local = p.lines()
                          .filter(QRegularExpression(QStringLiteral("^PORT ")))
                          .last()
                          .section(QLatin1Char(' '), 1)
                          .toInt();
    if (!p.waitCount(QStringLiteral("^CONNECT "), connects + 1, kLong)) {
        return 0;
    }
    const QStringList results = p.lines().filter(QRegularExpression(QStringLiteral("^CONNECT ")));
    return results.last() == QLatin1String("CONNECT 0x0") ? local : 0;
}

// A UDP port nobody uses right now, outside the session range.
int freePort() {
    QUdpSocket probe;
    probe.bind(QHostAddress::AnyIPv4, 0);
    return probe.localPort();
}

// a and b send guaranteed lines to each other for about ms; true when each got all of the
// other's and neither lost the other meanwhile (a player of that name lost earlier does not
// count).
bool keepTalking(PeerProcess& a, const QString& aName, PeerProcess& b, const QString& bName, int ms,
                 const QString& tag) {
    const int rounds = ms / 200;
    const QString aLost = QStringLiteral("^DESTROY %1 ").arg(bName);
    const QString bLost = QStringLiteral("^DESTROY %1 ").arg(aName);
    const int aLostBefore = a.count(aLost);
    const int bLostBefore = b.count(bLost);
    for (int i = 0; i < rounds; ++i) {
        a.send(QStringLiteral("send %1 8 %2-a%3").arg(bName, tag).arg(i));
        b.send(QStringLiteral("send %1 8 %2-b%3").arg(aName, tag).arg(i));
        QThread::msleep(200);
        a.read();
        b.read();
    }
    const bool all =
        b.waitCount(QStringLiteral("^RECV %1 %2-a\\d+$").arg(aName, tag), rounds, 5000) &&
        a.waitCount(QStringLiteral("^RECV %1 %2-b\\d+$").arg(bName, tag), rounds, 5000);
    return all && a.count(aLost) == aLostBefore && b.count(bLost) == bLostBefore;
}

// Bob leaves; Ed joins from the port Bob has just given up. The others' links to Bob's address
// must not be mistaken for Ed's.
TEST(PortReuse, ANewcomerOnTheLeaversPortKeepsItsLinks) {
    PeerProcess host(QStringLiteral("h")), cy(QStringLiteral("Cy")), bob(QStringLiteral("Bob"));
    const int port = hostSession(host, 6, 0);
    ASSERT_GT(port, 0);
    ASSERT_GT(joinFrom(cy, port), 0);
    const int bobPort = freePort();
    ASSERT_EQ(joinFrom(bob, port, bobPort), bobPort) << bob.dump().toStdString();
    ASSERT_TRUE(cy.waitCount(QStringLiteral("^CREATE "), 3));
    bob.send(QStringLiteral("close"));
    ASSERT_GE(bob.waitFor(QStringLiteral("^CLOSED$")), 0);
    ASSERT_GE(cy.waitFor(QStringLiteral("^DESTROY Bob \\d+ 1$")), 0) << cy.dump().toStdString();

    PeerProcess ed(QStringLiteral("Ed"));
    ASSERT_EQ(joinFrom(ed, port, bobPort), bobPort) << ed.dump().toStdString();
    EXPECT_TRUE(
        keepTalking(cy, QStringLiteral("Cy"), ed, QStringLiteral("Ed"), 4000, QStringLiteral("t")))
        << "Cy:\n"
        << cy.dump().toStdString() << "\nEd:\n"
        << ed.dump().toStdString();
    EXPECT_TRUE(
        keepTalking(host, QStringLiteral("h"), ed, QStringLiteral("Ed"), 1000, QStringLiteral("u")))
        << ed.dump().toStdString();
    EXPECT_EQ(host.count(QStringLiteral("^DESTROY Ed ")), 0);
}

// Bob is killed and Ed takes his port at once, long before the others would have noticed Bob's
// silence: the session lets Bob go and takes Ed in without mixing them up.
TEST(PortReuse, APortTakenOverFromAKilledPlayer) {
    PeerProcess host(QStringLiteral("h")), cy(QStringLiteral("Cy"));
    const int port = hostSession(host, 6, 0);
    ASSERT_GT(port, 0);
    ASSERT_GT(joinFrom(cy, port), 0);
    const int bobPort = freePort();
    {
        PeerProcess bob(QStringLiteral("Bob"));
        ASSERT_EQ(joinFrom(bob, port, bobPort), bobPort);
        ASSERT_TRUE(cy.waitCount(QStringLiteral("^CREATE "), 3));
        bob.send(QStringLiteral("send all 28 before"));
        ASSERT_GE(cy.waitFor(QStringLiteral("^RECV Bob before$")), 0);
        bob.killHard();
    }
    PeerProcess ed(QStringLiteral("Ed"));
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(joinFrom(ed, port, bobPort), bobPort) << ed.dump().toStdString();
    EXPECT_LT(clock.elapsed(), 10000);
    // Ed knows himself, the host and Cy; nobody else.
    EXPECT_TRUE(ed.waitCount(QStringLiteral("^CREATE "), 3));
    EXPECT_EQ(ed.count(QStringLiteral("^CREATE ")), 3) << ed.dump().toStdString();
    for (PeerProcess* p : {&host, &cy}) {
        const int gone = p->waitFor(QStringLiteral("^DESTROY Bob \\d+ 2$"));
        const int came = p->waitFor(QStringLiteral("^CREATE \\d+ 0 Ed$"));
        EXPECT_TRUE(gone >= 0 && gone < came) << p->dump().toStdString();
    }
    EXPECT_TRUE(
        keepTalking(cy, QStringLiteral("Cy"), ed, QStringLiteral("Ed"), 4000, QStringLiteral("t")))
        << "Cy:\n"
        << cy.dump().toStdString() << "\nEd:\n"
        << ed.dump().toStdString();
    EXPECT_EQ(ed.count(QStringLiteral("^RECV \\S+ before$")), 0);
}

// One peer object leaves and joins the same session again from the same port: the second join
// carries nothing of the first.
TEST(Rejoin, TheSamePeerLeavesAndJoinsAgainFromItsPort) {
    PeerProcess host(QStringLiteral("h")), cy(QStringLiteral("Cy")), x(QStringLiteral("X"));
    const int port = hostSession(host, 6, 0);
    ASSERT_GT(port, 0);
    ASSERT_GT(joinFrom(cy, port), 0);
    const int xPort = freePort();
    ASSERT_EQ(joinFrom(x, port, xPort), xPort);
    const QString firstId = x.capture(QStringLiteral("^CREATE (\\d+) 2 X$"));
    ASSERT_TRUE(cy.waitCount(QStringLiteral("^CREATE "), 3));
    x.send(QStringLiteral("close"));
    ASSERT_GE(x.waitFor(QStringLiteral("^CLOSED$")), 0);
    // The others keep sending until they have seen X go; none of it may reach the next session.
    cy.send(QStringLiteral("send all 20 late"));
    host.send(QStringLiteral("send all 28 late"));
    const int mark = x.lines().size();
    ASSERT_GE(cy.waitFor(QStringLiteral("^DESTROY X %1 1$").arg(firstId)), 0);

    ASSERT_EQ(joinFrom(x, port, xPort), xPort) << x.dump().toStdString();
    const QStringList after = x.lines().mid(mark);
    EXPECT_EQ(after.filter(QRegularExpression(QStringLiteral("^CREATE "))).size(), 3)
        << x.dump().toStdString();
    EXPECT_TRUE(
        after.filter(QRegularExpression(QStringLiteral("^(DESTROY|RECV|TERMINATE)"))).isEmpty())
        << x.dump().toStdString();
    const QString secondId = after.filter(QRegularExpression(QStringLiteral("^CREATE \\d+ 2 X$")))
                                 .value(0)
                                 .section(QLatin1Char(' '), 1, 1);
    EXPECT_FALSE(secondId.isEmpty());
    EXPECT_NE(secondId, firstId);
    // The host let the first X go before it took the second in.
    const int gone = host.waitFor(QStringLiteral("^DESTROY X %1 1$").arg(firstId));
    const int came = host.waitFor(QStringLiteral("^CREATE %1 0 X$").arg(secondId));
    EXPECT_TRUE(gone >= 0 && gone < came) << host.dump().toStdString();
    EXPECT_TRUE(
        keepTalking(cy, QStringLiteral("Cy"), x, QStringLiteral("X"), 4000, QStringLiteral("t")))
        << "Cy:\n"
        << cy.dump().toStdString() << "\nX:\n"
        << x.dump().toStdString();
}

// Refused as full, the same peer joins again from the same port once there is room.
TEST(Rejoin, RefusedThenAdmittedFromTheSamePort) {
    PeerProcess host(QStringLiteral("h")), p1(QStringLiteral("p1")), x(QStringLiteral("X"));
    const int port = hostSession(host, 2, 0);
    ASSERT_GT(joinFrom(p1, port), 0);
    const int xPort = freePort();
    x.send(QStringLiteral("connect 127.0.0.1 %1 %2").arg(port).arg(xPort));
    ASSERT_GE(x.waitFor(QStringLiteral("^CONNECT 0x80158610$"), kLong), 0)
        << x.dump().toStdString();
    p1.send(QStringLiteral("close"));
    ASSERT_GE(host.waitFor(QStringLiteral("^DESTROY p1 ")), 0);
    ASSERT_EQ(joinFrom(x, port, xPort), xPort) << x.dump().toStdString();
    EXPECT_EQ(x.count(QStringLiteral("^CREATE ")), 2);
    EXPECT_TRUE(
        keepTalking(host, QStringLiteral("h"), x, QStringLiteral("X"), 3000, QStringLiteral("t")))
        << x.dump().toStdString();
}

// The host leaves towards p1 and then goes dark towards p2. p1 takes over at once; p2 does not
// take p1's word while it still hears the host, but follows as soon as its own link to the host
// has gone dark, long before that link gives up; a newcomer then joins through p1.
TEST(Migration, APlayerFollowsTheNewHostOnceItsOwnLinkToTheOldOneIsDark) {
    ScriptedHost old(4);
    ASSERT_GT(old.port(), 0);
    PeerProcess p1(QStringLiteral("p1")), p2(QStringLiteral("p2"));
    const int p1Port = joinFrom(p1, old.port());
    ASSERT_GT(p1Port, 0) << p1.dump().toStdString();
    ASSERT_GT(joinFrom(p2, old.port()), 0) << p2.dump().toStdString();
    ASSERT_TRUE(p1.waitCount(QStringLiteral("^CREATE "), 3));
    ASSERT_TRUE(p2.waitCount(QStringLiteral("^CREATE "), 3));

    old.leaveTowards(QStringLiteral("p1"));
    ASSERT_GE(p1.waitFor(QStringLiteral("^MIGRATE p1 6$")), 0) << p1.dump().toStdString();
    EXPECT_EQ(p2.count(QStringLiteral("^MIGRATE")), 0);  // the host still answers it
    old.vanish();
    QElapsedTimer clock;
    clock.start();
    const int migrated = p2.waitFor(QStringLiteral("^MIGRATE p1 4$"));
    EXPECT_LT(clock.elapsed(), 6000);  // its link gives up only after 7 s
    PeerProcess p3(QStringLiteral("p3"));
    ASSERT_GT(joinFrom(p3, p1Port), 0) << p3.dump().toStdString() << "\np2:\n"
                                       << p2.dump().toStdString();
    EXPECT_EQ(p3.count(QStringLiteral("^CREATE ")), 3);
    // p2: the old host goes, p1 takes over, then the newcomer comes.
    const int gone = p2.waitFor(QStringLiteral("^DESTROY h "));
    const int came = p2.waitFor(QStringLiteral("^CREATE \\d+ 0 p3$"));
    EXPECT_TRUE(gone >= 0 && gone < migrated && migrated < came) << p2.dump().toStdString();
    EXPECT_EQ(p2.count(QStringLiteral("^TERMINATE")), 0);
    EXPECT_TRUE(
        keepTalking(p2, QStringLiteral("p2"), p3, QStringLiteral("p3"), 2000, QStringLiteral("t")))
        << "p2:\n"
        << p2.dump().toStdString() << "\np3:\n"
        << p3.dump().toStdString();
}

// orvel-bot killed and started again at once with the same name comes back into its session as
// the player it was, from its restart record: the others see it back, not a newcomer. A damaged
// record is passed over and the bot joins anew. Only a bot told --come-back keeps a record.
TEST(Restart, AKilledBotStartedAgainComesBackAsItself) {
    QTemporaryDir runtime;
    auto bot = [&runtime](orvel::testing::ChildProcess& p, const QStringList& args) {
        p.loopbackOnly();
        p.setEnv(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        return p.start(QStringLiteral(ORVEL_BOT),
                       args + QStringList{"--no-port-mapping", "--parked", "--report", "0"});
    };
    orvel::testing::ChildProcess ann;
    ASSERT_TRUE(bot(ann, {"--host", "--name", "Ann", "--session-name", "Dusk"}));
    const QString port =
        ann.waitText(QRegularExpression("hosting .* on port (\\d+)\n")).captured(1);
    ASSERT_FALSE(port.isEmpty()) << ann.text().toStdString();
    const QStringList bob{"--join", "127.0.0.1:" + port, "--name", "Bob", "--come-back"};
    const QDir records(runtime.filePath(QStringLiteral("orvel")));
    const auto recordsKept = [&records] {
        return records.entryList({"return-*"}, QDir::Files).size();
    };
    const struct {
        bool damaged;  // every record written over with junk first
        const char* annSees;
    } cases[] = {{false, "^- Bob is back\\.$"}, {true, "^- Bob has joined the game\\.$"}};
    {
        orvel::testing::ChildProcess first;
        ASSERT_TRUE(bot(first, bob));
        ASSERT_GE(ann.waitLine(QRegularExpression("^- Bob has joined the game\\.$")), 0);
        // Bob keeps one once he is not alone; Ann, not told to, keeps none.
        ASSERT_TRUE(orvel::testing::waitUntil([&] { return recordsKept() == 1; }));
        first.kill();
    }
    for (const auto& c : cases) {
        if (c.damaged) {
            for (const QString& name : records.entryList({"return-*"}, QDir::Files)) {
                QFile file(records.filePath(name));
                ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
                file.write("{\"id\": 2, \"name\": ");
            }
        }
        const int from = ann.lines().size();
        orvel::testing::ChildProcess again;
        ASSERT_TRUE(bot(again, bob)) << c.annSees;
        EXPECT_GE(again.waitLine(QRegularExpression("^joined on port ")), 0)
            << c.annSees << again.text().toStdString();
        EXPECT_EQ(again.count(QRegularExpression("^coming back to \"Dusk\"$")), c.damaged ? 0 : 1)
            << c.annSees;
        EXPECT_GE(
            ann.waitLine(QRegularExpression(c.annSees), orvel::testing::kDefaultTimeoutMs, from), 0)
            << c.annSees << ann.text().toStdString();
        ASSERT_TRUE(orvel::testing::waitUntil([&] { return recordsKept() == 1; })) << c.annSees;
        again.kill();
    }
    EXPECT_EQ(ann.count(QRegularExpression("^- Bob has joined the game\\.$")), 2);
    EXPECT_EQ(ann.stop(), 0);
}

}  // namespace
