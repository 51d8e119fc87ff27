// The game link's care for the player's game, against a fake window system and process table:
// which window is the game, one Orvel per game, the game given back, the status line, the game's
// edition, the input line's room and the remote car writes.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <functional>

#include "common/orvel_globals.h"
#include "common/settings_store.h"
#include "fake_os.h"
#include "game_link/car_state_tick.h"
#include "game_link/edition_check.h"
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
        {"no private runtime folder",
         [&] {
             fake.removeWindows();
             window.Timer1_Timer();
             fake.processes.clear();
             fake.heldElsewhere.clear();
             fake.unclaimable.insert(kGamePid);
             startGame();
         },
         "no private runtime folder"},
        {"another user's game",
         [&] {
             fake.removeWindows();
             fake.otherUsers[kOtherPid] = QStringLiteral("bob");
             startGame(kOtherPid, kOtherWindow);
         },
         "belongs to user bob; Orvel runs as ann and can only reach games of its own user"},
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
    // The remedies are on the line, not only on the terminal: the game started through Orvel
    // first, the setting for this boot second, and no rights for orvel itself.
    const QString refused = gamelink::GameStatusText(gamelink::GameState::AccessRefused, 0);
    EXPECT_LT(refused.indexOf(QStringLiteral("orvel -- wine Kartova.exe")),
              refused.indexOf(QStringLiteral("sudo sysctl kernel.yama.ptrace_scope=0")));
    EXPECT_GE(refused.indexOf(QStringLiteral("orvel -- ")), 0);
    EXPECT_FALSE(refused.contains(QStringLiteral("setcap")));
    ASSERT_EQ(shownWhileSettling.size(), 4u);
    for (const QString& text : shownWhileSettling) {
        EXPECT_TRUE(text.contains(QStringLiteral("settling"))) << text.toStdString();
    }
}

