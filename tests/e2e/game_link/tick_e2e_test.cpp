// The main window's game link against kartova-standin on a private X server: the window's tick,
// the real Linux backend, and the stand-in game in a process of its own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <set>

#include <unistd.h>

#include "common/orvel_globals.h"
#include "common/settings_store.h"
#include "game_link/car_state_tick.h"
#include "game_link/game_process.h"
#include "game_link/memory.h"
#include "game_link/remote_cars.h"
#include "main_window/frm_chat.h"
#include "platform/os/linux/linux_os_services.h"
#include "recording_os.h"
#include "session/mod_dplay.h"
#include "standin_process.h"
#include "xvfb.h"

namespace orvel {
namespace {

using testing::RecordingOs;
using testing::StandinProcess;
using Kind = RecordingOs::Kind;

using Column = testing::MapColumn;
constexpr const Column& kStandard = testing::kStandardMap;
constexpr const Column& kMX = testing::kMxMap;

std::set<uint32_t> addresses(const Column& c) {
    return {c.car0, c.car0 + 0x3DC, c.car0 + 0x3E4, c.playValue, c.statusWord, c.siteA, c.siteB};
}

class GameLinkE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!display.ok()) {
            GTEST_SKIP() << "Xvfb is not available";
        }
        backend = std::make_unique<os::LinuxOsServices>(display.name().toLocal8Bit());
        recorder = std::make_unique<RecordingOs>(*backend);
        previous = os::setServices(recorder.get());
        Memory::gameWindow = 0;
        Memory::gameProcessId = 0;
        gameVersion = 0;
    }
    void TearDown() override {
        gamelink::ReleaseGame();
        os::setServices(previous);
    }

    ModDplay dx;

    // The main window as start-up leaves it: the stored edition restored into the check box.
    // Its timer is stopped so that the test alone decides when a tick runs.
    std::unique_ptr<frmChat> mainWindow(const char* storedVersion) {
        if (storedVersion != nullptr) {
            SaveDefault(QStringLiteral("GameVersion"), QString::fromLatin1(storedVersion));
        }
        auto window = std::make_unique<frmChat>(dx);
        window->Timer1->stop();
        window->mx->setChecked(GetDefault(QStringLiteral("GameVersion")) == QStringLiteral("1"));
        window->mx_Click();  // the edition follows the box also where the box did not change
        window->tick().setSleep([this](int ms) { sleeps.push_back(ms); });
        window->tick().setMessageObserver([this](const QByteArray& m) { messages.push_back(m); });
        return window;
    }

    std::vector<uint8_t> carState(StandinProcess& game, const Column& c) {
        std::vector<uint8_t> out = game.read(c.car0, 128);
        for (uint32_t offset : {0x3DCu, 0x3E4u}) {
            const auto piece = game.read(c.car0 + offset, 8);
            out.insert(out.end(), piece.begin(), piece.end());
        }
        return out;
    }

    // The full course of one game from its appearance: settling, patches, racing, menu.
    void playOneGame(frmChat& window, StandinProcess& game, const Column& own,
                     const Column& other) {
        ASSERT_EQ(game.command(QStringLiteral("race start")), QStringLiteral("ok"));
        // The opponents drive while the routines are whole.
        ASSERT_TRUE(game.waitUntil([&] { return game.counter("a_moves") > 10; }));
        const int siteBefore = game.siteA();
        ASSERT_EQ(siteBefore, game.siteB());
        ASSERT_NE(siteBefore, 0xC3);

        // First tick after the window appeared: the settling second, nothing else.
        recorder->calls.clear();
        window.Timer1_Timer();
        EXPECT_EQ(sleeps, std::vector<int>{1000});
        EXPECT_TRUE(recorder->calls.empty());
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(game.siteA(), siteBefore);
        EXPECT_EQ(game.siteB(), siteBefore);
        EXPECT_EQ(codeChanges(game), QStringList());

        // From the next tick on: the two patch bytes at every tick, and one message per racing
        // tick equal to car record 0 as it stood during the tick.
        size_t racingTicks = 0;
        for (int i = 0; i < 6; ++i) {
            ASSERT_TRUE(game.freeze());
            recorder->calls.clear();
            const size_t before = messages.size();
            window.Timer1_Timer();
            const auto state = carState(game, own);
            game.thaw();

            const auto writes = recorder->of(Kind::Write);
            if (i == 0) {
                // Not attached yet: the sites' bytes cannot be kept, so nothing is written.
                EXPECT_TRUE(writes.empty());
                continue;
            }
            ASSERT_EQ(writes.size(), 2u) << "tick " << i;
            EXPECT_EQ(writes[0].address, own.siteA);
            EXPECT_EQ(writes[1].address, own.siteB);
            EXPECT_EQ(writes[0].data, std::vector<uint8_t>{0xC3});
            EXPECT_EQ(writes[1].data, std::vector<uint8_t>{0xC3});
            if (messages.size() > before) {
                ASSERT_EQ(messages.size(), before + 1);
                const QByteArray& m = messages.back();
                ASSERT_EQ(m.size(), 152);
                EXPECT_EQ(m.left(4), QByteArray("\x02\x00\x00\x00", 4));
                EXPECT_EQ(std::vector<uint8_t>(m.begin() + 8, m.end()), state) << "tick " << i;
                ++racingTicks;
            }
        }
        // Only the first patching tick lacks the game's process id; every later one races.
        EXPECT_GE(racingTicks, 5u);
        EXPECT_EQ(game.siteA(), 0xC3);
        EXPECT_EQ(game.siteB(), 0xC3);

        // The opponents' routines no longer run: the cars stand.
        const qint64 runs = game.counter("a_runs");
        const QJsonObject car3 = game.json(QStringLiteral("car 3"));
        ASSERT_TRUE(game.waitFrames(10));
        EXPECT_EQ(game.counter("a_runs"), runs);
        EXPECT_EQ(game.json(QStringLiteral("car 3")), car3);

        // On the menu: patches, no messages.
        ASSERT_EQ(game.command(QStringLiteral("race end")), QStringLiteral("ok"));
        const size_t sent = messages.size();
        for (int i = 0; i < 3; ++i) {
            recorder->calls.clear();
            window.Timer1_Timer();
            EXPECT_EQ(recorder->of(Kind::Write).size(), 2u);
        }
        EXPECT_EQ(messages.size(), sent);

        // In all of the game's code, exactly the two sites of the chosen edition changed.
        EXPECT_EQ(codeChanges(game),
                  (QStringList{QStringLiteral("%1+1").arg(std::min(own.siteA, own.siteB), 0, 16),
                               QStringLiteral("%1+1").arg(std::max(own.siteA, own.siteB), 0, 16)}));
        // The other edition's sites are untouched in the game.
        const auto otherSites = game.read(other.siteA, 1);
        const auto otherSitesB = game.read(other.siteB, 1);
        ASSERT_EQ(otherSites.size(), 1u);
        EXPECT_NE(otherSites[0], 0xC3);
        EXPECT_NE(otherSitesB.at(0), 0xC3);
    }

    // The bytes of the game's code that differ from its start-up contents, as the game itself
    // reports them: "address+length" for each changed range.
    static QStringList codeChanges(StandinProcess& game) {
        const QString reply = game.command(QStringLiteral("changes"));
        if (!reply.startsWith(QStringLiteral("ok "))) {
            return {reply};
        }
        QStringList out;
        for (const QJsonValue range : QJsonDocument::fromJson(reply.mid(3).toUtf8()).array()) {
            const QJsonArray pair = range.toArray();
            bool ok = false;
            const uint32_t address = pair.at(0).toString().toUInt(&ok, 16);
            if (ok && address >= 0x424000 && address < 0x427000) {
                out << QStringLiteral("%1+%2").arg(address, 0, 16).arg(pair.at(1).toInteger());
            }
        }
        return out;
    }

    // Plays one game keeping every platform call, then checks that only own's addresses were
    // touched.
    void playTouchingOnly(frmChat& window, StandinProcess& game, const Column& own,
                          const Column& other) {
        auto keep = [this] {
            allCalls.insert(allCalls.end(), recorder->calls.begin(), recorder->calls.end());
        };
        window.tick().setMessageObserver([this, keep](const QByteArray& m) {
            messages.push_back(m);
            keep();
        });
        playOneGame(window, game, own, other);
        keep();
        expectOnlyAddressesOf(own, other);
    }

    // Everything written is the chosen edition's; besides its own addresses, only the look at
    // which edition the game is reads elsewhere: the other edition's fields and the image base.
    void expectOnlyAddressesOf(const Column& own, const Column& other) {
        const auto mine = addresses(own);
        const auto theirs = addresses(other);
        const std::set<uint32_t> looked = {other.statusWord,   other.playValue,    other.car0,
                                           other.car0 + 0x3DC, other.car0 + 0x3E4, 0x400000};
        for (const auto& call : allCalls) {
            if (call.kind == Kind::Read) {
                EXPECT_TRUE(mine.count(call.address) || looked.count(call.address))
                    << std::hex << call.address;
            } else if (call.kind != Kind::Open) {
                EXPECT_TRUE(mine.count(call.address)) << std::hex << call.address;
                EXPECT_FALSE(theirs.count(call.address)) << std::hex << call.address;
            }
        }
    }

    void ticks(frmChat& window, int n) {
        for (int i = 0; i < n; ++i) {
            window.Timer1_Timer();
        }
    }

    void playStored(const char* stored, bool mx);

    testing::XvfbDisplay display;
    std::unique_ptr<os::LinuxOsServices> backend;
    std::unique_ptr<RecordingOs> recorder;
    os::OsServices* previous = nullptr;
    std::vector<int> sleeps;
    std::vector<QByteArray> messages;
    std::vector<RecordingOs::Call> allCalls;
};

