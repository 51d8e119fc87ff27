// The game checks, the patch step and the car-state tick against a fake window system and
// process table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "common/orvel_globals.h"
#include "fake_os.h"
#include "game_link/car_state_tick.h"
#include "game_link/game_checks.h"
#include "game_link/game_memory_map.h"
#include "game_link/memory.h"
#include "session/race_session.h"
#include "stub_peer.h"

namespace orvel {
namespace {

using testing::FakeOs;
using Kind = FakeOs::Kind;

constexpr uint32_t kGamePid = 777;
constexpr uint32_t kGameWindow = 0x400011;

using FakePeer = orvel::testing::StubPeer;

// Every address of one edition that the game link may touch.
std::set<uint32_t> addressesOf(const gamemap::Edition& e) {
    std::set<uint32_t> out = {e.playValue, e.statusWord, e.patchSiteA, e.patchSiteB};
    for (const auto& piece : gamemap::kCarPieces) {
        out.insert(e.localCarRecord + piece.recordOffset);
    }
    return out;
}

class GameLinkTest : public ::testing::Test {
protected:
    testing::FakeOsScope scope;
    FakeOs& fake = scope.os;
    std::shared_ptr<dx8::DirectPlay8Peer> dpPeer;
    RaceSession session{dpPeer};
    CarStateTick tick{session};
    std::vector<int> sleeps;
    std::vector<QByteArray> messages;

    GameLinkTest() {
        tick.setSleep([this](int ms) { sleeps.push_back(ms); });
        tick.setMessageObserver([this](const QByteArray& m) { messages.push_back(m); });
    }

    // A game with the memory of both editions, so that a wrong address would still be readable
    // and show up as a wrong byte rather than a failed read.
    void startGame(uint32_t pid = kGamePid, uint32_t window = kGameWindow) {
        fake.addWindow(window, GameTitle, pid);
        fake.map(pid, 0x424000, 0x4000, 0x55);  // code, both editions' patch sites
        fake.map(pid, 0x536000, 0xE000, 0);     // car records and message areas
        fake.map(pid, 0x5F9000, 0x7000, 0);     // status words
        for (uint32_t a = 0x536000; a < 0x544000; ++a) {
            *fake.at(pid, a) = static_cast<uint8_t>(a * 7 + (a >> 8));
        }
        setRace(pid, false);
    }
    void stopGame(uint32_t pid = kGamePid) {
        fake.removeWindows();
        fake.processes.erase(pid);
    }
    void setRace(uint32_t pid, bool racing, int32_t version = -1) {
        for (const gamemap::Edition* e : {&gamemap::kStandard, &gamemap::kMX}) {
            if (version >= 0 && e != &gamemap::edition(version)) {
                continue;
            }
            fake.pokeFloat(pid, e->playValue, racing ? 1.5f : 0.0f);
            fake.pokeLong(pid, e->statusWord, 0);
        }
    }
    std::vector<uint8_t> carStateInGame(uint32_t pid, int32_t version) {
        std::vector<uint8_t> out;
        const uint32_t r = gamemap::carRecord(version, 0);
        for (const auto& piece : gamemap::kCarPieces) {
            const auto bytes = fake.peek(pid, r + piece.recordOffset, piece.size);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
        return out;
    }
    // Runs ticks until the game is settled and attached, so that the next tick patches.
    void settle() {
        tick.run();  // settling
        tick.run();  // first patching tick attaches through isPlaying
    }
};

// ---- Checks ----------------------------------------------------------------------------------

TEST_F(GameLinkTest, NoGameMeansNotRunningPlayingOrFocused) {
    fake.addWindow(5, QStringLiteral("Some editor"), 1);
    fake.foreground = 5;
    EXPECT_FALSE(gamelink::isRunning());
    EXPECT_FALSE(gamelink::isPlaying());
    EXPECT_FALSE(gamelink::isFocused());
    // With no game nothing is opened, read or attached.
    EXPECT_TRUE(fake.callsOf(Kind::Open).empty());
    EXPECT_TRUE(fake.callsOf(Kind::Owner).empty());
    // Nothing in front and nothing attached is still not "the game has the focus".
    fake.foreground = 0;
    EXPECT_FALSE(gamelink::isFocused());
}

TEST_F(GameLinkTest, IsRunningDoesNotAttach) {
    startGame();
    EXPECT_TRUE(gamelink::isRunning());
    EXPECT_EQ(Memory::gameWindow, 0u);
    EXPECT_EQ(Memory::gameProcessId, 0u);
    // The window's owner is asked (to tell the game from a look-alike); no memory is touched.
    EXPECT_EQ(fake.kinds(), (std::vector<Kind>{Kind::Find, Kind::Owner}));
}

TEST_F(GameLinkTest, FirstIsPlayingAfterTheGameAppearsIsFalseYetAttaches) {
    startGame();
    setRace(kGamePid, true);
    EXPECT_FALSE(gamelink::isPlaying());
    EXPECT_EQ(Memory::gameProcessId, kGamePid);
    EXPECT_EQ(Memory::gameWindow, kGameWindow);
    // The status-word read after the attach already reached the game.
    // Nothing is opened before the attach; the game itself once.
    const auto opens = fake.callsOf(Kind::Open);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].pid, kGamePid);
    EXPECT_NE(Memory::memResult, 0);
    EXPECT_TRUE(gamelink::isPlaying());
}

TEST_F(GameLinkTest, IsPlayingWantsPositivePlayValueAndZeroStatus) {
    startGame();
    Memory::AttachGame(GameTitle);
    const auto& e = gamemap::kStandard;
    struct Case {
        float play;
        int32_t status;
        bool playing;
    };
    const Case cases[] = {
        {0.0f, 0, false},  {0.5f, 0, true},   {0.5f, 1, false},
        {-0.5f, 0, false}, {-0.0f, 0, false}, {std::numeric_limits<float>::quiet_NaN(), 0, false},
        {1e-30f, 0, true}, {0.5f, -1, false}, {std::numeric_limits<float>::infinity(), 0, true},
    };
    for (const Case& c : cases) {
        fake.pokeFloat(kGamePid, e.playValue, c.play);
        fake.pokeLong(kGamePid, e.statusWord, c.status);
        EXPECT_EQ(gamelink::isPlaying(), c.playing) << c.play << " " << c.status;
    }
}

TEST_F(GameLinkTest, IsPlayingReadsTheChosenEditionsAddresses) {
    startGame();
    Memory::AttachGame(GameTitle);
    setRace(kGamePid, true, 1);  // only the MX values say "race"
    gameVersion = 0;
    EXPECT_FALSE(gamelink::isPlaying());
    gameVersion = 1;
    EXPECT_TRUE(gamelink::isPlaying());
    const auto reads = fake.callsOf(Kind::Read);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0].address, 0x53BCBCu);
    EXPECT_EQ(reads[1].address, 0x5FEAA0u);
    EXPECT_EQ(reads[2].address, 0x536B54u);
    EXPECT_EQ(reads[3].address, 0x5F9908u);
}

