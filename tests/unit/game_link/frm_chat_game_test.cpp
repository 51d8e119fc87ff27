// The main window's game-version check box and its game checks, on the offscreen platform with
// a private settings folder.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QSettings>
#include <QTimer>

#include "common/orvel_globals.h"
#include "common/settings_store.h"
#include "fake_os.h"
#include "game_link/car_state_tick.h"
#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"

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

}  // namespace
}  // namespace orvel
