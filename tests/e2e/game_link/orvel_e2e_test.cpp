// The orvel program beside kartova-standin on a private X server: it finds the game, patches
// it, keeps it patched, finds a restarted game and gives the game back as it was when it ends.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "orvel_process.h"
#include "standin_process.h"
#include "xvfb.h"

namespace orvel {
namespace {

using testing::OrvelProcess;
using testing::StandinProcess;

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
        const int siteBefore = game.siteA();
        ASSERT_NE(siteBefore, 0xC3);
        // Whether the opponents get to move before the patches land depends on how fast each
        // program starts on a busy machine; the tick-by-tick course is tested in-process.
        // Standard edition by default: both of its sites, and nothing at the MX ones.
        ASSERT_TRUE(game.waitUntil([&] { return game.patched(); }))
            << "orvel did not patch the game";
        EXPECT_TRUE(opponentsStand(game));
        EXPECT_NE(game.read(0x424F10, 1).at(0), 0xC3);
        EXPECT_NE(game.read(0x4253E0, 1).at(0), 0xC3);
        ASSERT_TRUE(orvel.running());

        if (round == 1) {
            // Ending orvel (SIGTERM) gives the game its own routines back.
            orvel.stop();
            EXPECT_EQ(orvel.exitCode(), 0);
            ASSERT_TRUE(game.waitFrames(5));
            EXPECT_EQ(game.siteA(), siteBefore);
            EXPECT_EQ(game.siteB(), siteBefore);
            EXPECT_FALSE(opponentsStand(game));
        }
        game.quit();
    }
}

}  // namespace
}  // namespace orvel