TEST_F(GameLinkTest, IsFocusedComparesTheForegroundWithTheAttachedWindow) {
    startGame();
    fake.foreground = kGameWindow;
    EXPECT_FALSE(gamelink::isFocused());  // not attached yet
    Memory::AttachGame(GameTitle);
    EXPECT_TRUE(gamelink::isFocused());
    fake.foreground = kGameWindow + 1;
    EXPECT_FALSE(gamelink::isFocused());
}

// ---- The tick --------------------------------------------------------------------------------

TEST_F(GameLinkTest, NoGameTicksDoNothing) {
    for (int i = 0; i < 5; ++i) {
        tick.run();
    }
    EXPECT_FALSE(tick.gameDetected());
    EXPECT_TRUE(sleeps.empty());
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(fake.callsOf(Kind::Open).empty());
}

TEST_F(GameLinkTest, SettlingTickWaitsOneSecondAndTouchesNothing) {
    startGame();
    setRace(kGamePid, true);
    tick.run();
    EXPECT_EQ(sleeps, std::vector<int>{1000});
    EXPECT_TRUE(tick.gameDetected());
    EXPECT_EQ(fake.kinds(), (std::vector<Kind>{Kind::Find, Kind::Owner}));
    EXPECT_TRUE(messages.empty());
}

TEST_F(GameLinkTest, PatchesLandFromTheTickAfterTheFirstPatchingTick) {
    startGame();
    tick.run();  // settling
    fake.calls.clear();
    tick.run();
    // The game is not attached yet, so the bytes at the sites cannot be kept: nothing is
    // written.
    auto writes = fake.callsOf(Kind::Write);
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(*fake.at(kGamePid, 0x426920), 0x55);
    EXPECT_EQ(Memory::gameProcessId, kGamePid);  // the play check attached

    for (int i = 0; i < 3; ++i) {
        fake.calls.clear();
        tick.run();
        writes = fake.callsOf(Kind::Write);
        ASSERT_EQ(writes.size(), 2u) << "tick " << i;
        EXPECT_EQ(writes[0].address, 0x426920u);
        EXPECT_EQ(writes[1].address, 0x426DF0u);
        EXPECT_EQ(writes[0].data, std::vector<uint8_t>{0xC3});
        EXPECT_EQ(writes[1].data, std::vector<uint8_t>{0xC3});
        EXPECT_EQ(*fake.at(kGamePid, 0x426920), 0xC3);
        EXPECT_EQ(*fake.at(kGamePid, 0x426DF0), 0xC3);
        // Only the first byte of each routine; the MX sites stay as they were.
        EXPECT_EQ(*fake.at(kGamePid, 0x426921), 0x55);
        EXPECT_EQ(*fake.at(kGamePid, 0x426DEF), 0x55);
        EXPECT_EQ(*fake.at(kGamePid, 0x424F10), 0x55);
        EXPECT_EQ(*fake.at(kGamePid, 0x4253E0), 0x55);
    }
    // On the menu: no block reads and no messages.
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(fake.callsOf(Kind::Read).size(), 2u);  // the play check only
    EXPECT_EQ(sleeps.size(), 1u);
}

