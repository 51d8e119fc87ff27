// The orvel program beside kartova-standin on a private X server: it finds the game, patches
// it, keeps it patched, finds a restarted game and gives the game back as it was when it ends.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <memory>

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

// "PID-START", the name part that tells one run of a process from every other.
QString runOf(uint32_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? QStringLiteral("%1-%2").arg(pid).arg(fields[19]) : QString();
}

// Round 0 starts the game first and Orvel after it, round 1 the game under a running Orvel. The
// user has no session runtime folder: Orvel keeps its claim on the game in the user's cache, and
// a claim planted under the name /tmp held before changes nothing.
TEST(OrvelProgramE2ETest, PatchesTheGameAndARestartedGame) {
    testing::XvfbDisplay display;
    if (!display.ok()) {
        GTEST_SKIP() << "Xvfb is not available";
    }
    std::unique_ptr<OrvelProcess> started;

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        StandinProcess game(display.name(), {QStringLiteral("--race")});
        ASSERT_TRUE(game.ok());
        const int siteBefore = game.siteA();
        ASSERT_NE(siteBefore, 0xC3);
        const QString run = runOf(game.pid());
        ASSERT_FALSE(run.isEmpty());
        QFile planted(QStringLiteral("/tmp/orvel-game-%1.lock").arg(run));
        if (round == 0) {
            ASSERT_TRUE(planted.open(QIODevice::ReadWrite));
            ASSERT_EQ(::flock(planted.handle(), LOCK_EX | LOCK_NB), 0);
            started =
                std::make_unique<OrvelProcess>(display.name(), OrvelProcess::Session::HomeOnly);
            ASSERT_TRUE(started->started());
        }
        OrvelProcess& orvel = *started;
        // Whether the opponents get to move before the patches land depends on how fast each
        // program starts on a busy machine; the tick-by-tick course is tested in-process.
        // Standard edition by default: both of its sites, and nothing at the MX ones.
        ASSERT_TRUE(game.waitUntil([&] { return game.patched(); }))
            << "orvel did not patch the game";
        EXPECT_TRUE(opponentsStand(game));
        EXPECT_NE(game.read(0x424F10, 1).at(0), 0xC3);
        EXPECT_NE(game.read(0x4253E0, 1).at(0), 0xC3);
        ASSERT_TRUE(orvel.running());
        EXPECT_TRUE(QFileInfo::exists(orvel.claimsFolder() +
                                      QStringLiteral("/orvel-game-%1.lock").arg(run)));
        if (round == 0) {
            planted.remove();
        }

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
