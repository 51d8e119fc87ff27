// The orvel program and the player's game, each on a private X server beside kartova-standin:
// a look-alike window is not taken for the game, and every way orvel ends gives the game back
// as it was, with a goodbye to the others when a session is on.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <cctype>
#include <functional>

#include "race_players.h"

namespace {

using orvel::testing::StandinProcess;
using race_e2e::Racer;

const QString kGameTitleRegex = QStringLiteral("^Brenmoor - Kartova$");
// The first byte of both of the stand-in's patchable routines.
constexpr int kRoutineFirstByte = 0x48;

class GameReturnE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (!orvel::testing::haveXvfb()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
    }
};

// Another program with the game's title, on the display.
class LookAlike {
public:
    explicit LookAlike(const QString& display) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        process_.setProcessEnvironment(env);
        process_.start(QStringLiteral(STANDIN_PROGRAM), {QStringLiteral("--look-alike")});
        process_.waitForStarted(20000);
    }
    ~LookAlike() {
        process_.kill();
        process_.waitForFinished(10000);
    }

private:
    QProcess process_;
};

TEST_F(GameReturnE2E, ALookAlikeWindowAboveTheGameIsNotTakenForIt) {
    Racer bob(QStringLiteral("Bob"));
    ASSERT_TRUE(bob.ready());
    wizard_it::Player& orvel = bob.orvel();
    StandinProcess game(orvel.displayName(), {QStringLiteral("--race")});
    ASSERT_TRUE(game.ok());
    ASSERT_EQ(game.siteA(), kRoutineFirstByte);
    LookAlike first(orvel.displayName());  // opened after the game: above it
    ASSERT_TRUE(race_e2e::waitUntil([&] { return orvel.windows(kGameTitleRegex).size() == 2; }));

    orvel.setEnv(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("orvel.game.debug=true"));
    orvel.presetSettings({{"UserName", "Bob"}});
    ASSERT_TRUE(orvel.start());
    EXPECT_TRUE(
        orvel.waitLog(QRegularExpression(QStringLiteral("has the title but not the game's memory")))
            .hasMatch());
    ASSERT_TRUE(game.waitUntil([&] { return game.patched(); })) << "the game was not patched";

    // One more look-alike while the game is held: orvel stays with the game (letting it go
    // would give its bytes back).
    LookAlike second(orvel.displayName());
    ASSERT_TRUE(race_e2e::waitUntil([&] { return orvel.windows(kGameTitleRegex).size() == 3; }));
    ASSERT_TRUE(game.waitFrames(60));
    EXPECT_TRUE(game.patched());
    EXPECT_FALSE(orvel.log().contains(QStringLiteral("let go of process")));
}

// How a player's orvel ends, and whether a session is on when it does.
struct Ending {
    const char* name;
    bool inSession;
    std::function<void(wizard_it::Player&, const QString& window)> end;
};

void signal(wizard_it::Player& p, int number) {
    ::kill(static_cast<pid_t>(p.pid()), number);
}

const Ending kEndings[] = {
    {"wizard cancelled", false,
     [](wizard_it::Player& p, const QString& w) {
         p.focus(w);
         p.key(QStringLiteral("Escape"));
     }},
    {"SIGINT in the wizard", false,
     [](wizard_it::Player& p, const QString&) { signal(p, SIGINT); }},
    {"main window closed", true, [](wizard_it::Player& p, const QString& w) { p.closeWindow(w); }},
    {"SIGTERM in a session", true,
     [](wizard_it::Player& p, const QString&) { signal(p, SIGTERM); }},
    {"SIGHUP in a session", true, [](wizard_it::Player& p, const QString&) { signal(p, SIGHUP); }},
};

class EveryEnding : public GameReturnE2E, public ::testing::WithParamInterface<int> {};

TEST_P(EveryEnding, GivesTheGameBackAndSaysGoodbye) {
    const Ending& e = kEndings[GetParam()];
    SCOPED_TRACE(e.name);
    Racer ann(QStringLiteral("Ann"));
    Racer bob(QStringLiteral("Bob"), {QStringLiteral("--race")});
    QString window;
    if (e.inSession) {
        ASSERT_TRUE(ann.hostWith("Give Back", false, {&bob}));
        ASSERT_TRUE(ann.waitChatLine(QStringLiteral("- Bob has joined the game.")));
        window = bob.mainWindow();
    } else {
        // Only the wizard, on its first page.
        ASSERT_TRUE(bob.ready() && bob.startGame());
        ASSERT_EQ(bob.game().siteA(), kRoutineFirstByte);
        bob.orvel().presetSettings({{"UserName", "Bob"}});
        ASSERT_TRUE(bob.orvel().start());
        window = bob.orvel().waitWindow(race_e2e::kChoose);
    }
    ASSERT_FALSE(window.isEmpty());
    StandinProcess& game = bob.game();
    ASSERT_TRUE(game.waitUntil([&] { return game.patched(); })) << "the game was not patched";

    e.end(bob.orvel(), window);
    EXPECT_EQ(bob.orvel().waitExit(), std::optional<int>(0));
    ASSERT_TRUE(game.waitFrames(5));
    EXPECT_EQ(game.siteA(), kRoutineFirstByte);
    EXPECT_EQ(game.siteB(), kRoutineFirstByte);
    // The opponents drive again.
    const qint64 moves = game.counter("a_moves");
    ASSERT_TRUE(game.waitFrames(10));
    EXPECT_GT(game.counter("a_moves"), moves);
    if (e.inSession) {
        EXPECT_TRUE(ann.waitChatLine(QStringLiteral("-- Bob has left the game.")));
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, EveryEnding,
                         ::testing::Range(0, static_cast<int>(std::size(kEndings))),
                         [](const ::testing::TestParamInfo<int>& info) {
                             std::string name = kEndings[info.param].name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

}  // namespace