// The edition comes from the stored text ("1" alone means MX); the window then plays a game of
// that edition touching only its addresses.
void GameLinkE2ETest::playStored(const char* stored, bool mx) {
    auto window = mainWindow(stored);
    ASSERT_EQ(window->mx->isChecked(), mx);
    EXPECT_EQ(gameVersion, mx ? 1 : 0);
    StandinProcess game(display.name(), mx ? QStringList{kMX.option} : QStringList{});
    ASSERT_TRUE(game.ok());
    playTouchingOnly(*window, game, mx ? kMX : kStandard, mx ? kStandard : kMX);
}

TEST_F(GameLinkE2ETest, StandardEditionWhenNothingIsStored) {
    playStored(nullptr, false);
}

TEST_F(GameLinkE2ETest, StoredGameVersionOneTouchesOnlyMxAddresses) {
    playStored("1", true);
}

TEST_F(GameLinkE2ETest, AnyOtherStoredTextTouchesOnlyStandardAddresses) {
    playStored("yes", false);
}

TEST_F(GameLinkE2ETest, ARestartedGameGetsANewSettlingSecondAndFreshPatches) {
    auto window = mainWindow("0");
    {
        StandinProcess first(display.name(), {QStringLiteral("--race")});
        ASSERT_TRUE(first.ok());
        for (int i = 0; i < 3; ++i) {
            window->Timer1_Timer();
        }
        ASSERT_EQ(first.siteA(), 0xC3);
        first.quit();
        window->Timer1_Timer();
        EXPECT_FALSE(window->tick().gameDetected());
    }
    sleeps.clear();
    messages.clear();
    StandinProcess second(display.name(), {});
    ASSERT_TRUE(second.ok());
    playOneGame(*window, second, kStandard, kMX);
}

