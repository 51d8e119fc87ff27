// The game-memory module against a fake window system and process table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryFile>
#include <cmath>
#include <cstdio>
#include <limits>

#include "common/orvel_globals.h"
#include "fake_os.h"
#include "game_link/cp1252.h"
#include "game_link/memory.h"

namespace orvel {
namespace {

using testing::FakeOs;
using Kind = FakeOs::Kind;

constexpr uint32_t kGamePid = 4242;
constexpr uint32_t kGameWindow = 0x600001;
constexpr uint32_t kBase = 0x500000;

class MemoryTest : public ::testing::Test {
protected:
    testing::FakeOsScope scope;
    FakeOs& fake = scope.os;

    void startGame(uint32_t pid = kGamePid, uint32_t window = kGameWindow) {
        fake.addWindow(window, GameTitle, pid);
        fake.map(pid, kBase, 0x2000, 0xAA);
    }
};

TEST_F(MemoryTest, AttachFindsTheWindowByWholeTitleWithoutRegardToCase) {
    fake.addWindow(7, QStringLiteral("Brenmoor - Kartova (paused)"), 1);
    fake.addWindow(8, QStringLiteral("BRENMOOR - kartova"), 99);
    Memory::AttachGame(GameTitle);
    EXPECT_EQ(Memory::gameWindow, 8u);
    EXPECT_EQ(Memory::gameProcessId, 99u);
}

TEST_F(MemoryTest, AttachWithoutWindowClearsWindowAndKeepsProcessId) {
    startGame();
    Memory::AttachGame(GameTitle);
    ASSERT_EQ(Memory::gameProcessId, kGamePid);
    fake.removeWindows();
    Memory::AttachGame(GameTitle);
    EXPECT_EQ(Memory::gameWindow, 0u);
    EXPECT_EQ(Memory::gameProcessId, kGamePid);
    // The owner is not asked about a window that was not found.
    EXPECT_EQ(fake.callsOf(Kind::Owner).size(), 1u);
}

TEST_F(MemoryTest, AWindowWhoseOwnerIsUnknownIsNotTakenForTheGame) {
    startGame();
    Memory::AttachGame(GameTitle);
    fake.removeWindows();
    fake.addWindow(kGameWindow + 1, GameTitle, 0);
    Memory::AttachGame(GameTitle);
    // Nobody can say it is the game, so it is not; the process attached before stays the one
    // every transfer goes to.
    EXPECT_EQ(Memory::gameWindow, 0u);
    EXPECT_EQ(Memory::gameProcessId, kGamePid);
}

TEST_F(MemoryTest, ReadsCopyLittleEndianValues) {
    startGame();
    Memory::AttachGame(GameTitle);
    fake.pokeLong(kGamePid, kBase + 4, -123456);
    fake.pokeFloat(kGamePid, kBase + 8, 0.75f);
    fake.poke(kGamePid, kBase + 16, {1, 2, 3});
    EXPECT_EQ(Memory::ReadGameLong(GameTitle, kBase + 4), -123456);
    EXPECT_EQ(Memory::memLong, -123456);
    EXPECT_FLOAT_EQ(Memory::ReadGameSingle(GameTitle, kBase + 8), 0.75f);
    EXPECT_FLOAT_EQ(Memory::memSingle, 0.75f);
    EXPECT_EQ(Memory::ReadGameBytes(GameTitle, kBase + 16, 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(Memory::memBytes, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_NE(Memory::memResult, 0);
}

TEST_F(MemoryTest, FailedReadLongReturnsTheLastValueOfEitherLongOperation) {
    startGame();
    Memory::AttachGame(GameTitle);
    fake.pokeLong(kGamePid, kBase, 77);
    ASSERT_EQ(Memory::ReadGameLong(GameTitle, kBase), 77);
    EXPECT_EQ(Memory::ReadGameLong(GameTitle, 0x10), 77);  // unmapped
    EXPECT_EQ(Memory::memResult, 0);

    // -1 goes out as FF FF FF FF and is what a failed read then answers.
    EXPECT_NE(Memory::WriteGameLong(GameTitle, kBase + 32, -1), 0);
    EXPECT_EQ(fake.peek(kGamePid, kBase + 32, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    fake.removeWindows();
    fake.processes.erase(kGamePid);  // the game has gone
    EXPECT_EQ(Memory::ReadGameLong(GameTitle, kBase), -1);
    EXPECT_EQ(Memory::memResult, 0);
    // No re-attach from ReadGameLong.
    EXPECT_EQ(fake.callsOf(Kind::Find).size(), 1u);
}

TEST_F(MemoryTest, FailedWriteLongStillTakesTheValue) {
    // No game at all: the write fails, yet memLong holds the value, so a failed read returns it.
    EXPECT_EQ(Memory::WriteGameLong(GameTitle, kBase, 5150), 0);
    EXPECT_EQ(Memory::memLong, 5150);
    EXPECT_EQ(Memory::ReadGameLong(GameTitle, kBase), 5150);
}

TEST_F(MemoryTest, FailedReadSingleKeepsTheOldFloatAndReattaches) {
    // Before any successful read the float is 0.0.
    startGame();
    EXPECT_EQ(Memory::ReadGameSingle(GameTitle, kBase), 0.0f);
    EXPECT_EQ(Memory::gameWindow, kGameWindow);
    EXPECT_EQ(Memory::gameProcessId, kGamePid);

    fake.pokeFloat(kGamePid, kBase, 2.5f);
    ASSERT_FLOAT_EQ(Memory::ReadGameSingle(GameTitle, kBase), 2.5f);
    const size_t findsBefore = fake.callsOf(Kind::Find).size();
    EXPECT_FLOAT_EQ(Memory::ReadGameSingle(GameTitle, 0x10), 2.5f);  // unmapped address
    EXPECT_EQ(fake.callsOf(Kind::Find).size(), findsBefore + 1);

    // A restarted game: the failed read refreshes window and process from the new one.
    fake.removeWindows();
    fake.processes.erase(kGamePid);
    startGame(5000, kGameWindow + 9);
    EXPECT_FLOAT_EQ(Memory::ReadGameSingle(GameTitle, kBase), 2.5f);
    EXPECT_EQ(Memory::gameWindow, kGameWindow + 9);
    EXPECT_EQ(Memory::gameProcessId, 5000u);
    fake.pokeFloat(5000, kBase, -1.0f);
    EXPECT_FLOAT_EQ(Memory::ReadGameSingle(GameTitle, kBase), -1.0f);
}

TEST_F(MemoryTest, ReadSingleAttachesAndTheNextOperationOpensTheGame) {
    startGame();
    Memory::ReadGameSingle(GameTitle, kBase);
    // Nothing attached yet: nothing opened, the failed read looks for the game.
    EXPECT_EQ(fake.kinds(), (std::vector<Kind>{Kind::Read, Kind::Find, Kind::Owner}));
    fake.calls.clear();
    Memory::ReadGameSingle(GameTitle, kBase);
    EXPECT_EQ(fake.kinds(), (std::vector<Kind>{Kind::Open, Kind::Read}));
}

TEST_F(MemoryTest, FailedBlockReadLeavesExactlyCountZeroBytes) {
    Memory::memBytes.assign(300, 0x55);
    Memory::ReadGameBytes(GameTitle, kBase, 128);  // no game
    EXPECT_EQ(Memory::memBytes, std::vector<uint8_t>(128, 0));

    // A read that runs off the end of the mapping part way leaves no partial data either.
    startGame();
    Memory::AttachGame(GameTitle);
    EXPECT_EQ(Memory::ReadGameBytes(GameTitle, kBase + 0x2000 - 8, 16),
              std::vector<uint8_t>(16, 0));
    EXPECT_EQ(Memory::memBytes, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(Memory::memResult, 0);
    // The partial read did happen on the platform side: the zeros are the module's doing.
    EXPECT_EQ(fake.callsOf(Kind::Read).back().length, 16u);
}

TEST_F(MemoryTest, BlockReadCountsOutOfRangeReadNothing) {
    startGame();
    Memory::AttachGame(GameTitle);
    Memory::memBytes.assign(4, 1);
    Memory::ReadGameBytes(GameTitle, kBase, -5);
    EXPECT_TRUE(Memory::memBytes.empty());
    Memory::ReadGameBytes(GameTitle, kBase, Memory::kMaxReadCount + 1);
    EXPECT_TRUE(Memory::memBytes.empty());
    EXPECT_EQ(Memory::memResult, 0);
    EXPECT_TRUE(fake.callsOf(Kind::Read).empty());
    Memory::ReadGameBytes(GameTitle, kBase, 0);
    EXPECT_TRUE(Memory::memBytes.empty());
}

TEST_F(MemoryTest, TheGameStaysOpenWhileAttachedAndEveryOperationIsOneTransfer) {
    startGame();
    Memory::AttachGame(GameTitle);
    struct Case {
        const char* name;
        std::function<void()> run;
        std::vector<Kind> expected;
    };
    const uint8_t raw[] = {9, 8, 7};
    const std::vector<Case> cases = {
        {"ReadGameLong", [] { Memory::ReadGameLong(GameTitle, kBase); }, {Kind::Read}},
        {"ReadGameSingle", [] { Memory::ReadGameSingle(GameTitle, kBase); }, {Kind::Read}},
        {"ReadGameBytes", [] { Memory::ReadGameBytes(GameTitle, kBase, 144); }, {Kind::Read}},
        {"WriteGameLong",
         [] { Memory::WriteGameLong(GameTitle, kBase, 1); },
         {Kind::Protect, Kind::Write}},
        {"WriteGameBytes",
         [&] { Memory::WriteGameBytes(GameTitle, kBase, raw); },
         {Kind::Protect, Kind::Write}},
        {"WriteGameText",
         [] { Memory::WriteGameText(GameTitle, kBase, QStringLiteral("hi")); },
         {Kind::Protect, Kind::Write}},
        {"WriteGameHex",
         [] { Memory::WriteGameHex(GameTitle, kBase, QStringLiteral("C3"), 0, 0); },
         {Kind::Protect, Kind::Write}},
    };
    // Once with the game there and once after it has gone: every step runs either way, on the
    // one handle opened by the first operation; nothing is closed while the game is attached.
    os::ProcessHandle handle = 0;
    for (bool gameThere : {true, false}) {
        if (!gameThere) {
            fake.processes.erase(kGamePid);
        }
        for (const Case& c : cases) {
            fake.calls.clear();
            c.run();
            std::vector<Kind> expected;
            if (handle == 0) {
                expected.push_back(Kind::Open);
            }
            expected.insert(expected.end(), c.expected.begin(), c.expected.end());
            if (!gameThere && std::string(c.name) == "ReadGameSingle") {
                // Its failed read looks for the game again, asking each window's owner.
                expected.insert(expected.end(), {Kind::Find, Kind::Owner});
            }
            EXPECT_EQ(fake.kinds(), expected) << c.name << " game there: " << gameThere;
            if (handle == 0) {
                ASSERT_EQ(fake.calls.front().pid, kGamePid);
                EXPECT_EQ(fake.calls.front().protection, 0x438u);
                handle = Memory::gameProcess;
            }
            EXPECT_EQ(fake.openHandles(), 1u) << c.name;
            EXPECT_EQ(Memory::gameProcess, handle) << c.name;
            for (const auto& call : fake.calls) {
                if (call.kind == Kind::Read || call.kind == Kind::Write ||
                    call.kind == Kind::Protect) {
                    EXPECT_EQ(call.handle, handle) << c.name;
                }
            }
        }
    }
    // Letting the game go closes it.
    gamelink::ReleaseGame();
    EXPECT_EQ(fake.openHandles(), 0u);
    EXPECT_EQ(Memory::gameProcess, 0);
}

TEST_F(MemoryTest, WritesAskForReadWriteOverTheirRangeAndNeverRestoreIt) {
    startGame();
    Memory::AttachGame(GameTitle);
    const uint8_t raw[] = {1, 2, 3, 4, 5};
    Memory::WriteGameLong(GameTitle, kBase, 1);
    Memory::WriteGameBytes(GameTitle, kBase + 0x10, raw);
    Memory::WriteGameText(GameTitle, kBase + 0x20, QStringLiteral("abcdef"));
    Memory::WriteGameHex(GameTitle, kBase + 0x30, QStringLiteral("0102"), 7, 0);
    const auto protects = fake.callsOf(Kind::Protect);
    ASSERT_EQ(protects.size(), 4u);
    const std::pair<uint32_t, size_t> ranges[] = {
        {kBase, 4}, {kBase + 0x10, 5}, {kBase + 0x20, 6}, {kBase + 0x30, 7}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(protects[i].protection, 4u);
        EXPECT_EQ(protects[i].address, ranges[i].first);
        EXPECT_EQ(protects[i].length, ranges[i].second);
    }
}

TEST_F(MemoryTest, TextWritesOneCodePage1252BytePerCharacterAndNoTerminator) {
    startGame();
    Memory::AttachGame(GameTitle);
    EXPECT_NE(Memory::WriteGameText(GameTitle, kBase, QStringLiteral("abc")), 0);
    EXPECT_EQ(fake.peek(kGamePid, kBase, 4), (std::vector<uint8_t>{'a', 'b', 'c', 0xAA}));
    EXPECT_EQ(fake.callsOf(Kind::Write).back().data, (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(Memory::memText, QStringLiteral("abc"));

    // é is Latin-1, € lives in 0x80..0x9F, Ω and an emoji (two UTF-16 units) have no byte.
    const QString mixed = QString::fromUtf8("\xC3\xA9\xE2\x82\xAC\xCE\xA9\xF0\x9F\x98\x80!");
    Memory::WriteGameText(GameTitle, kBase + 0x40, mixed);
    const auto write = fake.callsOf(Kind::Write).back();
    EXPECT_EQ(write.data, (std::vector<uint8_t>{0xE9, 0x80, '?', '?', '!'}));
    EXPECT_EQ(fake.callsOf(Kind::Protect).back().length, 5u);
    EXPECT_EQ(Memory::memText, mixed);

    // The empty text writes nothing and still succeeds on a live game.
    EXPECT_NE(Memory::WriteGameText(GameTitle, kBase, QString()), 0);
    EXPECT_EQ(fake.callsOf(Kind::Write).back().length, 0u);
}

TEST(Cp1252, WholeTableAgainstKnownBytes) {
    // Every byte value a character can come from: ASCII and Latin-1 as themselves, the
    // Windows additions in 0x80..0x9F by their Unicode characters.
    const std::pair<char16_t, uint8_t> additions[] = {
        {0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85},
        {0x2020, 0x86}, {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A},
        {0x2039, 0x8B}, {0x0152, 0x8C}, {0x017D, 0x8E}, {0x2018, 0x91}, {0x2019, 0x92},
        {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95}, {0x2013, 0x96}, {0x2014, 0x97},
        {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B}, {0x0153, 0x9C},
        {0x017E, 0x9E}, {0x0178, 0x9F}};
    for (const auto& [ch, byte] : additions) {
        const QByteArray out = toCp1252(QString(QChar(ch)));
        ASSERT_EQ(out.size(), 1);
        EXPECT_EQ(static_cast<uint8_t>(out[0]), byte) << std::hex << int(ch);
    }
    for (int c = 0; c < 0x80; ++c) {
        EXPECT_EQ(static_cast<uint8_t>(toCp1252(QString(QChar(c)))[0]), c);
    }
    for (int c = 0xA0; c <= 0xFF; ++c) {
        EXPECT_EQ(static_cast<uint8_t>(toCp1252(QString(QChar(c)))[0]), c);
    }
    // C1 controls that have a Windows character elsewhere are not representable.
    EXPECT_EQ(toCp1252(QString(QChar(0x80))), QByteArray("?"));
    EXPECT_EQ(toCp1252(QString(QChar(0x9F))), QByteArray("?"));
    EXPECT_EQ(toCp1252(QString(QChar(0x81))), QByteArray("\x81"));
    // A lone surrogate is one character that cannot be held.
    EXPECT_EQ(toCp1252(QString(QChar(0xD800))), QByteArray("?"));
    EXPECT_EQ(toCp1252(QString(QChar(0x0100))), QByteArray("?"));
}

TEST_F(MemoryTest, HexWritesExactlyTheDecodedBytes) {
    startGame();
    Memory::AttachGame(GameTitle);
    for (const char* hex : {"C3", "c3"}) {
        fake.calls.clear();
        EXPECT_NE(Memory::WriteGameHex(GameTitle, kBase + 1, QString::fromLatin1(hex), 0, 0), 0);
        const auto writes = fake.callsOf(Kind::Write);
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].data, std::vector<uint8_t>{0xC3}) << hex;
        EXPECT_EQ(writes[0].address, kBase + 1);
        EXPECT_EQ(fake.callsOf(Kind::Protect)[0].length, 0u);
    }
    EXPECT_EQ(fake.peek(kGamePid, kBase, 3), (std::vector<uint8_t>{0xAA, 0xC3, 0xAA}));

    // Decoding stops at a pair that is not hex; the whole (zero-padded) buffer is written.
    Memory::WriteGameHex(GameTitle, kBase, QStringLiteral("0aFfzz12"), 4, 0);
    EXPECT_EQ(fake.callsOf(Kind::Write).back().data, (std::vector<uint8_t>{0x0A, 0xFF, 0, 0}));
    // The first pair first, at the lowest address.
    Memory::WriteGameHex(GameTitle, kBase, QStringLiteral("123456"), 3, 0);
    EXPECT_EQ(fake.peek(kGamePid, kBase, 3), (std::vector<uint8_t>{0x12, 0x34, 0x56}));
}

TEST(HexToBytes, DecodingRules) {
    testing::FakeOsScope scope;
    struct Case {
        const char* hex;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"", {}},
        {"00", {0}},
        {"c3C3", {0xC3, 0xC3}},
        {"ABC", {0xAB, 0x0C}},  // odd length: the lone last digit is a byte
        {"G1", {0}},            // bad first pair: nothing decoded, size kept
        {"11G", {0x11, 0}},     // bad lone last digit
        {"1 22", {0, 0}},       // a blank is no digit
        {"0x10", {0, 0}},       // no prefixes
        {"7f-1", {0x7F, 0}},    // nor signs
        {"ffffffff", {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        Memory::memBytes.assign(9, 0x77);
        EXPECT_EQ(Memory::HexToBytes(QString::fromLatin1(c.hex)), c.bytes) << c.hex;
        EXPECT_EQ(Memory::memBytes, c.bytes) << c.hex;
    }
    // Non-Latin digits are not hex digits.
    Memory::HexToBytes(
        QString::fromUtf8("\xD9\xA1\xD9\xA2"
                          "12"));
    EXPECT_EQ(Memory::memBytes, (std::vector<uint8_t>{0, 0}));
}

TEST_F(MemoryTest, WritesThatFailChangeNothingAndReturnZero) {
    startGame();
    Memory::AttachGame(GameTitle);
    const uint8_t raw[] = {1, 2};
    // Past the end of the mapping: the write is refused whole.
    EXPECT_EQ(Memory::WriteGameBytes(GameTitle, kBase + 0x2000 - 1, raw), 0);
    EXPECT_EQ(*fake.at(kGamePid, kBase + 0x2000 - 1), 0xAA);
    EXPECT_EQ(Memory::WriteGameText(GameTitle, 0x10, QStringLiteral("x")), 0);
    EXPECT_EQ(Memory::memText, QStringLiteral("x"));
    fake.processes.erase(kGamePid);
    EXPECT_EQ(Memory::WriteGameHex(GameTitle, kBase, QStringLiteral("C3"), 0, 0), 0);
    EXPECT_EQ(Memory::memResult, 0);
}

TEST_F(MemoryTest, NegativeProtectLengthIsNoRangeButTheWriteStillRuns) {
    startGame();
    Memory::AttachGame(GameTitle);
    EXPECT_NE(Memory::WriteGameHex(GameTitle, kBase, QStringLiteral("C3"), -1, 0), 0);
    EXPECT_TRUE(fake.callsOf(Kind::Protect).empty());
    EXPECT_EQ(*fake.at(kGamePid, kBase), 0xC3);
}

TEST_F(MemoryTest, AddressesAboveTwoGigabytesAreUnsigned) {
    fake.addWindow(kGameWindow, GameTitle, kGamePid);
    fake.map(kGamePid, 0x80000000u, 16, 0);
    fake.pokeLong(kGamePid, 0x80000004u, 31337);
    Memory::AttachGame(GameTitle);
    EXPECT_EQ(Memory::ReadGameLong(GameTitle, static_cast<int32_t>(0x80000004u)), 31337);
}

// Captures what is written to standard error while alive.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    std::string finish() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        std::string text;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) {
            text.append(buf, n);
        }
        std::fclose(file_);
        return text;
    }

private:
    FILE* file_;
    int saved_;
};

// The access-denied notice is once per program run, so this is the only test that may cause it.
TEST_F(MemoryTest, AccessDeniedIsToldOnceAndOtherFailuresNever) {
    StderrCapture capture;
    // Nothing attached, then a process that has gone: silent.
    Memory::ReadGameLong(GameTitle, kBase);
    fake.addWindow(kGameWindow, GameTitle, 31);
    Memory::AttachGame(GameTitle);
    Memory::ReadGameLong(GameTitle, kBase);
    Memory::WriteGameHex(GameTitle, kBase, QStringLiteral("C3"), 0, 0);
    const std::string quiet = capture.finish();
    EXPECT_EQ(quiet, "");

    StderrCapture capture2;
    fake.addProcess(31).denied = true;
    Memory::ReadGameLong(GameTitle, kBase);
    Memory::ReadGameSingle(GameTitle, kBase);
    Memory::WriteGameHex(GameTitle, kBase, QStringLiteral("C3"), 0, 0);
    const std::string told = capture2.finish();
    EXPECT_NE(told.find("permission denied"), std::string::npos) << told;
    EXPECT_NE(told.find("process 31"), std::string::npos) << told;
    // Starting the game through Orvel first, the setting for this boot after it; never a
    // right given to orvel itself.
    EXPECT_LT(told.find("orvel -- wine Kartova.exe"),
              told.find("sudo sysctl kernel.yama.ptrace_scope=0"))
        << told;
    EXPECT_NE(told.find("sudo sysctl kernel.yama.ptrace_scope=0"), std::string::npos) << told;
    EXPECT_EQ(told.find("setcap"), std::string::npos) << told;
    // Once, however many operations were refused.
    EXPECT_EQ(told.find("permission denied"), told.rfind("permission denied"));
}

}  // namespace
}  // namespace orvel
