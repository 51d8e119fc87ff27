// The orvel program beside kartova-standin on a private X server: it finds the game, patches
// it, keeps it patched, finds a restarted game and leaves the patches in place when it ends.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "standin_process.h"
#include "xvfb.h"

namespace orvel {
namespace {

using testing::StandinProcess;

class OrvelProcess {
public:
    explicit OrvelProcess(const QString& display) {
        process_.setEnv(QStringLiteral("DISPLAY"), display);
        process_.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        process_.setEnv(QStringLiteral("XDG_CONFIG_HOME"), home_.filePath(QStringLiteral("config")));
        process_.setEnv(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
        process_.setReads(testing::ChildProcess::Reads::Nothing);
        started_ = process_.start(QStringLiteral(ORVEL_PROGRAM));
    }
    bool started() const { return started_; }
    bool running() const { return process_.running(); }
    void stop() { process_.stop(15000); }

private:
    QTemporaryDir home_;
    testing::ChildProcess process_;
    bool started_ = false;
};

// The opponents' routine has stopped running: its run counter stands over several frames.
bool opponentsStand(StandinProcess& game) {
    const qint64 runs = game.counter("a_runs");
    return runs >= 0 && testing::staysUntil([&] { return game.counter("a_runs") == runs; },
                                            game.framesPassed(10));
}

TEST(OrvelProgramE2ETest, PatchesTheGameAndARestartedGame) {
    testing::XvfbDisplay display;
    if (!display.ok()) {
        GTEST_SKIP() << "Xvfb is not available";
    }
    OrvelProcess orvel(display.name());
    ASSERT_TRUE(orvel.started());

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        StandinProcess game(display.name(), {QStringLiteral("--race")});
        ASSERT_TRUE(game.ok());
        // Whether the opponents get to move before the patches land depends on how fast each
        // program starts on a busy machine; the tick-by-tick course is tested in-process.
        // Standard edition by default: both of its sites, and nothing at the MX ones.
        ASSERT_TRUE(game.waitUntil([&] { return game.siteA() == 0xC3 && game.siteB() == 0xC3; }))
            << "orvel did not patch the game";
        EXPECT_TRUE(opponentsStand(game));
        EXPECT_NE(game.read(0x424F10, 1).at(0), 0xC3);
        EXPECT_NE(game.read(0x4253E0, 1).at(0), 0xC3);
        ASSERT_TRUE(orvel.running());

        if (round == 1) {
            // Ending orvel leaves the patches in the running game.
            orvel.stop();
            ASSERT_TRUE(game.waitFrames(5));
            EXPECT_EQ(game.siteA(), 0xC3);
            EXPECT_EQ(game.siteB(), 0xC3);
            EXPECT_TRUE(opponentsStand(game));
        }
        game.quit();
    }
}

}  // namespace
}  // namespace orvel
