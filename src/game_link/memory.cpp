#include "game_link/memory.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "game_link/cp1252.h"
#include "game_link/game_log.h"
#include "game_link/game_process.h"

Q_LOGGING_CATEGORY(lcGame, "orvel.game", QtWarningMsg)

namespace orvel::Memory {

uint32_t gameWindow = 0;
uint32_t gameProcessId = 0;
os::ProcessHandle gameProcess = 0;
std::vector<uint8_t> memBytes;
QString memText;
float memSingle = 0.0f;
int32_t memLong = 0;
int32_t memResult = 0;

namespace {

// Query information + memory write + memory read + memory operation.
constexpr uint32_t kAccess = os::PROCESS_QUERY_INFORMATION | os::PROCESS_VM_WRITE |
                             os::PROCESS_VM_READ | os::PROCESS_VM_OPERATION;
static_assert(kAccess == 0x438);

// Without access to the game's memory nothing of Orvel works, and nothing else would tell the
// player why; so this one failure is told, once per run.
void reportAccessDenied(uint32_t processId) {
    static bool told = false;
    if (told) {
        return;
    }
    told = true;
    const QByteArray text =
        QStringLiteral(
            "orvel: found the game (process %1) but may not open its memory: permission denied.\n"
            "  To allow it, do one of these:\n"
            "    - start the game through Orvel, which may then reach it (no rights needed):\n"
            "        orvel -- COMMAND        for example: orvel -- wine Kartova.exe\n"
            "    - or let a user's programs reach each other's memory until the next boot:\n"
            "        sudo sysctl kernel.yama.ptrace_scope=0\n")
            .arg(processId)
            .toLocal8Bit();
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
}

// The process the open handle belongs to; the handle stays open while that game is attached.
uint32_t openProcessId = 0;
bool accessRefused = false;

// Makes gameProcess the open game of gameProcessId. Only a game this Orvel holds is opened: one
// that another Orvel holds, or none at all, gives every transfer a failure as a closed game
// does. A failed open is tried again at the next operation.
void openGame() {
    if (gameProcess != 0 && openProcessId == gameProcessId) {
        return;
    }
    CloseGameProcess();
    if (gameProcessId == 0 || gamelink::HeldGame() != gameProcessId) {
        return;
    }
    os::OpenError why = os::OpenError::None;
    gameProcess = os::services().OpenProcess(kAccess, false, gameProcessId, &why);
    accessRefused = gameProcess == 0 && why == os::OpenError::AccessDenied;
    if (gameProcess == 0) {
        qCDebug(lcGame) << "cannot open process" << gameProcessId;
        if (accessRefused) {
            reportAccessDenied(gameProcessId);
        }
        return;
    }
    openProcessId = gameProcessId;
}

}  // namespace

void CloseGameProcess() {
    if (gameProcess != 0) {
        os::services().CloseHandle(gameProcess);
    }
    gameProcess = 0;
    openProcessId = 0;
}

bool AccessRefused() {
    return accessRefused;
}

namespace {

// The protection request before a write; a negative length is no range at all.
void protect(int32_t address, int64_t length) {
    if (length < 0 || length > UINT32_MAX) {
        memResult = 0;
        return;
    }
    uint32_t previous = 0;
    memResult = os::services().VirtualProtectEx(gameProcess, static_cast<uint32_t>(address),
                                                static_cast<uint32_t>(length), os::PAGE_READWRITE,
                                                &previous)
                    ? 1
                    : 0;
}

bool read(int32_t address, void* destination, size_t length) {
    size_t done = 0;
    const bool ok = os::services().ReadProcessMemory(gameProcess, static_cast<uint32_t>(address),
                                                     destination, length, &done);
    memResult = ok ? 1 : 0;
    return ok;
}

int32_t write(int32_t address, const void* source, size_t length) {
    size_t done = 0;
    const bool ok = os::services().WriteProcessMemory(gameProcess, static_cast<uint32_t>(address),
                                                      source, length, &done);
    memResult = ok ? 1 : 0;
    return memResult;
}

uint32_t littleEndian(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

int hexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') {
        return u - '0';
    }
    if (u >= 'A' && u <= 'F') {
        return u - 'A' + 10;
    }
    if (u >= 'a' && u <= 'f') {
        return u - 'a' + 10;
    }
    return -1;
}

}  // namespace

