#pragma once
// Where things sit in Kartova's memory, for both editions, and how this stand-in lays out a car
// record. Written from the game's published memory map only; the stand-in shares no code with
// the program that reads it, so a slip on either side shows up when the two meet.

#include <cstdint>

namespace standin {

struct Edition {
    const char* name;          // "standard" or "mx"
    std::uint32_t car0;        // record of car slot 0, the local car
    std::uint32_t lastLine;    // message area: 50 bytes, blank-padded
    std::uint32_t inputLine;   // message area: text up to its NUL, at most 51 bytes
    std::uint32_t showValue;   // message area: the area is drawn while this holds kShowMessages
    std::uint32_t statusWord;  // 0 while racing
    std::uint32_t siteA;       // opponent AI routine
    std::uint32_t siteB;       // opponent reset routine
};

inline constexpr Edition kStandard{"standard", 0x53B8DC, 0x53B72C, 0x53B75E,
                                   0x53B78C,   0x5FEAA0, 0x426920, 0x426DF0};
inline constexpr Edition kMx{"mx",     0x536774, 0x5365C4, 0x5365F6,
                             0x536624, 0x5F9908, 0x424F10, 0x4253E0};

inline constexpr std::uint32_t kRecordStride = 0x11B4;
inline constexpr int kCarSlots = 6;
inline constexpr std::uint32_t kShowMessages = 0x540BE3FF;
inline constexpr int kLastLineBytes = 50;
inline constexpr int kInputLineBytes = 51;

// Bytes of a record that travel between players: 128 at its start and 16 at +0x3DC.
inline constexpr std::uint32_t kHeadBytes = 0x80;
inline constexpr std::uint32_t kTailOffset = 0x3DC;
inline constexpr std::uint32_t kTailBytes = 0x10;

// Record fields (offsets from the record's start). All little-endian, floats IEEE single.
namespace rec {
inline constexpr std::uint32_t x = 0x00;          // float, world units
inline constexpr std::uint32_t y = 0x04;          // float, world units (y grows downwards)
inline constexpr std::uint32_t heading = 0x08;    // float, radians; direction (cos, sin)
inline constexpr std::uint32_t speed = 0x0C;      // float, world units per second
inline constexpr std::uint32_t steer = 0x10;      // float, -1 (left) .. 1 (right)
inline constexpr std::uint32_t throttle = 0x14;   // float, -1 .. 1
inline constexpr std::uint32_t present = 0x18;    // u32, 1 while the car is in the race
inline constexpr std::uint32_t frames = 0x1C;     // u32, frames this car has been driven
inline constexpr std::uint32_t odometer = 0x20;   // float, distance driven
inline constexpr std::uint32_t livery = 0x40;     // 4 bytes: red, green, blue, number
inline constexpr std::uint32_t stripes = 0x44;    // 60 bytes of livery pattern, up to +0x7F
inline constexpr std::uint32_t progress = 0x3DC;  // float, laps along the track (lap + fraction)
inline constexpr std::uint32_t play = 0x3E0;      // float, race clock in seconds; 0.0 off-race
inline constexpr std::uint32_t lap = 0x3E4;       // u32, laps completed
inline constexpr std::uint32_t lastLap = 0x3E8;   // float, time of the last full lap in seconds
}  // namespace rec

// One data range holds both editions' data, one code range both editions' patch sites.
inline constexpr std::uint32_t kDataBegin = 0x536000;
inline constexpr std::uint32_t kDataEnd = 0x5FF000;
inline constexpr std::uint32_t kCodeBegin = 0x424000;
inline constexpr std::uint32_t kCodeEnd = 0x427000;

// The executable's headers at the image base (option --pe-header), as the game has them under
// Wine: an "MZ" header pointing at a "PE\0\0" header of a 32-bit image, whose time stamp and
// image size tell one build from another. Each edition has its own; a stamp given instead moves
// the image size too, so that every stamp makes a build of its own.
inline constexpr std::uint32_t kImageBase = 0x400000;
inline constexpr std::uint32_t kPeOffset = 0x80;
inline constexpr std::uint32_t kStandardStamp = 0x3B7D1E40;
inline constexpr std::uint32_t kMxStamp = 0x3C9A6B10;
constexpr std::uint32_t imageSize(const Edition& e, std::uint32_t stamp) {
    return (e.car0 == kMx.car0 ? 0x1FA000u : 0x1FF000u) + (stamp % 16) * 0x1000u;
}

// Every data byte the stand-in does not own starts out as this pattern and keeps it unless
// somebody else writes there; code bytes outside the live routines hold int3.
constexpr std::uint8_t canaryByte(std::uint32_t address) {
    return static_cast<std::uint8_t>(0xA5 ^ (address & 0xFF) ^ ((address >> 8) & 0xFF));
}
inline constexpr std::uint8_t kCodeFill = 0xCC;

// Cross-checks against the map's derived addresses.
static_assert(kStandard.car0 + 0x3E0 == 0x53BCBC && kMx.car0 + 0x3E0 == 0x536B54);
static_assert(kStandard.car0 + kTailOffset == 0x53BCB8 && kMx.car0 + 0x3E4 == 0x536B58);
static_assert(kStandard.siteB == kStandard.siteA + 0x4D0 && kMx.siteB == kMx.siteA + 0x4D0);
static_assert(kStandard.inputLine == kStandard.lastLine + 50 &&
              kStandard.showValue == kStandard.lastLine + 96);
static_assert(kMx.inputLine == kMx.lastLine + 50 && kMx.showValue == kMx.lastLine + 96);
static_assert(kMx.lastLine >= kDataBegin && kStandard.statusWord + 4 <= kDataEnd);
static_assert(kStandard.car0 + kCarSlots * kRecordStride <= kDataEnd);
static_assert(kMx.siteA >= kCodeBegin && kStandard.siteB + 16 <= kCodeEnd);

}  // namespace standin