TEST_F(GameLinkTest, EachRacingTickSendsOneCarStateMessageOfTheThreePieces) {
    auto peer = std::make_shared<FakePeer>();
    dpPeer = peer;
    startGame();
    settle();
    tick.run();  // the first patches, with the sites' bytes kept
    setRace(kGamePid, true);
    for (int i = 0; i < 4; ++i) {
        // The car moves between ticks; every message carries the state of its own tick.
        fake.poke(kGamePid, gamemap::kStandard.localCarRecord + 3, {uint8_t(i)});
        const size_t before = messages.size();
        fake.calls.clear();
        tick.run();
        ASSERT_EQ(messages.size(), before + 1);
        const QByteArray& m = messages.back();
        ASSERT_EQ(m.size(), 152);
        EXPECT_EQ(m.left(4), QByteArray("\x02\x00\x00\x00", 4));
        const std::vector<uint8_t> body(m.begin() + 8, m.end());
        EXPECT_EQ(body, carStateInGame(kGamePid, 0));
        EXPECT_EQ(body[3], i);
        // Re-attached in the race, then the three block reads in order.
        const auto reads = fake.callsOf(Kind::Read);
        ASSERT_EQ(reads.size(), 5u);
        EXPECT_EQ(reads[2].address, 0x53B8DCu);
        EXPECT_EQ(reads[2].length, 128u);
        EXPECT_EQ(reads[3].address, 0x53BCB8u);
        EXPECT_EQ(reads[3].length, 8u);
        EXPECT_EQ(reads[4].address, 0x53BCC0u);
        EXPECT_EQ(reads[4].length, 8u);
        // One window lookup serves the whole tick; the held game's owner is known already.
        EXPECT_EQ(fake.callsOf(Kind::Find).size(), 1u);
        EXPECT_EQ(fake.callsOf(Kind::Owner).size(), 0u);
        EXPECT_EQ(fake.callsOf(Kind::Write).size(), 2u);
    }
    ASSERT_EQ(peer->sends.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(peer->sends[i].target, 0u);
        EXPECT_EQ(peer->sends[i].timeout, 0);
        EXPECT_EQ(peer->sends[i].flags, 0x20);
        EXPECT_EQ(peer->sends[i].data, messages[messages.size() - 4 + i]);
    }

    // The race ends: patches go on, messages stop.
    setRace(kGamePid, false);
    const size_t sent = messages.size();
    fake.calls.clear();
    tick.run();
    EXPECT_EQ(messages.size(), sent);
    EXPECT_EQ(peer->sends.size(), 4u);
    EXPECT_EQ(fake.callsOf(Kind::Write).size(), 2u);
}

TEST_F(GameLinkTest, PiecesThatCannotBeReadAreSentAsZeros) {
    // The first piece (R .. R+0x7F) lies in a hole of the game's memory.
    const auto& e = gamemap::kStandard;
    fake.addWindow(kGameWindow, GameTitle, kGamePid);
    fake.map(kGamePid, e.localCarRecord + 0x80, 0x400, 0x11);
    fake.map(kGamePid, 0x424000, 0x4000, 0x55);
    fake.map(kGamePid, 0x5F9000, 0x7000, 0);
    fake.pokeFloat(kGamePid, e.playValue, 1.0f);
    settle();
    tick.run();
    ASSERT_EQ(messages.size(), 1u);
    const QByteArray& m = messages[0];
    EXPECT_EQ(m.mid(8, 128), QByteArray(128, '\0'));
    const QByteArray rest = m.mid(136);
    ASSERT_EQ(rest.size(), 16);
    EXPECT_EQ(static_cast<uint8_t>(rest[0]), 0x11);              // R+0x3DC
    EXPECT_EQ(rest.mid(4, 4), QByteArray::fromHex("0000803f"));  // the play value 1.0
}