// Each case: a game, the edition chosen, and what the game's fields do before each tick.
TEST_F(GameGuardTest, OnlyAGameThatLooksLikeTheChosenEditionIsWritten) {
    using Fields = std::function<void(uint32_t pid, int tick)>;
    const auto& standard = gamemap::kStandard;
    const auto& mx = gamemap::kMX;
    auto menu = [this](const gamemap::Edition& e) {
        return [this, &e](uint32_t pid, int) {
            fake.pokeLong(pid, e.statusWord, 1);
            fake.pokeFloat(pid, e.playValue, 0.0f);
        };
    };
    // A race on, the local car moving at every tick.
    auto racing = [this](const gamemap::Edition& e) {
        return [this, &e](uint32_t pid, int tick) {
            fake.pokeLong(pid, e.statusWord, 0);
            fake.pokeFloat(pid, e.playValue, 1.0f + static_cast<float>(tick));
            fake.pokeLong(pid, e.localCarRecord + 0x20, tick);
        };
    };
    // Not a status word at all.
    auto junk = [this](const gamemap::Edition& e) {
        return [this, &e](uint32_t pid, int) { fake.pokeLong(pid, e.statusWord, 0x5A5A5A5A); };
    };
    auto both = [](Fields a, Fields b) {
        return [a, b](uint32_t pid, int tick) {
            a(pid, tick);
            b(pid, tick);
        };
    };
    // The executable's headers at 0x400000, as the game has them under Wine.
    auto build = [this](uint32_t stamp, uint32_t size) {
        return [this, stamp, size](uint32_t pid) {
            fake.map(pid, 0x400000, 0x1000, 0);
            fake.poke(pid, 0x400000, {'M', 'Z'});
            fake.pokeLong(pid, 0x40003C, 0x80);
            fake.poke(pid, 0x400080, {'P', 'E', 0, 0});
            fake.pokeLong(pid, 0x400088, static_cast<int32_t>(stamp));
            fake.poke(pid, 0x400098, {0x0B, 0x01});
            fake.pokeLong(pid, 0x4000D0, static_cast<int32_t>(size));
        };
    };
    SaveSetting(kSettingsApp, QStringLiteral("GameEditions"), QStringLiteral("3c9a6b10-001fa000"),
                QStringLiteral("1"));
    struct Case {
        const char* name;
        int32_t chosen;
        Fields fields;
        std::function<void(uint32_t pid)> setUp;
        int ticks;
        int32_t looksLike;  // as the game link tells it afterwards; -1: cannot be told
        bool written;       // patches, remote cars and message area go in
        const char* shown;
        const char* build;  // its key in the settings, and what it holds afterwards
        const char* stored;
    };
    const Case cases[] = {
        {"MX game, standard chosen",
         0,
         both(menu(mx), junk(standard)),
         {},
         4,
         1,
         false,
         "looks like the MX edition. Tick \"MX\"",
         nullptr,
         nullptr},
        {"standard game, MX chosen",
         1,
         both(menu(standard), junk(mx)),
         {},
         4,
         0,
         false,
         "looks like the standard edition. Untick \"MX\"",
         nullptr,
         nullptr},
        {"standard game, standard chosen",
         0,
         both(racing(standard), junk(mx)),
         {},
         4,
         0,
         true,
         "racing (standard edition)",
         nullptr,
         nullptr},
        {"cannot be told: taken as chosen",
         0,
         both(menu(standard), menu(mx)),
         {},
         4,
         -1,
         true,
         "on the menu (standard edition)",
         nullptr,
         nullptr},
        {"a race tells",
         0,
         both(menu(standard), racing(mx)),
         {},
         25,
         1,
         false,
         "looks like the MX edition",
         nullptr,
         nullptr},
        {"a build remembered", 0, both(menu(standard), menu(mx)), build(0x3C9A6B10, 0x1FA000), 3, 1,
         false, "looks like the MX edition", "3c9a6b10-001fa000", "1"},
        {"a build raced with is remembered", 1, both(junk(standard), racing(mx)),
         build(0x12345678, 0x1FB000), 25, 1, true, "racing (MX edition)", "12345678-001fb000", "1"},
    };
    uint32_t pid = 900;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.removeWindows();
        tick.run();  // the previous game is let go
        ++pid;
        startGame(pid, pid << 12);
        if (c.setUp) {
            c.setUp(pid);
        }
        gameVersion = c.chosen;
        for (int i = 0; i < c.ticks; ++i) {
            c.fields(pid, i);
            tick.run();
        }
        EXPECT_EQ(gamelink::GameEdition(), c.looksLike);
        const QString shown = gamelink::GameStatusText(tick.state(), gameVersion);
        EXPECT_TRUE(shown.contains(QLatin1String(c.shown))) << shown.toStdString();
        const gamemap::Edition& chosen = gamemap::edition(c.chosen);
        const gamemap::Edition& other = gamemap::edition(1 - c.chosen);
        EXPECT_EQ(*fake.at(pid, chosen.patchSiteA), c.written ? 0xC3 : kRoutineByte);
        EXPECT_EQ(*fake.at(pid, chosen.patchSiteB), c.written ? 0xC3 : kRoutineByte);
        EXPECT_EQ(*fake.at(pid, other.patchSiteA), kRoutineByte);
        if (c.build != nullptr) {
            EXPECT_EQ(
                GetSetting(kSettingsApp, QStringLiteral("GameEditions"), QLatin1String(c.build)),
                QLatin1String(c.stored));
        }
        // Nothing else goes in either: no remote car, no line on the message area.
        fake.calls.clear();
        gamelink::WriteRemoteCar(1, CarState{});
        gamelink::ShowLastLine(QStringLiteral("<Bob> hi"));
        gamelink::CloseInputLine();
        tick.run();
        EXPECT_EQ(fake.callsOf(Kind::Write).empty(), !c.written);
        if (!c.written) {
            // The choice put right, the game is raced with.
            gameVersion = c.looksLike;
            ticks(1);
            const gamemap::Edition& right = gamemap::edition(c.looksLike);
            EXPECT_EQ(*fake.at(pid, right.patchSiteA), 0xC3);
            EXPECT_EQ(*fake.at(pid, right.patchSiteB), 0xC3);
        }
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
