// Racing together end to end: `orvel` programs beside `kartova-standin` games on their own X
// displays, with `orvel-bot` players, all in one session on loopback. Cars travel from game to
// game, chat and whispers reach who they should, slots follow the roster, and every end of a
// session ends the program through its shutdown.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include "race_players.h"
#include "startup_steps.h"

namespace race_e2e {
namespace {

using orvel::testing::kReleaseOrder;
using orvel::testing::only;

std::string hex(const std::vector<uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()))
        .toHex()
        .toStdString();
}

// The game's message area as drawn.
QJsonObject message(orvel::testing::StandinProcess& game) {
    return game.json(QStringLiteral("message"));
}

QString padded(const QString& text) {
    return text + QString(50 - text.size(), QLatin1Char(' '));
}

// Bytes of [begin, end) that differ from the game's start-up contents.
std::vector<std::pair<uint32_t, uint32_t>> changesWithin(orvel::testing::StandinProcess& game,
                                                         uint32_t begin, uint32_t end) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    const QString reply = game.command(QStringLiteral("changes"));
    const QJsonArray list = QJsonDocument::fromJson(reply.mid(3).toUtf8()).array();
    for (const QJsonValue& v : list) {
        const QJsonArray range = v.toArray();
        const uint32_t a = range.at(0).toString().toUInt(nullptr, 16);
        const auto n = static_cast<uint32_t>(range.at(1).toInteger());
        if (a < end && a + n > begin) {
            out.push_back({a, n});
        }
    }
    return out;
}

bool inPieces(uint32_t record, uint32_t a) {
    return (a >= record && a < record + 0x80) || (a >= record + 0x3DC && a < record + 0x3EC);
}

class ChatE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (!orvel::testing::haveXvfb()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
    }
};

// Both games patched and racing, the session up.
void expectRacing(Racer& r) {
    ASSERT_TRUE(r.game().waitUntil([&] { return r.game().siteA() == 0xC3; }))
        << r.name().toStdString() << ": the game was not patched";
}

