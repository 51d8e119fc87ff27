// The main window's game-version check box and its game checks, on the offscreen platform with
// a private settings folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <QCheckBox>
#include <QSettings>
#include <QTimer>

#include "common/orvel_globals.h"
#include "common/settings_store.h"
#include "fake_os.h"
#include "game_link/car_state_tick.h"
#include "game_link/game_lineage.h"
#include "game_link/game_process.h"
#include "game_link/tick_pacer.h"
#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"
#include "wait.h"

namespace orvel {
namespace {

class FrmChatGameTest : public ::testing::Test {
protected:
    testing::FakeOsScope scope;
    ModDplay dx;
    frmChat window{dx};
};

TEST_F(FrmChatGameTest, CheckingMxChoosesMxAndStoresOne) {
    ASSERT_EQ(GetDefault(QStringLiteral("GameVersion"), QStringLiteral("absent")),
              QStringLiteral("absent"));
    window.mx->click();
    EXPECT_TRUE(window.mx->isChecked());
    EXPECT_EQ(gameVersion, 1);
    EXPECT_EQ(GetDefault(QStringLiteral("GameVersion")), QStringLiteral("1"));
    window.mx->click();
    EXPECT_EQ(gameVersion, 0);
    EXPECT_EQ(GetDefault(QStringLiteral("GameVersion")), QStringLiteral("0"));
}

TEST_F(FrmChatGameTest, SettingTheBoxFromCodeRunsTheSameHandling) {
    SaveDefault(QStringLiteral("GameVersion"), QStringLiteral("junk"));
    window.mx->setChecked(true);
    EXPECT_EQ(gameVersion, 1);
    EXPECT_EQ(GetDefault(QStringLiteral("GameVersion")), QStringLiteral("1"));
    // Setting the value it already has is no change and stores nothing.
    SaveDefault(QStringLiteral("GameVersion"), QStringLiteral("junk"));
    window.mx->setChecked(true);
    EXPECT_EQ(GetDefault(QStringLiteral("GameVersion")), QStringLiteral("junk"));
    window.mx->setChecked(false);
    EXPECT_EQ(gameVersion, 0);
    EXPECT_EQ(GetDefault(QStringLiteral("GameVersion")), QStringLiteral("0"));
}

TEST_F(FrmChatGameTest, StoredUnderVBDirectPlayDefaults) {
    window.mx->click();
    QSettings raw(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvel"),
                  QStringLiteral("VBDirectPlay"));
    EXPECT_EQ(raw.value(QStringLiteral("Defaults/GameVersion")).toString(), QStringLiteral("1"));
}

TEST_F(FrmChatGameTest, ChecksAndTimerGoToTheGameLink) {
    EXPECT_FALSE(window.isRunning());
    EXPECT_FALSE(window.isPlaying());
    scope.os.addWindow(9, GameTitle, 12);
    EXPECT_TRUE(window.isRunning());
    EXPECT_FALSE(window.isFocused());
    window.tick().setSleep([](int) {});
    window.Timer1_Timer();
    EXPECT_TRUE(window.tick().gameDetected());
    scope.os.foreground = 9;
    window.Timer1_Timer();  // the play check attaches
    EXPECT_TRUE(window.isFocused());
}

TEST_F(FrmChatGameTest, TheTimerRunsEveryFiftyMilliseconds) {
    EXPECT_TRUE(window.Timer1->isActive());
    EXPECT_EQ(window.Timer1->interval(), 50);
}

// With no game the timer rests until the window system has news of a window; with a game,
// where no news is to be had, or while a test drives the ticks itself, nothing changes.
TEST_F(FrmChatGameTest, TheTimerRestsWithoutAGameUntilNewsOfAWindow) {
    int news[2];
    ASSERT_EQ(::pipe2(news, O_NONBLOCK | O_CLOEXEC), 0);
    struct Case {
        const char* name;
        bool newsToBeHad;
        uint32_t titled;  // the owner of a window of the game's title; 0: none
        bool timerDrives, rests;
    };
    const Case cases[] = {
        {"no game", true, 0, true, true},
        {"a game", true, 12, true, false},
        {"a look-alike window", true, 13, true, false},
        {"no news to be had", false, 0, true, false},
        {"ticks driven by hand", true, 0, false, false},
    };
    window.tick().setSleep([](int) {});
    scope.os.impostors = {13};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scope.os.newsHandle = c.newsToBeHad ? news[0] : -1;
        scope.os.removeWindows();
        if (c.titled != 0) {
            scope.os.addWindow(9, GameTitle, c.titled);
        }
        c.timerDrives ? window.Timer1->start() : window.Timer1->stop();
        window.Timer1_Timer();
        EXPECT_EQ(window.pacer().resting(), c.rests);
        EXPECT_EQ(window.Timer1->isActive(), c.timerDrives && !c.rests);
        if (c.rests) {
            // News that changes no lookup lets it rest on; news of a window wakes it.
            const int taken = scope.os.newsTaken;
            scope.os.newsMatters = false;
            ASSERT_EQ(::write(news[1], "x", 1), 1);
            ASSERT_TRUE(testing::waitUntil([&] { return scope.os.newsTaken > taken; }));
            EXPECT_FALSE(window.Timer1->isActive());
            scope.os.newsMatters = true;
            ASSERT_EQ(::write(news[1], "x", 1), 1);
            EXPECT_TRUE(testing::waitUntil([&] { return window.Timer1->isActive(); }));
            EXPECT_FALSE(window.pacer().resting());
        }
    }
    window.pacer().stop();
    ::close(news[0]);
    ::close(news[1]);
}

// A game that Orvel started is the only game: its own window or a descendant's, whatever other
// game's window stands above it.
TEST_F(FrmChatGameTest, AStartedGameIsTheOnlyGame) {
    struct Case {
        uint32_t started;
        std::vector<std::pair<uint32_t, uint32_t>> windows;  // window, owner; bottom to top
        uint32_t game;
    };
    const Case cases[] = {
        {12, {{9, 13}, {10, 40}}, 13},  // the command's child (Wine's game) below another game
        {12, {{9, 12}}, 12},
        {12, {{10, 40}}, 0},
        {0, {{9, 13}, {10, 40}}, 40},
    };
    scope.os.parents = {{13, 12}, {12, 5}, {40, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.windows.size());
        gamelink::LinkOnlyToDescendantsOf(c.started);
        scope.os.removeWindows();
        for (const auto& [w, owner] : c.windows) {
            scope.os.addWindow(w, GameTitle, owner);
        }
        EXPECT_EQ(gamelink::FindGame(GameTitle).processId, c.game);
    }
}

}  // namespace
}  // namespace orvel
