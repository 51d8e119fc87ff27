#pragma once

// The only access to the game's process: reads and writes at absolute addresses of the game's
// address space, found through the game's window title. The game's memory stays open while the
// same game is attached and is opened anew for a new one; failures are silent (reads leave stale
// or zero data, writes simply do not happen), as they are for a game that has closed.

#include <QString>
#include <cstdint>
#include <span>
#include <vector>

#include "game_link/game_process.h"
#include "platform/os/os_services.h"

namespace orvel::Memory {

// ---- Module state (one instance for the program) -----------------------------------------------
extern uint32_t gameWindow;     // window found by the last AttachGame; 0 if none
extern uint32_t gameProcessId;  // owner of gameWindow at the last successful lookup; 0 at first
extern os::ProcessHandle gameProcess;  // open while gameProcessId's game is attached; 0 otherwise
// Shared byte buffer. Element k (0-based) holds the byte that the game-side numbering calls k+1.
extern std::vector<uint8_t> memBytes;
extern QString memText;    // the text last given to WriteGameText
extern float memSingle;    // destination of ReadGameSingle; keeps the last value read
extern int32_t memLong;    // shared by ReadGameLong (destination) and WriteGameLong (source)
extern int32_t memResult;  // non-zero = success of the last platform read, write or protection

// ---- Operations; the title is the game's window title (only AttachGame and ReadGameSingle use
// it) ------------------------------------------------------------------------------------------
void AttachGame(const QString& title);
// AttachGame with a lookup already made.
void AttachFound(const gamelink::FoundGame& found);
float ReadGameSingle(const QString& title, int32_t address);
int32_t ReadGameLong(const QString& title, int32_t address);
// The count bytes at address, also left in memBytes; zeros where the read failed.
std::vector<uint8_t> ReadGameBytes(const QString& title, int32_t address, int32_t count);
int32_t WriteGameLong(const QString& title, int32_t address, int32_t value);
int32_t WriteGameBytes(const QString& title, int32_t address, std::span<const uint8_t> bytes);
// One byte per character (a Unicode code point, so a character outside the Basic Multilingual
// Plane counts once) in the Windows code page 1252; a character it cannot hold becomes "?". No
// terminating zero is written.
int32_t WriteGameText(const QString& title, int32_t address, const QString& text);
int32_t WriteGameHex(const QString& title, int32_t address, const QString& hexText,
                     int32_t protectLength, int32_t unused);
// Decodes pairs of hex digits into memBytes (and returns them), stopping at the first pair that
// is not hex. An odd length rounds up: a trailing single digit becomes a byte of its own.
std::vector<uint8_t> HexToBytes(const QString& hexText);

// Closes the game's memory, kept open from the first operation on a game for as long as the
// same game is attached.
void CloseGameProcess();
// True when the last attempt to open the game's memory was refused by the system.
bool AccessRefused();
// Writes several blocks with one transfer each and no protection request: for data pages,
// which are writable anyway. Returns the result of the last transfer.
struct Block {
    int32_t address;
    std::span<const uint8_t> bytes;
};
int32_t WriteGameBlocks(std::span<const Block> blocks);

// Longest block ReadGameBytes accepts; a larger (or negative) count reads nothing.
constexpr int32_t kMaxReadCount = 1 << 24;

}  // namespace orvel::Memory