TEST_F(ChatE2E, TwoGamesRaceTogetherAndChat) {
    Racer ann(QStringLiteral("Ann"),
              {QStringLiteral("--race"), QStringLiteral("--colour"), QStringLiteral("#2040d0")});
    Racer bob(QStringLiteral("Bob"),
              {QStringLiteral("--race"), QStringLiteral("--colour"), QStringLiteral("#20d040")});
    ASSERT_TRUE(ann.hostWith("Twin Race", false, {&bob}));
    ASSERT_NO_FATAL_FAILURE(expectRacing(ann));
    ASSERT_NO_FATAL_FAILURE(expectRacing(bob));
    // Each holds the other in slot 1.
    EXPECT_TRUE(ann.waitLog(QStringLiteral("roster: player \\d+ \"Bob\" slot 1")));
    EXPECT_TRUE(bob.waitLog(QStringLiteral("roster: player \\d+ \"Ann\" slot 1")));
    EXPECT_TRUE(bob.waitChatLine(QStringLiteral("- Ann has joined the game.")));
    EXPECT_TRUE(ann.waitChatLine(QStringLiteral("- Bob has joined the game.")));

    // Each game's car 0, held still, arrives byte for byte in the other game's slot 1.
    for (Racer* from : {&ann, &bob}) {
        Racer& to = from == &ann ? bob : ann;
        SCOPED_TRACE(from->name().toStdString());
        ASSERT_EQ(from->game().command(QStringLiteral("hold on")), QStringLiteral("ok"));
        ASSERT_EQ(from->game().command(QStringLiteral("place 120 -80 0.5")), QStringLiteral("ok"));
        const std::vector<uint8_t> sent = pieces(from->game(), 0);
        ASSERT_EQ(sent.size(), 144u);
        EXPECT_TRUE(waitUntil([&] { return pieces(to.game(), 1) == sent; }))
            << hex(sent) << "\n"
            << hex(pieces(to.game(), 1));
        // It keeps following: a new place shows up as well.
        ASSERT_EQ(from->game().command(QStringLiteral("place -300 210 2.0")), QStringLiteral("ok"));
        const std::vector<uint8_t> moved = pieces(from->game(), 0);
        ASSERT_NE(moved, sent);
        EXPECT_TRUE(waitUntil([&] { return pieces(to.game(), 1) == moved; }));
        // Nothing of slot 1's record outside the three pieces has changed, and no other car.
        const uint32_t r1 = carRecord(1);
        for (const auto& [a, n] : changesWithin(to.game(), carRecord(1), carRecord(6))) {
            for (uint32_t b = a; b < a + n; ++b) {
                if (b >= r1 && b < r1 + kRecordStride) {
                    EXPECT_TRUE(inPieces(r1, b)) << std::hex << b;
                }
            }
        }
        const auto slot2 = to.game().json(QStringLiteral("car 2"));
        EXPECT_FALSE(slot2.value(QStringLiteral("x")).toDouble() == -300 &&
                     slot2.value(QStringLiteral("y")).toDouble() == 210);
    }

    // Chat: "<name> text" on the other side, in its history and on its game's screen; the
    // sender's own echo has no blank after ">".
    ann.say(QStringLiteral("hello there"));
    EXPECT_TRUE(bob.waitChatLine(QStringLiteral("<Ann> hello there")))
        << bob.orvel().log().toStdString();
    EXPECT_TRUE(ann.waitChatLine(QStringLiteral("<Ann>hello there")));
    EXPECT_TRUE(waitUntil([&] {
        return message(bob.game()).value(QStringLiteral("last")).toString() ==
               padded(QStringLiteral("Ann> hello there"));
    })) << QJsonDocument(message(bob.game())).toJson().toStdString();
    EXPECT_TRUE(message(bob.game()).value(QStringLiteral("shown")).toBool());
    EXPECT_EQ(message(ann.game()).value(QStringLiteral("last")).toString(),
              padded(QStringLiteral("Ann>hello there")));
    EXPECT_FALSE(ann.hasChatLine(QStringLiteral("<Ann> hello there")));

    // On the menu no car is written, while the other player still races and sends.
    ASSERT_EQ(bob.game().command(QStringLiteral("race end")), QStringLiteral("ok"));
    ASSERT_TRUE(ann.game().waitFrames(5));
    const std::vector<uint8_t> parked = bob.game().read(carRecord(1), kRecordStride);
    ASSERT_EQ(ann.game().command(QStringLiteral("place 50 60 1.0")), QStringLiteral("ok"));
    const std::vector<uint8_t> target = pieces(ann.game(), 0);
    // A second of Ann's frames: twenty of her ticks.
    EXPECT_TRUE(staysUntil([&] { return bob.game().read(carRecord(1), kRecordStride) == parked; },
                           ann.game().framesPassed(50)));
    // Back in a race, Ann's car arrives again.
    ASSERT_EQ(bob.game().command(QStringLiteral("race start")), QStringLiteral("ok"));
    EXPECT_TRUE(waitUntil([&] { return pieces(bob.game(), 1) == target; }));

    // Ann's game quits in the race: Bob's roster says so, whether or not the round trip is known
    // by then (an entry from before her game was found does not count), and her car stays where
    // it stopped.
    const QRegularExpression noGame(QStringLiteral("roster entry \"Ann \\(no game[,)]"));
    const qsizetype noGameBefore = bob.orvel().log().count(noGame);
    ann.game().quit();
    EXPECT_TRUE(waitUntil([&] { return bob.orvel().log().count(noGame) > noGameBefore; }))
        << bob.orvel().log().toStdString();
    const std::vector<uint8_t> stopped = bob.game().read(carRecord(1), kRecordStride);
    EXPECT_TRUE(staysUntil([&] { return bob.game().read(carRecord(1), kRecordStride) == stopped; },
                           bob.game().framesPassed(30)));
}