void AttachGame(const QString& title) {
    AttachFound(gamelink::LookUpGame(title));
}

void AttachFound(const gamelink::FoundGame& found) {
    gameWindow = found.window;
    if (found.window != 0) {
        gameProcessId = found.processId;
        gamelink::HoldGame(found);
        qCDebug(lcGame) << "attached to window" << gameWindow << "process" << gameProcessId;
    }
}

float ReadGameSingle(const QString& title, int32_t address) {
    openGame();
    uint8_t bytes[4];
    if (read(address, bytes, sizeof bytes)) {
        memSingle = std::bit_cast<float>(littleEndian(bytes));
    }
    if (memResult == 0) {
        AttachGame(title);
    }
    return memSingle;
}

int32_t ReadGameLong(const QString& /*title*/, int32_t address) {
    openGame();
    uint8_t bytes[4];
    if (read(address, bytes, sizeof bytes)) {
        memLong = static_cast<int32_t>(littleEndian(bytes));
    }
    return memLong;
}

std::vector<uint8_t> ReadGameBytes(const QString& /*title*/, int32_t address, int32_t count) {
    openGame();
    if (count < 0 || count > kMaxReadCount) {
        memBytes.clear();
        memResult = 0;
    } else {
        memBytes.assign(static_cast<size_t>(count), 0);
        if (!read(address, memBytes.data(), memBytes.size())) {
            // A read that stopped part way leaves nothing of it behind.
            std::fill(memBytes.begin(), memBytes.end(), uint8_t{0});
        }
    }
    return memBytes;
}

int32_t WriteGameLong(const QString& /*title*/, int32_t address, int32_t value) {
    openGame();
    protect(address, 4);
    memLong = value;
    const auto u = static_cast<uint32_t>(value);
    const uint8_t bytes[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                              static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
    write(address, bytes, sizeof bytes);
    return memResult;
}

int32_t WriteGameBytes(const QString& /*title*/, int32_t address, std::span<const uint8_t> bytes) {
    openGame();
    protect(address, static_cast<int64_t>(bytes.size()));
    write(address, bytes.data(), bytes.size());
    return memResult;
}

int32_t WriteGameText(const QString& /*title*/, int32_t address, const QString& text) {
    const QByteArray bytes = toCp1252(text);
    openGame();
    protect(address, bytes.size());
    memText = text;
    write(address, bytes.constData(), static_cast<size_t>(bytes.size()));
    return memResult;
}

int32_t WriteGameHex(const QString& /*title*/, int32_t address, const QString& hexText,
                     int32_t protectLength, int32_t /*unused*/) {
    const std::vector<uint8_t> bytes = HexToBytes(hexText);
    openGame();
    protect(address, protectLength);
    write(address, bytes.data(), bytes.size());
    return memResult;
}

int32_t WriteGameBlocks(std::span<const Block> blocks) {
    openGame();
    memResult = 0;
    for (const Block& block : blocks) {
        write(block.address, block.bytes.data(), block.bytes.size());
    }
    return memResult;
}

std::vector<uint8_t> HexToBytes(const QString& hexText) {
    const qsizetype length = hexText.size();
    memBytes.assign(static_cast<size_t>((length + 1) / 2), 0);
    for (qsizetype i = 0; i < length; i += 2) {
        const int high = hexDigit(hexText[i]);
        const int low = i + 1 < length ? hexDigit(hexText[i + 1]) : 0;
        if (high < 0 || low < 0) {
            break;  // decoding stops at the first pair that is not hex
        }
        memBytes[static_cast<size_t>(i / 2)] =
            static_cast<uint8_t>(i + 1 < length ? high * 16 + low : high);
    }
    return memBytes;
}

}  // namespace orvel::Memory