// A game of the edition not chosen gets nothing written (no patch, no remote car, no line on
// its message area) and the status line says which edition it looks like; put right, the choice
// lets Orvel race with it. (Its own opponents drive on meanwhile, so its data changes.)
TEST_F(GameLinkE2ETest, AGameOfTheOtherEditionIsLeftAloneUntilTheChoiceIsPutRight) {
    struct Case {
        const char* stored;
        const Column& game;
        const char* shown;
    };
    for (const Case& c : {Case{"0", kMX, "looks like the MX edition. Tick \"MX\""},
                          Case{"1", kStandard, "looks like the standard edition. Untick \"MX\""}}) {
        SCOPED_TRACE(c.shown);
        auto window = mainWindow(c.stored);
        StandinProcess game(display.name(),
                            QStringList{QStringLiteral("--race"), c.game.option}.filter(
                                QRegularExpression(QStringLiteral("."))));
        ASSERT_TRUE(game.ok());
        recorder->calls.clear();
        ticks(*window, 4);
        window->AddChatLine(QStringLiteral("<Bob> hello"));
        gamelink::WriteRemoteCar(1, CarState{});
        ticks(*window, 2);
        EXPECT_EQ(window->tick().state(), gamelink::GameState::OtherEdition);
        EXPECT_TRUE(window->lblGameStatus->text().contains(QLatin1String(c.shown)))
            << window->lblGameStatus->text().toStdString();
        // Nothing written by any way: no patch in the game's code, and no message shown.
        EXPECT_TRUE(recorder->of(Kind::Write).empty());
        EXPECT_EQ(codeChanges(game), QStringList());
        EXPECT_FALSE(game.json(QStringLiteral("message")).value(QStringLiteral("shown")).toBool());

        window->mx->setChecked(&c.game == &kMX);
        ticks(*window, 2);
        EXPECT_TRUE(game.patched());
        EXPECT_EQ(window->tick().state(), gamelink::GameState::Racing);
    }
}

