// The car-state tick with the real Linux backend against a fixture process on a private X
// server: settling, patches that really switch the routines off, car-state messages equal to
// the process's memory, and a restarted game.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>

#include "common/orvel_globals.h"
#include "fixture_process.h"
#include "game_link/car_state_tick.h"
#include "game_link/game_memory_map.h"
#include "game_link/memory.h"
#include "platform/os/linux/linux_os_services.h"
#include "xvfb.h"

namespace orvel {
namespace {

using testing::FixtureProcess;

class TickAgainstProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!display.ok()) {
            GTEST_SKIP() << "Xvfb is not available";
        }
        backend = std::make_unique<os::LinuxOsServices>(display.name().toLocal8Bit());
        previous = os::setServices(backend.get());
        Memory::gameWindow = 0;
        Memory::gameProcessId = 0;
        gameVersion = 0;
        tick.setSleep([this](int ms) { sleeps.push_back(ms); });
        tick.setMessageObserver([this](const QByteArray& m) { messages.push_back(m); });
    }
    void TearDown() override { os::setServices(previous); }

    std::vector<uint8_t> carState(FixtureProcess& game, int32_t version) {
        std::vector<uint8_t> out;
        const uint32_t r = gamemap::carRecord(version, 0);
        for (const auto& piece : gamemap::kCarPieces) {
            const auto bytes = game.peek(r + piece.recordOffset, static_cast<int>(piece.size));
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
        return out;
    }
    void setRace(FixtureProcess& game, int32_t version, bool racing) {
        const auto& e = gamemap::edition(version);
        ASSERT_TRUE(game.pokeFloat(e.playValue, racing ? 0.25f : 0.0f));
        ASSERT_TRUE(game.pokeLong(e.statusWord, 0));
    }
    uint8_t siteByte(FixtureProcess& game, uint32_t site) { return game.peek(site, 1).at(0); }

    testing::XvfbDisplay display;
    std::unique_ptr<os::LinuxOsServices> backend;
    os::OsServices* previous = nullptr;
    CarStateTick tick;
    std::vector<int> sleeps;
    std::vector<QByteArray> messages;
};

TEST_F(TickAgainstProcessTest, SettlesPatchesAndSendsTheLocalCar) {
    for (int32_t version : {0, 1}) {
        SCOPED_TRACE(version);
        gameVersion = version;
        messages.clear();
        sleeps.clear();
        FixtureProcess game;
        ASSERT_TRUE(game.start(display.name()));
        const auto& own = gamemap::edition(version);
        const auto& other = gamemap::edition(1 - version);
        setRace(game, version, true);
        // The other edition's values would also say "race": a wrong address would show.
        setRace(game, 1 - version, true);
        const uint8_t originalA = siteByte(game, own.patchSiteA);

        tick.run();  // settling: nothing touched
        EXPECT_EQ(sleeps, std::vector<int>{1000});
        EXPECT_EQ(siteByte(game, own.patchSiteA), originalA);
        EXPECT_TRUE(messages.empty());
        EXPECT_NE(Memory::gameProcessId, game.pid());  // not attached yet

        tick.run();  // patches go to a process not yet attached; the play check attaches
        EXPECT_EQ(Memory::gameProcessId, game.pid());
        EXPECT_TRUE(messages.empty());

        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(game.poke(own.localCarRecord + 10, QByteArray(1, char(i + 1))));
            tick.run();
            ASSERT_EQ(messages.size(), size_t(i + 1));
            const QByteArray& m = messages.back();
            ASSERT_EQ(m.size(), 152);
            EXPECT_EQ(m.left(4), QByteArray("\x02\x00\x00\x00", 4));
            EXPECT_EQ(std::vector<uint8_t>(m.begin() + 8, m.end()), carState(game, version));
            EXPECT_EQ(static_cast<uint8_t>(m[8 + 10]), i + 1);
        }
        EXPECT_EQ(siteByte(game, own.patchSiteA), 0xC3);
        EXPECT_EQ(siteByte(game, own.patchSiteB), 0xC3);
        EXPECT_EQ(siteByte(game, other.patchSiteA), originalA);
        EXPECT_EQ(siteByte(game, other.patchSiteB), originalA);
        if (game.call(own.patchSiteA)) {
            ASSERT_TRUE(game.call(own.patchSiteB));
            ASSERT_TRUE(game.call(other.patchSiteA));
            EXPECT_EQ(game.count(own.patchSiteA), 0);
            EXPECT_EQ(game.count(own.patchSiteB), 0);
            EXPECT_EQ(game.count(other.patchSiteA), 1);
        }

        // Back on the menu: no more messages.
        setRace(game, version, false);
        tick.run();
        tick.run();
        EXPECT_EQ(messages.size(), 3u);

        // The game closes: the next tick forgets it.
        game.stop();
        tick.run();
        EXPECT_FALSE(tick.gameDetected());
    }
}

TEST_F(TickAgainstProcessTest, ARestartedGameGetsANewSettlingSecondAndFreshPatches) {
    FixtureProcess first;
    ASSERT_TRUE(first.start(display.name()));
    tick.run();
    tick.run();
    tick.run();
    ASSERT_EQ(siteByte(first, 0x426920), 0xC3);
    first.stop();
    tick.run();
    EXPECT_FALSE(tick.gameDetected());

    FixtureProcess second;
    ASSERT_TRUE(second.start(display.name()));
    setRace(second, 0, true);
    tick.run();
    EXPECT_EQ(sleeps.size(), 2u);
    EXPECT_EQ(siteByte(second, 0x426920), 0xFF);  // the routine's first byte, unpatched
    tick.run();
    EXPECT_EQ(siteByte(second, 0x426920), 0xFF);  // the old id could not be opened
    EXPECT_TRUE(messages.empty());
    tick.run();
    EXPECT_EQ(siteByte(second, 0x426920), 0xC3);
    EXPECT_EQ(siteByte(second, 0x426DF0), 0xC3);
    EXPECT_EQ(messages.size(), 1u);
}

}  // namespace
}  // namespace orvel

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