TEST_F(GameLinkTest, AFailingSendIsIgnoredAndNoPeerStillBuildsTheMessage) {
    startGame();
    settle();
    setRace(kGamePid, true);
    tick.run();  // no peer at all
    EXPECT_EQ(messages.size(), 1u);

    auto peer = std::make_shared<FakePeer>();
    peer->failSend = dx8::DPNERR_NOCONNECTION;
    dpPeer = peer;
    tick.run();
    tick.run();
    EXPECT_EQ(messages.size(), 3u);
    EXPECT_EQ(peer->sends.size(), 2u);
}

TEST_F(GameLinkTest, ClosingAndRestartingTheGameSettlesAndPatchesAnew) {
    startGame();
    settle();
    tick.run();
    ASSERT_EQ(*fake.at(kGamePid, 0x426920), 0xC3);
    stopGame();
    fake.calls.clear();
    tick.run();
    EXPECT_FALSE(tick.gameDetected());
    EXPECT_TRUE(fake.callsOf(Kind::Write).empty());
    EXPECT_EQ(sleeps.size(), 1u);

    const uint32_t newPid = kGamePid + 1;
    startGame(newPid, kGameWindow + 2);
    setRace(newPid, true);
    fake.calls.clear();
    tick.run();
    EXPECT_EQ(sleeps.size(), 2u);  // a new settling second
    EXPECT_EQ(fake.kinds(), (std::vector<Kind>{Kind::Find, Kind::Owner}));
    tick.run();  // nothing held to write to; the play check attaches to the new one
    EXPECT_EQ(*fake.at(newPid, 0x426920), 0x55);
    EXPECT_EQ(Memory::gameProcessId, newPid);
    EXPECT_TRUE(messages.empty());
    tick.run();
    EXPECT_EQ(*fake.at(newPid, 0x426920), 0xC3);
    EXPECT_EQ(*fake.at(newPid, 0x426DF0), 0xC3);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(GameLinkTest, EachEditionTouchesOnlyItsOwnAddresses) {
    for (int32_t version : {0, 1}) {
        SCOPED_TRACE(version);
        stopGame();
        tick.run();  // forget the previous game
        startGame();
        gameVersion = version;
        Memory::gameProcessId = 0;
        settle();
        // The first tick of an attached game looks at both editions' fields to tell which one
        // the game is (with both alike here, it cannot); from then on, only its own.
        tick.run();
        setRace(kGamePid, true);
        fake.calls.clear();
        for (int i = 0; i < 3; ++i) {
            tick.run();
        }
        ASSERT_EQ(messages.size(), 3u * (version + 1));
        EXPECT_EQ(std::vector<uint8_t>(messages.back().begin() + 8, messages.back().end()),
                  carStateInGame(kGamePid, version));
        setRace(kGamePid, false);
        tick.run();
        const auto own = addressesOf(gamemap::edition(version));
        const auto other = addressesOf(gamemap::edition(1 - version));
        size_t touched = 0;
        for (const auto& call : fake.calls) {
            if (call.kind == Kind::Read || call.kind == Kind::Write || call.kind == Kind::Protect) {
                EXPECT_TRUE(own.count(call.address)) << std::hex << call.address;
                EXPECT_FALSE(other.count(call.address)) << std::hex << call.address;
                ++touched;
            }
        }
        EXPECT_GT(touched, 20u);
        const auto& e = gamemap::edition(version);
        const auto& o = gamemap::edition(1 - version);
        EXPECT_EQ(*fake.at(kGamePid, e.patchSiteA), 0xC3);
        EXPECT_EQ(*fake.at(kGamePid, e.patchSiteB), 0xC3);
        EXPECT_EQ(*fake.at(kGamePid, o.patchSiteA), 0x55);
        EXPECT_EQ(*fake.at(kGamePid, o.patchSiteB), 0x55);
    }
}

TEST_F(GameLinkTest, SwitchingEditionKeepsTheOldPatchesAndPatchesTheNewSitesNextTick) {
    startGame();
    settle();
    tick.run();
    gameVersion = 1;
    tick.run();
    EXPECT_EQ(*fake.at(kGamePid, 0x426920), 0xC3);
    EXPECT_EQ(*fake.at(kGamePid, 0x426DF0), 0xC3);
    EXPECT_EQ(*fake.at(kGamePid, 0x424F10), 0xC3);
    EXPECT_EQ(*fake.at(kGamePid, 0x4253E0), 0xC3);
}

TEST_F(GameLinkTest, ARealSleepIsTheDefaultSettlingWait) {
    CarStateTick plain(session);
    startGame();
    const auto start = std::chrono::steady_clock::now();
    plain.run();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
    EXPECT_TRUE(plain.gameDetected());
}

}  // namespace
}  // namespace orvel
