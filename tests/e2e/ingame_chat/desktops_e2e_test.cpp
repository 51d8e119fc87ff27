// Orvel beside the game on desktops other than a bare X server: under openbox, which puts every
// window into a frame, the game is found, patched and chatted in (T, keys, Enter); under Weston's
// headless XWayland, whose window manager keeps no client list, it is found and patched (with no
// seat there, no window can have the keyboard focus, so no keys).
#include <gtest/gtest.h>

#include <QJsonObject>

#include "race_players.h"

namespace {

using orvel::testing::Desktop;
using race_e2e::Bot;
using race_e2e::Racer;

struct DesktopCase {
    const char* name;
    Desktop desktop;
    bool chat;
};
const DesktopCase kDesktops[] = {
    {"openbox", Desktop::Openbox, true},
    {"weston_xwayland", Desktop::Weston, false},
};

class DesktopsE2E : public ::testing::TestWithParam<int> {};

TEST_P(DesktopsE2E, TheGameIsFoundAndPatchedAndItsChatWorks) {
    const DesktopCase& c = kDesktops[GetParam()];
    const QString missing = orvel::testing::desktopMissing(c.desktop);
    if (!missing.isEmpty()) {
        if (orvel::testing::desktopRequired()) {
            FAIL() << missing.toStdString() << " (scripts/install-deps installs it)";
        }
        GTEST_SKIP() << missing.toStdString();
    }
    Racer ann(QStringLiteral("Ann"), {QStringLiteral("--race")}, c.desktop);
    ASSERT_TRUE(ann.ready()) << "the desktop did not start";
    wizard_it::Player& orvel = ann.orvel();
    if (!c.chat) {
        // The wizard alone: the game link runs from Orvel's start.
        ASSERT_TRUE(ann.startGame()) << ann.game().failure().toStdString();
        orvel.presetSettings({{"UserName", "Ann"}});
        ASSERT_TRUE(orvel.start());
        EXPECT_TRUE(ann.game().waitUntil([&] { return ann.game().patched(); }))
            << orvel.log().toStdString();
        return;
    }

    Bot bob(QStringLiteral("Bob"));
    int port = 0;
    ASSERT_TRUE(
        bob.host(race_e2e::sessionName("Desktops"), false, &port, {QStringLiteral("--parked")}));
    orvel.setEnv(QStringLiteral("QT_LOGGING_RULES"),
                 QStringLiteral("orvel.startup.debug=true;orvel.wizard.debug=true;"
                                "orvel.ingame.debug=true"));
    ASSERT_TRUE(ann.join(port)) << orvel.log().toStdString();
    orvel::testing::StandinProcess& game = ann.game();
    ASSERT_TRUE(game.waitUntil([&] { return game.patched(); })) << orvel.log().toStdString();

    // The player brings the game to the front through the window manager.
    const QString window = orvel.waitWindow(QStringLiteral("^Brenmoor - Kartova$"));
    ASSERT_TRUE(game.waitUntil([&] {
        orvel.xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), window});
        return game.status().value(QStringLiteral("focused")).toBool();
    }));
    orvel.xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("40"),
                   QStringLiteral("t"), QStringLiteral("h"), QStringLiteral("i"),
                   QStringLiteral("Return")});
    EXPECT_TRUE(bob.waitLine(QStringLiteral("<Ann> hi"))) << orvel.log().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Desktops, DesktopsE2E,
                         ::testing::Range(0, static_cast<int>(std::size(kDesktops))),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kDesktops[info.param].name);
                         });

}  // namespace