// A game whose executable's headers are loaded is known by its build: once raced with, the
// build's edition is remembered, and a second run of it is told even where its fields cannot
// tell. Another build is not taken for it.
TEST_F(GameLinkE2ETest, ABuildRacedWithIsRemembered) {
    // The build's key as its headers give it: the time stamp at +8 and the image size at +80
    // from the "PE" header, whose offset stands at +0x3C.
    auto buildOf = [](StandinProcess& game) {
        const uint32_t pe = 0x400000 + game.readU32(0x40003C);
        return QStringLiteral("%1-%2")
            .arg(game.readU32(pe + 8), 8, 16, QLatin1Char('0'))
            .arg(game.readU32(pe + 80), 8, 16, QLatin1Char('0'));
    };
    const QString section = QStringLiteral("GameEditions");
    {
        auto window = mainWindow("1");
        StandinProcess game(display.name(),
                            {kMX.option, QStringLiteral("--pe-header"), QStringLiteral("--race"),
                             QStringLiteral("--autopilot")});
        ASSERT_TRUE(game.ok());
        ASSERT_EQ(buildOf(game), QStringLiteral("3c9a6b10-001fa000"));
        for (int i = 0; i < 100 && GetSetting(kSettingsApp, section, buildOf(game)).isEmpty();
             ++i) {
            window->Timer1_Timer();
            ASSERT_TRUE(game.waitFrames(1));
        }
        EXPECT_EQ(GetSetting(kSettingsApp, section, buildOf(game)), QStringLiteral("1"));
    }
    struct Case {
        QStringList build;
        gamelink::GameState state;
        int standardSite;  // its first byte afterwards: the stand-in's code fill, or a patch
    };
    for (const Case& c : {Case{{}, gamelink::GameState::OtherEdition, 0xCC},
                          Case{{QStringLiteral("--pe-stamp"), QStringLiteral("0x3c9a6b11")},
                               gamelink::GameState::Menu,
                               0xC3}}) {
        SCOPED_TRACE(c.build.join(' ').toStdString());
        auto window = mainWindow("0");
        StandinProcess game(display.name(),
                            QStringList{kMX.option, QStringLiteral("--pe-header")} + c.build);
        ASSERT_TRUE(game.ok());
        // The standard edition's status word made to look alive too: the fields cannot tell.
        ASSERT_TRUE(game.writeU32(kStandard.statusWord, 1));
        ticks(*window, 4);
        EXPECT_EQ(window->tick().state(), c.state);
        EXPECT_EQ(game.read(kStandard.siteA, 1).at(0), c.standardSite);
        EXPECT_EQ(game.siteA(), 0x48);
    }
}

// A window of the game's title whose process runs as another user is told as such, and that
// process is never opened.
TEST_F(GameLinkE2ETest, AnotherUsersGameIsToldAsSuch) {
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()) {
        GTEST_SKIP() << "starting the game as another user (nobody) takes root and setpriv";
    }
    StandinProcess game(display.name(), {},
                        {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                         QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")});
    ASSERT_TRUE(game.ok()) << game.failure().toStdString();
    auto window = mainWindow("0");
    recorder->calls.clear();
    ticks(*window, 3);
    EXPECT_EQ(window->tick().state(), gamelink::GameState::OtherUser);
    EXPECT_TRUE(window->lblGameStatus->text().contains(
        QStringLiteral("belongs to user nobody; Orvel runs as root and can only reach games of "
                       "its own user")))
        << window->lblGameStatus->text().toStdString();
    EXPECT_TRUE(recorder->calls.empty());
}

}  // namespace
}  // namespace orvel