// The little-endian bytes of a 32-bit value.
std::vector<uint8_t> le(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

std::vector<uint8_t> liveryIn(orvel::testing::StandinProcess& game, int slot) {
    return game.read(carRecord(slot) + 0x40, 4);
}

TEST_F(ChatE2E, SlotsFollowJoinOrderAndWhispersReachOnlyTheirTarget) {
    Racer ann(QStringLiteral("Ann"), {QStringLiteral("--race")});
    Racer bob(QStringLiteral("Bob"),
              {QStringLiteral("--race"), QStringLiteral("--colour"), QStringLiteral("#20d040")});
    int port = 0;
    ASSERT_TRUE(ann.hostWith("Four Corners", false, {&bob}, &port));
    Bot cy(QStringLiteral("Cy"));
    ASSERT_TRUE(cy.join(port)) << cy.output().toStdString();
    Bot di(QStringLiteral("Di"));
    ASSERT_TRUE(di.join(port)) << di.output().toStdString();
    ASSERT_NO_FATAL_FAILURE(expectRacing(ann));
    ASSERT_NO_FATAL_FAILURE(expectRacing(bob));

    // Slots in join order, as each game shows them by the cars' liveries.
    const std::vector<uint8_t> annLivery = liveryIn(ann.game(), 0);
    const std::vector<uint8_t> bobLivery = liveryIn(bob.game(), 0);
    EXPECT_TRUE(waitUntil([&] {
        return liveryIn(ann.game(), 1) == bobLivery && liveryIn(ann.game(), 2) == le(cy.livery()) &&
               liveryIn(ann.game(), 3) == le(di.livery());
    })) << hex(liveryIn(ann.game(), 1))
        << " " << hex(liveryIn(ann.game(), 2)) << " " << hex(liveryIn(ann.game(), 3));
    EXPECT_TRUE(waitUntil([&] {
        return liveryIn(bob.game(), 1) == annLivery && liveryIn(bob.game(), 2) == le(cy.livery()) &&
               liveryIn(bob.game(), 3) == le(di.livery());
    }));
    EXPECT_TRUE(ann.waitLog(QStringLiteral("roster: player \\d+ \"Di\" slot 3")));
    EXPECT_TRUE(bob.waitChatLine(QStringLiteral("- Di has joined the game.")));

    // Ann's roster: Ann, Bob, Cy, Di. A whisper to Cy reaches Cy alone.
    ann.whisper(2, QStringLiteral("secret one"));
    EXPECT_TRUE(ann.waitChatLine(QStringLiteral("**<Ann>** secret one")))
        << ann.orvel().log().toStdString();
    EXPECT_TRUE(cy.waitLine(QStringLiteral("**<Ann>** secret one"))) << cy.output().toStdString();
    // And one to Bob reaches Bob alone.
    ann.whisper(1, QStringLiteral("secret two"));
    EXPECT_TRUE(bob.waitChatLine(QStringLiteral("**<Ann>** secret two")))
        << bob.orvel().log().toStdString();
    ASSERT_TRUE(ann.waitChatLine(QStringLiteral("**<Ann>** secret two")));
    // A line to all after the whispers: once everyone has it, a stray whisper would be in too.
    ann.say(QStringLiteral("all ears"));
    ASSERT_TRUE(bob.waitChatLine(QStringLiteral("<Ann> all ears")));
    for (Bot* b : {&cy, &di}) {
        ASSERT_TRUE(b->waitLine(QStringLiteral("<Ann> all ears"))) << b->output().toStdString();
    }
    EXPECT_FALSE(bob.freshLog().contains(QStringLiteral("secret one")));
    EXPECT_FALSE(cy.output().contains(QStringLiteral("secret two")));
    EXPECT_FALSE(di.output().contains(QStringLiteral("secret")));

    // Bob holds Ann's slot 1. He leaves: the line shows, the slot is freed, the car stays.
    ASSERT_TRUE(bob.orvel().closeWindow(bob.mainWindow()));
    EXPECT_EQ(bob.orvel().waitExit(), std::optional<int>(0));
    EXPECT_TRUE(ann.waitChatLine(QStringLiteral("-- Bob has left the game.")));
    EXPECT_TRUE(ann.waitLog(QStringLiteral("roster: slot 1 freed")));
    const std::vector<uint8_t> left = ann.game().read(carRecord(1), kRecordStride);
    EXPECT_TRUE(staysUntil([&] { return ann.game().read(carRecord(1), kRecordStride) == left; },
                           ann.game().framesPassed(25)));
    // The next to join takes slot 1 and drives that car; Cy and Di keep theirs.
    Bot ed(QStringLiteral("Ed"));
    ASSERT_TRUE(ed.join(port)) << ed.output().toStdString();
    EXPECT_TRUE(ann.waitLog(QStringLiteral("roster: player \\d+ \"Ed\" slot 1")));
    EXPECT_TRUE(waitUntil([&] { return liveryIn(ann.game(), 1) == le(ed.livery()); }))
        << hex(liveryIn(ann.game(), 1)) << " " << hex(le(ed.livery())) << " "
        << ann.freshLog().toStdString() << ed.output().toStdString();
    EXPECT_EQ(liveryIn(ann.game(), 2), le(cy.livery()));
    EXPECT_EQ(liveryIn(ann.game(), 3), le(di.livery()));
}

TEST_F(ChatE2E, OnlyTheNewHostMarksItsCaptionWhenTheHostMigrates) {
    Racer ann(QStringLiteral("Ann"));
    Racer bob(QStringLiteral("Bob"));
    Racer cy(QStringLiteral("Cy"));
    ASSERT_TRUE(ann.hostWith("Relay", true, {&bob, &cy}));
    EXPECT_TRUE(bob.waitChatLine(QStringLiteral("- Cy has joined the game.")));

    ASSERT_TRUE(ann.orvel().closeWindow(ann.mainWindow()));
    EXPECT_EQ(ann.orvel().waitExit(), std::optional<int>(0));
    // Bob joined first, so he hosts now.
    EXPECT_FALSE(bob.orvel().waitWindow(kMainHost).isEmpty()) << bob.orvel().log().toStdString();
    EXPECT_TRUE(bob.waitChatLine(QStringLiteral("-- Ann has left the game.")));
    EXPECT_TRUE(cy.waitChatLine(QStringLiteral("-- Ann has left the game.")));
    EXPECT_TRUE(cy.waitLog(QStringLiteral("host is now \\d+ caption \"Orvel\"$")));
    // Cy keeps the plain caption at least until a line the new host sends afterwards is in.
    bob.say(QStringLiteral("carry on"));
    EXPECT_TRUE(staysUntil([&] { return cy.caption() == QStringLiteral("Orvel"); },
                           [&] { return cy.hasChatLine(QStringLiteral("<Bob> carry on")); }));
    EXPECT_EQ(bob.caption(), QStringLiteral("Orvel (HOST)"));
    // Everyone is told of the move in the chat.
    EXPECT_TRUE(bob.waitChatLine(QStringLiteral("- Bob is now the host.")));
    EXPECT_TRUE(cy.waitChatLine(QStringLiteral("- Bob is now the host.")));
}

// A bot's --say lines wait for someone to hear them; --say-now sends them alone.
TEST_F(ChatE2E, SayLinesWaitForAnotherPlayerUnlessToldNow) {
    for (const bool now : {false, true}) {
        SCOPED_TRACE(now ? "--say-now" : "--say");
        Bot hal(QStringLiteral("Hal"));
        QStringList extra{QStringLiteral("--say"), QStringLiteral("first words")};
        if (now) {
            extra << QStringLiteral("--say-now");
        }
        int port = 0;
        ASSERT_TRUE(hal.host(sessionName("Words"), false, &port, extra))
            << hal.output().toStdString();
        if (now) {
            EXPECT_TRUE(hal.waitLine(QStringLiteral("<Hal> first words")))
                << hal.output().toStdString();
            continue;
        }
        EXPECT_TRUE(hal.waitLine(QStringLiteral("say: waiting for another player to join")));
        Bot jo(QStringLiteral("Jo"));
        ASSERT_TRUE(jo.join(port)) << jo.output().toStdString();
        // Sent while Hal was alone, the line would never have reached Jo.
        EXPECT_TRUE(jo.waitLine(QStringLiteral("<Hal> first words"))) << jo.output().toStdString();
    }
}

// The box shows with its text (a pattern); closing it ends the program through its ordinary
// shutdown.
void expectBoxThenShutdown(Racer& r, const QString& caption, const QString& text) {
    const QString box = r.orvel().waitWindow(QStringLiteral("^%1$").arg(caption), 30000);
    ASSERT_FALSE(box.isEmpty()) << r.orvel().log().toStdString();
    EXPECT_TRUE(r.waitLog(QStringLiteral("orvel.chat: box %1 \"%2\"$").arg(caption, text)))
        << r.orvel().log().toStdString();
    // The program waits for the player.
    QThread::msleep(300);
    EXPECT_TRUE(r.orvel().running());
    r.orvel().focus(box);
    r.orvel().key(QStringLiteral("Return"));
    EXPECT_EQ(r.orvel().waitExit(), std::optional<int>(0)) << r.orvel().log().toStdString();
    EXPECT_EQ(only(r.orvel().startupSteps(), kReleaseOrder), kReleaseOrder);
}

TEST_F(ChatE2E, ANonMigratingHostClosingEndsEveryonesProgram) {
    Racer ann(QStringLiteral("Ann"));
    Racer bob(QStringLiteral("Bob"));
    ASSERT_TRUE(ann.hostWith("Last Lap", false, {&bob}));
    EXPECT_TRUE(bob.waitChatLine(QStringLiteral("- Ann has joined the game.")));
    ASSERT_TRUE(ann.orvel().closeWindow(ann.mainWindow()));
    EXPECT_EQ(ann.orvel().waitExit(), std::optional<int>(0));
    expectBoxThenShutdown(bob, QStringLiteral("Exiting"),
                          QStringLiteral("The host has terminated this session\\."));
}

TEST_F(ChatE2E, ALostSessionEndsTheProgram) {
    Bot host(QStringLiteral("Hal"));
    int port = 0;
    ASSERT_TRUE(host.host(sessionName("Fragile"), false, &port)) << host.output().toStdString();
    Racer bob(QStringLiteral("Bob"));
    ASSERT_TRUE(bob.ready());
    ASSERT_TRUE(bob.join(port)) << bob.orvel().log().toStdString();
    EXPECT_TRUE(bob.waitChatLine(QStringLiteral("- Hal has joined the game.")));
    host.kill();
    expectBoxThenShutdown(bob, QStringLiteral("Exiting"),
                          QStringLiteral("This session has been lost\\."));
}

TEST_F(ChatE2E, AFailedConnectShowsItsCodeThenCloses) {
    Bot host(QStringLiteral("Hal"));
    int port = 0;
    ASSERT_TRUE(host.host(sessionName("Vanishing"), false, &port)) << host.output().toStdString();
    Racer bob(QStringLiteral("Bob"));
    ASSERT_TRUE(bob.ready());
    ASSERT_TRUE(bob.searchOnly(port)) << bob.orvel().log().toStdString();
    // The session is listed; its host goes before the join.
    host.kill();
    bob.orvel().key(QStringLiteral("Home"));
    bob.orvel().key(QStringLiteral("alt+j"));
    expectBoxThenShutdown(bob, QStringLiteral("Closing"),
                          QStringLiteral("Connect Failed\\.  Error: 0x[0-9A-F]{8}"));
}

}  // namespace
}  // namespace race_e2e
