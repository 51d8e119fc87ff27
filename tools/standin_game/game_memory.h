#pragma once
// The game's memory: two ranges mapped at fixed addresses, read and written the way another
// process sees them (every access goes to memory, since a reader or writer outside this process
// may change any byte between two frames).

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

#include "layout.h"

namespace standin {

using Routine = void (*)();

// Maps the data and code ranges at their fixed addresses, fills them with the canary and code
// fill, and puts the two routines of `live` at its patch sites (code pages end read-only and
// executable). Returns an empty text on success, otherwise what went wrong.
QString mapGameMemory(const Edition& live, Routine routineA, Routine routineB);

// Maps one read-only page at the image base holding the executable's headers with this time
// stamp; an empty text on success.
QString mapImageHeaders(const Edition& live, std::uint32_t stamp);

bool inData(std::uint32_t address, std::uint32_t length);
bool inCode(std::uint32_t address, std::uint32_t length);

std::uint32_t readU32(std::uint32_t address);
float readF32(std::uint32_t address);
void writeU32(std::uint32_t address, std::uint32_t value);
void writeF32(std::uint32_t address, float value);
// Callers check the range first (inData / inCode).
QByteArray readBytes(std::uint32_t address, std::uint32_t length);
void writeBytes(std::uint32_t address, const QByteArray& bytes);

// Calls whatever sits at a patch site: the routine, or nothing once its first byte is 0xC3.
void callSite(std::uint32_t site);

// Ranges (address, length) that differ from what the stand-in put there at start, leaving out
// the bytes it keeps writing itself (car 0's travelling bytes and the status word of `live`).
std::vector<std::pair<std::uint32_t, std::uint32_t>> changedRanges(const Edition& live);

}  // namespace standin
