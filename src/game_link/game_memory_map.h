#pragma once

// Every place in the game's memory that Orvel reads or writes, for both editions of the game.
// Addresses are absolute addresses in the game's process.

#include <cstdint>

namespace orvel::gamemap {

struct Edition {
    uint32_t localCarRecord;    // car slot 0, the local player's car
    uint32_t playValue;         // 4-byte float at localCarRecord + 0x3E0; > 0 during a race
    uint32_t statusWord;        // 4-byte signed integer; 0 during a race
    uint32_t patchSiteA;        // first byte of the opponents' driving routine
    uint32_t patchSiteB;        // first byte of the routine that resets stray opponents
    uint32_t messageLastLine;   // 50 bytes, blank-padded, no terminator
    uint32_t messageInputLine;  // text + NUL, at most 51 bytes
    uint32_t messageValue;      // 4-byte value written before each text write
};

constexpr Edition kStandard{
    0x53B8DC, 0x53BCBC, 0x5FEAA0, 0x426920, 0x426DF0, 0x53B72C, 0x53B75E, 0x53B78C,
};
constexpr Edition kMX{
    0x536774, 0x536B54, 0x5F9908, 0x424F10, 0x4253E0, 0x5365C4, 0x5365F6, 0x536624,
};

// 0 = standard, anything else = MX.
constexpr const Edition& edition(int32_t gameVersion) {
    return gameVersion == 0 ? kStandard : kMX;
}

// What every edition's process has mapped: the pages of the patch sites and the data range
// holding the car records, the status word and the message area. A program that merely shows a
// window of the game's title has neither at these addresses.
struct Range {
    uint32_t begin;
    uint32_t end;
};
constexpr Range kGameCodePages{0x424000, 0x427000};
constexpr Range kGameData{0x536000, 0x5FF000};

constexpr uint32_t kCarRecordStride = 0x11B4;
constexpr int kRemoteSlots = 5;

// The three pieces of a car record that travel as the car state: 128 + 8 + 8 bytes.
struct CarPiece {
    uint32_t recordOffset;
    uint32_t stateOffset;
    uint32_t size;
};
constexpr CarPiece kCarPieces[3] = {{0x000, 0, 128}, {0x3DC, 128, 8}, {0x3E4, 136, 8}};

// Start of the car record of slot n (0 = local car, 1..5 = remote cars).
constexpr uint32_t carRecord(int32_t gameVersion, int slot) {
    return edition(gameVersion).localCarRecord + static_cast<uint32_t>(slot) * kCarRecordStride;
}

// The values the status word is known to hold: 0 racing, 1 on the menu, 2 paused. Anything
// else there says that the address is not the status word of this edition.
constexpr int32_t kStatusWordValues[] = {0, 1, 2};

// The executable's image, loaded at its preferred base in every edition. Where the image keeps
// its headers (the real game, under Wine too), they tell one build from another: an "MZ" DOS
// header whose 32-bit field at +0x3C is the offset of the "PE\0\0" header; there the COFF
// header's time stamp lies at +8, and the optional header (magic 0x10B for a 32-bit image) at
// +24 holds the image's size at its +56.
constexpr uint32_t kImageBase = 0x400000;
constexpr uint32_t kDosHeaderSize = 0x40;
constexpr uint32_t kPeHeaderOffsetField = 0x3C;
constexpr uint32_t kPeHeaderMaxOffset = 0x800;
constexpr uint32_t kPeTimeStamp = 8;
constexpr uint32_t kPeOptionalMagic = 24;
constexpr uint32_t kPeSizeOfImage = 24 + 56;
constexpr uint16_t kPe32Magic = 0x10B;

constexpr int32_t kMessageAreaValue = 0x540BE3FF;
constexpr int kLastLineLength = 50;
constexpr int kInputLineMaxText = 50;  // characters, prompt included; a NUL follows
// Bytes from the input line's start to the 4-byte value: the text shown and its NUL must fit.
constexpr int kInputLineRoom = 46;

static_assert(kStandard.playValue == kStandard.localCarRecord + 0x3E0);
static_assert(kMX.playValue == kMX.localCarRecord + 0x3E0);
static_assert(kStandard.patchSiteB == kStandard.patchSiteA + 0x4D0);
static_assert(kMX.patchSiteB == kMX.patchSiteA + 0x4D0);
static_assert(kStandard.messageInputLine == kStandard.messageLastLine + 50);
static_assert(kStandard.messageValue == kStandard.messageLastLine + 96);
static_assert(kMX.messageInputLine == kMX.messageLastLine + 50);
static_assert(kMX.messageValue == kMX.messageLastLine + 96);
static_assert(kStandard.messageValue == kStandard.messageInputLine + kInputLineRoom);
static_assert(kMX.messageValue == kMX.messageInputLine + kInputLineRoom);
static_assert(kGameCodePages.begin <= kMX.patchSiteA && kStandard.patchSiteB < kGameCodePages.end);
static_assert(kGameData.begin <= kMX.messageLastLine && kStandard.statusWord + 4 <= kGameData.end);

}  // namespace orvel::gamemap
