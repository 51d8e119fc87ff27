// The game link's care for the player's game, against a fake window system and process table:
// which window is the game, one Orvel per game, the game given back, the status line, the input
// line's room and the remote car writes.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <functional>

#include "common/orvel_globals.h"
#include "fake_os.h"
#include "game_link/car_state_tick.h"
#include "game_link/game_memory_map.h"
#include "game_link/game_process.h"
#include "game_link/message_area.h"
#include "game_link/remote_cars.h"
#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"

namespace orvel {
namespace {

using testing::FakeOs;
using Kind = FakeOs::Kind;

constexpr uint32_t kGamePid = 700;
constexpr uint32_t kGameWindow = 0x700001;
constexpr uint32_t kOtherPid = 800;  // a second game
constexpr uint32_t kOtherWindow = 0x800001;
constexpr uint8_t kRoutineByte = 0x48;

class GameGuardTest : public ::testing::Test {
protected:
    testing::FakeOsScope scope;
    FakeOs& fake = scope.os;
    ModDplay dx;
    CarStateTick tick{dx.raceSession};

    GameGuardTest() {
        tick.setSleep([](int) {});
    }

    void startGame(uint32_t pid = kGamePid, uint32_t window = kGameWindow) {
        fake.addWindow(window, GameTitle, pid);
        fake.map(pid, 0x424000, 0x3000, kRoutineByte);
        fake.map(pid, 0x536000, 0xC9000, 0);
    }
    void race(bool on, uint32_t pid = kGamePid) {
        fake.pokeFloat(pid, gamemap::kStandard.playValue, on ? 2.0f : 0.0f);
        fake.pokeLong(pid, gamemap::kStandard.statusWord, 0);
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) {
            tick.run();
        }
    }
    bool patched(uint32_t pid = kGamePid) {
        return *fake.at(pid, gamemap::kStandard.patchSiteA) == 0xC3 &&
               *fake.at(pid, gamemap::kStandard.patchSiteB) == 0xC3;
    }
};

TEST_F(GameGuardTest, LettingGoRestoresTheSitesOnlyIntoTheSameRunOfTheGame) {
    struct Case {
        const char* name;
        std::function<void(FakeOs&)> meanwhile;
        bool restored;
    };
    const Case cases[] = {
        {"still running", [](FakeOs&) {}, true},
        {"restarted under the same id", [](FakeOs& os) { os.startTimes[kGamePid] = 99; }, false},
        {"gone", [](FakeOs& os) { os.processes.erase(kGamePid); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.removeWindows();
        fake.processes.clear();
        fake.startTimes.clear();
        startGame();
        ticks(3);
        ASSERT_TRUE(patched());
        c.meanwhile(fake);
        fake.calls.clear();
        gamelink::ReleaseGame();
        EXPECT_EQ(fake.callsOf(Kind::Write).size(), c.restored ? 2u : 0u);
        if (c.restored) {
            EXPECT_EQ(*fake.at(kGamePid, gamemap::kStandard.patchSiteA), kRoutineByte);
            EXPECT_EQ(*fake.at(kGamePid, gamemap::kStandard.patchSiteB), kRoutineByte);
        }
        EXPECT_TRUE(fake.claims.empty());
        EXPECT_EQ(fake.openHandles(), 0u);
    }
}

TEST_F(GameGuardTest, AGameRestartedUnderTheSameWindowIdIsTakenAnew) {
    // The X server may hand a closed window's id to the next program that connects.
    startGame();
    ticks(3);
    ASSERT_TRUE(patched());
    fake.removeWindows();
    fake.processes.erase(kGamePid);
    startGame(kOtherPid, kGameWindow);
    ticks(3);
    EXPECT_EQ(gamelink::HeldGame(), kOtherPid);
    EXPECT_TRUE(patched(kOtherPid));
}

TEST_F(GameGuardTest, TheStatusLineFollowsTheGame) {
    frmChat window(dx);
    std::vector<QString> shownWhileSettling;
    window.tick().setSleep(
        [&](int) { shownWhileSettling.push_back(window.lblGameStatus->text()); });
    struct Step {
        const char* name;
        std::function<void()> change;
        const char* shown;
    };
    const Step steps[] = {
        {"no game", [] {}, "not found"},
        {"menu", [&] { startGame(); }, "on the menu (standard edition)"},
        {"race", [&] { race(true); }, "racing (standard edition)"},
        {"MX chosen", [&] { window.mx->setChecked(true); }, "(MX edition)"},
        {"refused",
         [&] {
             fake.removeWindows();
             window.Timer1_Timer();
             fake.processes.clear();
             startGame(kOtherPid, kOtherWindow);
             fake.processes[kOtherPid].denied = true;
         },
         "memory access refused"},
        {"held by another Orvel",
         [&] {
             fake.removeWindows();
             window.Timer1_Timer();
             fake.processes.clear();
             startGame();
             fake.heldElsewhere.insert(kGamePid);
         },
         "in use by another Orvel"},
        {"gone", [&] { fake.removeWindows(); }, "not found"},
    };
    for (const Step& s : steps) {
        s.change();
        for (int i = 0; i < 3; ++i) {
            window.Timer1_Timer();
        }
        EXPECT_TRUE(window.lblGameStatus->text().contains(QLatin1String(s.shown)))
            << s.name << ": " << window.lblGameStatus->text().toStdString();
    }
    // The remedy is on the line, not only on the terminal.
    EXPECT_TRUE(gamelink::GameStatusText(gamelink::GameState::AccessRefused, 0)
                    .contains(QStringLiteral("kernel.yama.ptrace_scope=0")));
    ASSERT_EQ(shownWhileSettling.size(), 3u);
    for (const QString& text : shownWhileSettling) {
        EXPECT_TRUE(text.contains(QStringLiteral("settling"))) << text.toStdString();
    }
}

TEST_F(GameGuardTest, TheInputLineNeverReachesTheValueBehindIt) {
    startGame();
    ticks(3);
    const gamemap::Edition& e = gamemap::kStandard;
    const std::vector<uint8_t> valueBytes = {0xFF, 0xE3, 0x0B, 0x54};
    struct Case {
        int typed;
        int shownTyped;  // characters of the end of the line shown after the prompt
    };
    for (const Case c : {Case{0, 0}, Case{10, 10}, Case{43, 43}, Case{44, 43}, Case{48, 43}}) {
        QString typed;
        for (int i = 0; i < c.typed; ++i) {
            typed += QChar(u'A' + i % 26);
        }
        fake.poke(kGamePid, e.messageInputLine, std::vector<uint8_t>(46, 0xEE));
        gamelink::ShowInputLine(gamelink::kInputPrompt + typed);
        const QByteArray expected = (QStringLiteral(" >") + typed.right(c.shownTyped)).toLatin1();
        const auto shown = fake.peek(kGamePid, e.messageInputLine, expected.size() + 1);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(shown.data()), expected.size()),
                  expected)
            << c.typed;
        EXPECT_EQ(shown.back(), 0) << c.typed;
        EXPECT_EQ(fake.peek(kGamePid, e.messageValue, 4), valueBytes) << c.typed;
    }
}

TEST_F(GameGuardTest, ARemoteCarIsOneWritePerPieceAndStopsWhenItsPlayerLeaves) {
    startGame();
    ticks(3);
    CarState state;
    state.fill(0x5A);
    fake.calls.clear();
    gamelink::WriteRemoteCar(2, state);
    EXPECT_EQ(fake.kinds(), (std::vector<Kind>{Kind::Write, Kind::Write, Kind::Write}));
    const uint32_t record = gamemap::carRecord(0, 2);
    EXPECT_EQ(fake.peek(kGamePid, record, 128), std::vector<uint8_t>(128, 0x5A));
    EXPECT_EQ(fake.peek(kGamePid, record + 0x3DC, 16), std::vector<uint8_t>(16, 0x5A));

    fake.calls.clear();
    gamelink::WriteRemoteCar(0, state);  // the player left: no slot
    gamelink::WriteRemoteCar(6, state);  // no such slot
    EXPECT_TRUE(fake.calls.empty());
}

}  // namespace
}  // namespace orvel
