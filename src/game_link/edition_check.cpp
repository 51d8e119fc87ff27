#include "game_link/edition_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "common/orvel_globals.h"
#include "common/settings_store.h"
#include "game_link/game_log.h"
#include "game_link/game_memory_map.h"
#include "game_link/game_process.h"
#include "game_link/memory.h"
#include "game_link/remote_cars.h"

namespace orvel::gamelink {

namespace {

constexpr int kTicksBetweenLooks = 20;  // a second at the tick's pace

struct Build {
    uint32_t timeStamp;
    uint32_t imageSize;
};

// One edition's fields as one look found them.
struct Fields {
    bool known = false;   // the status word holds one of its known values
    bool racing = false;  // the fields say a race is on
    CarState car{};       // the local car record, while they say so
};

// What has been seen of the held game.
struct Seen {
    uint32_t processId = 0;
    bool looked = false;
    int ticksToNextLook = 0;
    std::optional<Build> build;
    int32_t edition = -1;
    bool certain = false;  // told by the build or by a race, not only by the status words
    std::array<Fields, 2> last{};
};
Seen seen;

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::optional<std::vector<uint8_t>> readBytes(uint32_t address, uint32_t count) {
    std::vector<uint8_t> bytes = Memory::ReadGameBytes(GameTitle, static_cast<int32_t>(address),
                                                       static_cast<int32_t>(count));
    if (Memory::memResult == 0 || bytes.size() != count) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<Build> readBuild() {
    using namespace gamemap;
    const auto dos = readBytes(kImageBase, kDosHeaderSize);
    if (!dos || (*dos)[0] != 'M' || (*dos)[1] != 'Z') {
        return std::nullopt;
    }
    const uint32_t offset = le32(*dos, kPeHeaderOffsetField);
    if (offset < kDosHeaderSize || offset > kPeHeaderMaxOffset) {
        return std::nullopt;
    }
    const auto pe = readBytes(kImageBase + offset, kPeSizeOfImage + 4);
    if (!pe || std::memcmp(pe->data(), "PE\0\0", 4) != 0 ||
        (le32(*pe, kPeOptionalMagic) & 0xFFFF) != kPe32Magic) {
        return std::nullopt;
    }
    return Build{le32(*pe, kPeTimeStamp), le32(*pe, kPeSizeOfImage)};
}

Fields readFields(int32_t edition) {
    const gamemap::Edition& e = gamemap::edition(edition);
    Fields f;
    const auto status = readBytes(e.statusWord, 4);
    const auto play = readBytes(e.playValue, 4);
    if (!status || !play) {
        return f;
    }
    const auto word = static_cast<int32_t>(le32(*status, 0));
    const auto value = std::bit_cast<float>(le32(*play, 0));
    f.known =
        std::find(std::begin(gamemap::kStatusWordValues), std::end(gamemap::kStatusWordValues),
                  word) != std::end(gamemap::kStatusWordValues);
    f.racing = word == 0 && value > 0.0f;
    if (f.racing) {
        f.car = ReadLocalCar(edition);
    }
    return f;
}

// The local car record changed from one look to the next, with a race on at both.
bool moved(const Fields& before, const Fields& now) {
    return before.racing && now.racing && before.car != now.car;
}

void look() {
    if (!seen.looked) {
        seen.build = readBuild();
        if (seen.build) {
            const QString stored =
                GetSetting(kSettingsApp, kGameBuildsSection,
                           GameBuildKey(seen.build->timeStamp, seen.build->imageSize));
            if (stored == QLatin1String("0") || stored == QLatin1String("1")) {
                seen.looked = true;
                seen.edition = stored == QLatin1String("1") ? 1 : 0;
                seen.certain = true;
                return;
            }
        }
    }
    const std::array<Fields, 2> now{readFields(0), readFields(1)};
    if (seen.looked) {
        const bool standardMoved = moved(seen.last[0], now[0]);
        if (standardMoved != moved(seen.last[1], now[1])) {
            seen.edition = standardMoved ? 0 : 1;
            seen.certain = true;
            if (seen.build) {
                // Raced with: this build is this edition from now on.
                SaveSetting(kSettingsApp, kGameBuildsSection,
                            GameBuildKey(seen.build->timeStamp, seen.build->imageSize),
                            QString::number(seen.edition));
            }
        }
    }
    if (!seen.certain && now[0].known != now[1].known) {
        seen.edition = now[0].known ? 0 : 1;
    }
    seen.looked = true;
    seen.last = now;
}

}  // namespace

QString GameBuildKey(uint32_t timeStamp, uint32_t imageSize) {
    return QStringLiteral("%1-%2")
        .arg(timeStamp, 8, 16, QLatin1Char('0'))
        .arg(imageSize, 8, 16, QLatin1Char('0'));
}

void WatchGameEdition() {
    const uint32_t held = HeldGame();
    if (held != seen.processId) {
        seen = {};
        seen.processId = held;
    }
    // Only the attached game can be read.
    if (held == 0 || Memory::gameProcessId != held) {
        return;
    }
    if (seen.looked && (seen.certain || --seen.ticksToNextLook > 0)) {
        return;
    }
    const int32_t before = seen.edition;
    look();
    seen.ticksToNextLook = kTicksBetweenLooks;
    if (seen.edition != before || seen.certain) {
        qCDebug(lcGame) << "the game looks like edition" << seen.edition
                        << (seen.certain ? "for certain" : "by its status words")
                        << (seen.build ? "build " + GameBuildKey(seen.build->timeStamp,
                                                                 seen.build->imageSize)
                                       : QStringLiteral("no build headers"));
    }
}

int32_t GameEdition() {
    return seen.processId != 0 && seen.processId == HeldGame() ? seen.edition : -1;
}

bool GameMatchesChosenEdition() {
    const int32_t edition = GameEdition();
    return edition < 0 || edition == (gameVersion == 0 ? 0 : 1);
}

void ForgetGameEdition() {
    seen = {};
}

}  // namespace orvel::gamelink
