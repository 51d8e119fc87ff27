// kartova-standin's memory as a reader of the game sees it: the map's addresses for both
// editions, the canary elsewhere, menu and race values, the routines behind the patch sites and
// the message area.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstring>
#include <vector>

#include "standin_process.h"
#include "xvfb.h"

namespace standin_test {
namespace {

using namespace orvel::testing;

// Offsets of the travelling pieces of a record.
constexpr std::uint32_t kHead = 0x80;
constexpr std::uint32_t kTail = 0x3DC;
constexpr std::uint32_t kTailLen = 0x10;

class EditionTest : public testing::TestWithParam<const MapColumn*> {
protected:
    const MapColumn& map() const { return *GetParam(); }
    const MapColumn& other() const { return GetParam() == &kStandardMap ? kMxMap : kStandardMap; }

    QStringList args(QStringList extra = {}) const {
        if (*map().option) {
            extra.prepend(QString::fromLatin1(map().option));
        }
        return extra;
    }

    void SetUp() override {
        if (sharedDisplay().isEmpty()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
    }

    // Bytes of [address, address+len) that do not hold the canary.
    static std::vector<std::uint32_t> notCanary(StandinProcess& g, std::uint32_t address,
                                                std::uint32_t len) {
        const QByteArray b = g.peek(address, len);
        std::vector<std::uint32_t> bad;
        if (b.size() != static_cast<qsizetype>(len)) {
            bad.push_back(address);
            return bad;
        }
        for (std::uint32_t i = 0; i < len; ++i) {
            if (static_cast<std::uint8_t>(b[i]) != canary(address + i)) {
                bad.push_back(address + i);
            }
        }
        return bad;
    }

    // The other edition's addresses of the map, all still holding the canary.
    void expectOtherEditionUntouched(StandinProcess& g) {
        const MapColumn& o = other();
        for (int slot = 0; slot < 6; ++slot) {
            const std::uint32_t r = o.car0 + slot * kStride;
            // Where the live edition's own pieces overlap these, they are not the other's.
            if (!overlapsLivePieces(r, kHead)) {
                EXPECT_TRUE(notCanary(g, r, kHead).empty()) << "car " << slot << " head";
            }
            if (!overlapsLivePieces(r + kTail, kTailLen)) {
                EXPECT_TRUE(notCanary(g, r + kTail, kTailLen).empty()) << "car " << slot;
            }
        }
        EXPECT_TRUE(notCanary(g, o.lastLine, 50 + 51).empty());
        EXPECT_TRUE(notCanary(g, o.showValue, 4).empty());
        EXPECT_TRUE(notCanary(g, o.statusWord, 4).empty());
        EXPECT_EQ(g.peek(o.siteA, 1), QByteArray(1, '\xCC'));
        EXPECT_EQ(g.peek(o.siteB, 1), QByteArray(1, '\xCC'));
    }

    bool overlapsLivePieces(std::uint32_t a, std::uint32_t len) const {
        for (int slot = 0; slot < 6; ++slot) {
            const std::uint32_t r = map().car0 + slot * kStride;
            if (a < r + kHead && r < a + len) {
                return true;
            }
            if (a < r + kTail + kTailLen && r + kTail < a + len) {
                return true;
            }
        }
        return false;
    }

    bool livePiece(std::uint32_t a) const { return overlapsLivePieces(a, 1); }
};

TEST_P(EditionTest, MenuAndRaceValuesSitAtTheMapAddresses) {
    StandinProcess g(sharedDisplay(), args());
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    EXPECT_EQ(g.status().value("edition").toString(), QString::fromLatin1(map().name));

    // Menu: play value 0.0 and status word 1.
    EXPECT_EQ(g.readF32(map().playValue), 0.0f);
    EXPECT_EQ(g.readU32(map().statusWord), 1u);

    ASSERT_EQ(g.command("race start"), "ok");
    EXPECT_GT(g.readF32(map().playValue), 0.0f);
    EXPECT_EQ(g.readU32(map().statusWord), 0u);
    // The play value is the race clock: it keeps growing during the race.
    const float early = g.readF32(map().playValue);
    ASSERT_TRUE(g.waitFrames(5));
    EXPECT_GT(g.readF32(map().playValue), early);

    // Paused: still above zero, but the status word says no race runs, and the clock stands.
    ASSERT_EQ(g.command("race pause"), "ok");
    EXPECT_EQ(g.readU32(map().statusWord), 2u);
    const float paused = g.readF32(map().playValue);
    EXPECT_GT(paused, 0.0f);
    ASSERT_TRUE(g.waitFrames(5));
    EXPECT_EQ(g.readF32(map().playValue), paused);
    ASSERT_EQ(g.command("race resume"), "ok");
    EXPECT_EQ(g.readU32(map().statusWord), 0u);

    ASSERT_EQ(g.command("race end"), "ok");
    EXPECT_EQ(g.readF32(map().playValue), 0.0f);
    EXPECT_EQ(g.readU32(map().statusWord), 1u);
    EXPECT_TRUE(g.command("race resume").startsWith("error"));

    expectOtherEditionUntouched(g);
}

TEST_P(EditionTest, LocalCarIsSlotZero) {
    StandinProcess g(sharedDisplay(), args({"--race"}));
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    ASSERT_EQ(g.command("place 12.5 -120 0.25"), "ok");
    ASSERT_TRUE(g.waitFrames(3));
    // Without keys or autopilot the car stands where it was put.
    EXPECT_EQ(g.readF32(map().car0 + 0x0), 12.5f);
    EXPECT_EQ(g.readF32(map().car0 + 0x4), -120.0f);
    EXPECT_EQ(g.readF32(map().car0 + 0x8), 0.25f);
    const QJsonObject car = g.json("car 0");
    EXPECT_DOUBLE_EQ(car.value("x").toDouble(), 12.5);
    EXPECT_EQ(car.value("address").toString(), QStringLiteral("0x%1").arg(map().car0, 0, 16));

    ASSERT_EQ(g.command("autopilot on"), "ok");
    ASSERT_TRUE(g.waitFrames(10));
    const float x1 = g.readF32(map().car0);
    ASSERT_TRUE(g.waitFrames(5));
    EXPECT_NE(g.readF32(map().car0), x1) << "the autopilot drives car 0";
    EXPECT_GT(g.readF32(map().car0 + 0xC), 0.0f) << "speed";

    // Held, car 0's travelling bytes stand still while the race goes on.
    ASSERT_EQ(g.command("hold on"), "ok");
    ASSERT_TRUE(g.waitFrames(2));
    const QByteArray head = g.peek(map().car0, kHead);
    const QByteArray tail = g.peek(map().car0 + kTail, kTailLen);
    ASSERT_TRUE(g.waitFrames(10));
    EXPECT_EQ(g.peek(map().car0, kHead), head);
    EXPECT_EQ(g.peek(map().car0 + kTail, kTailLen), tail);
    EXPECT_EQ(g.readU32(map().statusWord), 0u);
    EXPECT_GT(g.readF32(map().playValue), 0.0f);
    ASSERT_EQ(g.command("hold off"), "ok");
    ASSERT_TRUE(g.waitFrames(3));
    EXPECT_NE(g.peek(map().car0 + kTail, kTailLen), tail);
}

TEST_P(EditionTest, CanaryHoldsWhereverTheGameDoesNotWrite) {
    StandinProcess g(sharedDisplay(), args({"--race", "--autopilot"}));
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    ASSERT_TRUE(g.waitUntil([&] {
        const QJsonObject s = g.status();
        return s.value("a_moves").toInteger() >= 20 && s.value("b_moves").toInteger() >= 5;
    }));

    const QByteArray data = g.peek(kDataBegin, kDataEnd - kDataBegin);
    ASSERT_EQ(data.size(), static_cast<qsizetype>(kDataEnd - kDataBegin));
    int stray = 0;
    std::uint32_t firstStray = 0;
    for (std::uint32_t a = kDataBegin; a < kDataEnd; ++a) {
        const bool own = livePiece(a) || (a >= map().statusWord && a < map().statusWord + 4) ||
                         (a >= map().lastLine && a < map().lastLine + 101);
        if (!own && static_cast<std::uint8_t>(data[a - kDataBegin]) != canary(a)) {
            if (stray++ == 0) {
                firstStray = a;
            }
        }
    }
    EXPECT_EQ(stray, 0) << "first changed byte outside the game's own fields at 0x" << std::hex
                        << firstStray;
    // The message area starts empty: a blank last line, an empty input line, hidden.
    EXPECT_EQ(g.peek(map().lastLine, 50), QByteArray(50, ' '));
    EXPECT_EQ(g.peek(map().inputLine, 51), QByteArray(51, '\0'));

    const QByteArray code = g.peek(kCodeBegin, kCodeEnd - kCodeBegin);
    ASSERT_EQ(code.size(), static_cast<qsizetype>(kCodeEnd - kCodeBegin));
    for (std::uint32_t a = kCodeBegin; a < kCodeEnd; ++a) {
        const bool stub = (a >= map().siteA && a < map().siteA + 12) ||
                          (a >= map().siteB && a < map().siteB + 12);
        if (!stub) {
            ASSERT_EQ(static_cast<std::uint8_t>(code[a - kCodeBegin]), 0xCC) << std::hex << a;
        }
    }
    EXPECT_EQ(static_cast<std::uint8_t>(code[map().siteA - kCodeBegin]), 0x48);
    EXPECT_EQ(static_cast<std::uint8_t>(code[map().siteB - kCodeBegin]), 0x48);

    // "changes" lists only what the routines wrote: pieces of cars 1 to 5.
    const QString changes = g.command("changes");
    ASSERT_TRUE(changes.startsWith("ok ["));
    const QJsonArray list = QJsonDocument::fromJson(changes.mid(3).toUtf8()).array();
    EXPECT_FALSE(list.isEmpty());
    for (const QJsonValue& entry : list) {
        bool good = false;
        const std::uint32_t a = entry.toArray().at(0).toString().toUInt(&good, 16);
        const auto n = static_cast<std::uint32_t>(entry.toArray().at(1).toInteger());
        ASSERT_TRUE(good && n > 0);
        EXPECT_TRUE(livePiece(a) && livePiece(a + n - 1) && a >= map().car0 + kStride)
            << std::hex << a << " +" << n;
    }
    expectOtherEditionUntouched(g);
}

TEST_P(EditionTest, RoutinesMoveOpponentsUntilTheirSitesArePatched) {
    StandinProcess g(sharedDisplay(), args({"--race"}));
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    const std::uint32_t car3 = map().car0 + 3 * kStride;
    const std::uint32_t car2 = map().car0 + 2 * kStride;

    // Routine B puts the five opponents on the grid, routine A drives them.
    ASSERT_TRUE(g.waitUntil([&] {
        const QJsonObject s = g.status();
        return s.value("a_moves").toInteger() >= 25 && s.value("b_moves").toInteger() >= 5;
    }));
    const QByteArray before = g.peek(car3, 8);
    ASSERT_TRUE(g.waitFrames(3));
    EXPECT_NE(g.peek(car3, 8), before) << "routine A moves car 3";

    // Patch A through the game's memory, as the system does.
    const QByteArray stubA = g.peek(map().siteA, 12);
    const QByteArray stubB = g.peek(map().siteB, 12);
    ASSERT_EQ(stubA.size(), 12);
    ASSERT_TRUE(g.poke(map().siteA, QByteArray(1, '\xC3')));
    EXPECT_EQ(g.status().value("site_a").toString(), "c3");
    ASSERT_TRUE(g.waitFrames(2));
    const qint64 aRuns = g.status().value("a_runs").toInteger();
    const qint64 aMoves = g.status().value("a_moves").toInteger();
    const QByteArray records = g.peek(map().car0 + kStride, 5 * kStride);
    ASSERT_TRUE(g.waitFrames(10));
    EXPECT_EQ(g.status().value("a_runs").toInteger(), aRuns);
    EXPECT_EQ(g.status().value("a_moves").toInteger(), aMoves);
    EXPECT_EQ(g.peek(map().car0 + kStride, 5 * kStride), records) << "nothing moves them now";

    // A remote car written onto the track stays there.
    ASSERT_TRUE(g.writeF32(car2, 0.0f) && g.writeF32(car2 + 4, 118.0f));
    ASSERT_TRUE(g.waitFrames(10));
    EXPECT_EQ(g.readF32(car2), 0.0f);
    EXPECT_EQ(g.readF32(car2 + 4), 118.0f);

    // Routine B still fights: a car in the infield goes back to the track.
    const qint64 bMoves = g.status().value("b_moves").toInteger();
    ASSERT_TRUE(g.writeF32(car3, 0.0f) && g.writeF32(car3 + 4, 0.0f));
    ASSERT_TRUE(g.waitUntil([&] { return g.readF32(car3 + 4) != 0.0f; }));
    EXPECT_GT(g.status().value("b_moves").toInteger(), bMoves);
    const float y = g.readF32(car3 + 4);
    EXPECT_LE(std::abs(std::abs(y) - 120.0f), 30.0f) << "back on a straight, y=" << y;

    // Patch B: from now on nothing but the writer changes cars 1 to 5.
    ASSERT_TRUE(g.poke(map().siteB, QByteArray(1, '\xC3')));
    ASSERT_TRUE(g.waitFrames(2));
    const qint64 bRuns = g.status().value("b_runs").toInteger();
    ASSERT_TRUE(g.writeF32(car3, 0.0f) && g.writeF32(car3 + 4, 0.0f));
    const QByteArray patched = g.peek(map().car0 + kStride, 5 * kStride);
    ASSERT_TRUE(g.waitFrames(15));
    EXPECT_EQ(g.status().value("b_runs").toInteger(), bRuns);
    EXPECT_EQ(g.peek(map().car0 + kStride, 5 * kStride), patched);
    EXPECT_EQ(g.readF32(car3 + 4), 0.0f);

    // Only the first byte of each stub changed.
    EXPECT_EQ(g.peek(map().siteA, 12), QByteArray(1, '\xC3') + stubA.mid(1));
    EXPECT_EQ(g.peek(map().siteB, 12), QByteArray(1, '\xC3') + stubB.mid(1));
    expectOtherEditionUntouched(g);
}

TEST_P(EditionTest, MessageAreaIsDrawnAsWritten) {
    StandinProcess g(sharedDisplay(), args({"--race"}));
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    EXPECT_FALSE(g.json("message").value("shown").toBool());

    // Code page 1252: 0x80 is the euro sign, 0xE9 e acute.
    QByteArray last = QByteArray("Bo: Caf\xE9 costs 3\x80 now");
    last.append(QByteArray(50 - last.size(), ' '));
    ASSERT_TRUE(g.poke(map().lastLine, last));
    ASSERT_TRUE(g.poke(map().inputLine, QByteArray(" >hi\0", 5)));
    EXPECT_FALSE(g.json("message").value("shown").toBool()) << "not before the value is set";
    ASSERT_TRUE(g.writeU32(map().showValue, 0x540BE3FF));

    QJsonObject m = g.json("message");
    EXPECT_TRUE(m.value("shown").toBool());
    EXPECT_EQ(m.value("last").toString(),
              QString::fromUtf8("Bo: Caf\u00e9 costs 3\u20ac now").leftJustified(50, ' '));
    EXPECT_EQ(m.value("input").toString(), " >hi");
    EXPECT_EQ(m.value("last_hex").toString(), QString::fromLatin1(last.toHex()));

    // The input line ends at its NUL, or after 51 bytes.
    ASSERT_TRUE(g.poke(map().inputLine, QByteArray(44, 'x') + QByteArray("\0", 1)));
    EXPECT_EQ(g.json("message").value("input").toString(), QString(44, 'x'));
    ASSERT_TRUE(g.poke(map().inputLine, QByteArray(46, 'y')));
    ASSERT_TRUE(g.poke(map().inputLine + 50, QByteArray("z", 1)));
    m = g.json("message");
    EXPECT_TRUE(m.value("shown").toBool());
    EXPECT_EQ(m.value("input").toString().size(), 51);
    EXPECT_TRUE(m.value("input").toString().startsWith(QString(46, 'y')));
    EXPECT_TRUE(m.value("input").toString().endsWith('z'));

    ASSERT_TRUE(g.writeU32(map().showValue, 0));
    EXPECT_FALSE(g.json("message").value("shown").toBool());
    expectOtherEditionUntouched(g);
}

INSTANTIATE_TEST_SUITE_P(Editions, EditionTest, testing::Values(&kStandardMap, &kMxMap),
                         [](const testing::TestParamInfo<const MapColumn*>& info) {
                             return std::string(info.param == &kStandardMap ? "Standard" : "Mx");
                         });

}  // namespace
}  // namespace standin_test
