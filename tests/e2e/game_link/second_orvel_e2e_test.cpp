// Two Orvels and one game: the orvel program holds kartova-standin, and a main window in this
// process, a second Orvel on the same display and runtime folder, leaves the game alone and says
// why until the first one has ended.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTimer>

#include "common/orvel_globals.h"
#include "game_link/car_state_tick.h"
#include "game_link/game_process.h"
#include "game_link/memory.h"
#include "main_window/frm_chat.h"
#include "orvel_process.h"
#include "platform/os/linux/linux_os_services.h"
#include "recording_os.h"
#include "session/mod_dplay.h"
#include "standin_process.h"
#include "xvfb.h"

namespace orvel {
namespace {

using testing::RecordingOs;
using Kind = RecordingOs::Kind;

constexpr int kRoutineFirstByte = 0x48;

TEST(SecondOrvelE2ETest, LeavesAGameHeldByAnotherAloneAndSaysWhy) {
    testing::XvfbDisplay display;
    if (!display.ok()) {
        GTEST_SKIP() << "Xvfb is not available";
    }
    testing::StandinProcess game(display.name(), {QStringLiteral("--race")});
    ASSERT_TRUE(game.ok());
    testing::OrvelProcess first(display.name());
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(game.waitUntil([&] { return game.patched(); }));

    // This process plays the second Orvel of the same user.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", first.runtimeDir().toLocal8Bit());
    os::LinuxOsServices backend(display.name().toLocal8Bit());
    RecordingOs recorder(backend);
    os::OsServices* previous = os::setServices(&recorder);
    Memory::gameWindow = 0;
    Memory::gameProcessId = 0;
    gameVersion = 0;
    {
        ModDplay dx;
        frmChat second(dx);
        second.Timer1->stop();
        second.tick().setSleep([](int) {});
        for (int i = 0; i < 4; ++i) {
            second.Timer1_Timer();
        }
        EXPECT_EQ(second.tick().state(), gamelink::GameState::InUse);
        EXPECT_TRUE(
            second.lblGameStatus->text().contains(QStringLiteral("in use by another Orvel")));
        EXPECT_TRUE(recorder.of(Kind::Open).empty());
        EXPECT_TRUE(recorder.of(Kind::Write).empty());

        // The first one ends and gives the game back; then the second may take it.
        first.stop();
        ASSERT_TRUE(game.waitUntil([&] { return game.siteA() == kRoutineFirstByte; }));
        for (int i = 0; i < 10 && second.tick().state() != gamelink::GameState::Racing; ++i) {
            second.Timer1_Timer();
        }
        EXPECT_EQ(second.tick().state(), gamelink::GameState::Racing);
        second.Timer1_Timer();
        EXPECT_EQ(game.siteA(), 0xC3);
    }
    // The second one's end gives the game back as well.
    EXPECT_EQ(game.siteA(), kRoutineFirstByte);
    EXPECT_EQ(game.siteB(), kRoutineFirstByte);
    gamelink::ReleaseGame();
    os::setServices(previous);
    qputenv("XDG_RUNTIME_DIR", runtime);
}

}  // namespace
}  // namespace orvel
