#include "game_link/game_process.h"

#include <algorithm>
#include <vector>

#include "game_link/edition_check.h"
#include "game_link/game_lineage.h"
#include "game_link/game_log.h"
#include "game_link/game_memory_map.h"
#include "game_link/game_patches.h"
#include "game_link/memory.h"

namespace orvel::gamelink {

namespace {

struct Hold {
    uint32_t processId = 0;
    uint64_t startTime = 0;
    intptr_t claim = 0;
    os::WindowHandle window = 0;
};
Hold hold;
bool inUseElsewhere = false;
bool unclaimable = false;
QString otherUser;  // of the last look that found no game

// Runs of processes already found to be the game, so their maps are read once. Bounded: a
// player starts only so many games in one run.
std::vector<std::pair<uint32_t, uint64_t>> knownGames;
constexpr size_t kKnownGamesKept = 8;

bool looksLikeGame(uint32_t processId) {
    if (processId == 0) {
        return false;
    }
    os::OsServices& os = os::services();
    const std::pair<uint32_t, uint64_t> run{processId, os.ProcessStartTime(processId)};
    if (std::find(knownGames.begin(), knownGames.end(), run) != knownGames.end()) {
        return true;
    }
    const bool game =
        os.ProcessHasMapped(processId, gamemap::kGameCodePages.begin,
                            gamemap::kGameCodePages.end - gamemap::kGameCodePages.begin) &&
        os.ProcessHasMapped(processId, gamemap::kGameData.begin,
                            gamemap::kGameData.end - gamemap::kGameData.begin);
    if (game) {
        if (knownGames.size() >= kKnownGamesKept) {
            knownGames.erase(knownGames.begin());
        }
        knownGames.push_back(run);
    } else {
        qCDebug(lcGame) << "process" << processId << "has the title but not the game's memory";
    }
    return game;
}

}  // namespace

namespace {

FoundGame lookUp(const QString& title, bool trustHeldWindow) {
    os::OsServices& os = os::services();
    const std::vector<os::WindowHandle> windows = os.FindWindows(title);
    // The game already held keeps the choice while its window is there; its owner is known.
    if (trustHeldWindow && hold.window != 0 &&
        std::find(windows.begin(), windows.end(), hold.window) != windows.end()) {
        return {hold.window, hold.processId};
    }
    std::vector<uint32_t> owners;
    owners.reserve(windows.size());
    for (os::WindowHandle w : windows) {
        owners.push_back(os.GetWindowThreadProcessId(w));
        if (owners.back() != 0 && owners.back() == hold.processId) {
            return {w, owners.back()};
        }
    }
    otherUser.clear();
    for (size_t i = 0; i < windows.size(); ++i) {
        // A game Orvel did not start is none of its business when it started one.
        if (!MayBeTheGame(owners[i])) {
            continue;
        }
        // Another user's process is out of reach, and not ours to touch: asked before its maps,
        // which another user's process does not show anyway.
        const QString user = owners[i] != 0 ? os.ProcessOtherUser(owners[i]) : QString();
        if (!user.isEmpty()) {
            otherUser = otherUser.isEmpty() ? user : otherUser;
        } else if (looksLikeGame(owners[i])) {
            otherUser.clear();
            return {windows[i], owners[i]};
        }
    }
    return {};
}

}  // namespace

QString OtherUsersGame() {
    return otherUser;
}

FoundGame FindGame(const QString& title) {
    return lookUp(title, true);
}

FoundGame LookUpGame(const QString& title) {
    return lookUp(title, false);
}

bool HoldGame(const FoundGame& game) {
    const uint32_t processId = game.processId;
    if (processId != 0 && processId == hold.processId) {
        hold.window = game.window;
        return true;
    }
    ReleaseGame();
    if (processId == 0) {
        return false;
    }
    os::OsServices& os = os::services();
    const uint64_t started = os.ProcessStartTime(processId);
    const intptr_t claim = started != 0 ? os.ClaimProcess(processId, started) : 0;
    inUseElsewhere = started != 0 && claim == 0;
    unclaimable = claim < 0;
    if (claim <= 0) {
        qCDebug(lcGame) << "process" << processId
                        << (inUseElsewhere ? "is held by another Orvel"
                            : unclaimable  ? "cannot be claimed without a private runtime folder"
                                           : "is gone");
        return false;
    }
    hold = {processId, started, claim, game.window};
    qCDebug(lcGame) << "holding process" << processId;
    return true;
}

uint32_t HeldGame() {
    return hold.processId;
}

bool HeldGameUnchanged() {
    return hold.processId != 0 && os::services().ProcessStartTime(hold.processId) == hold.startTime;
}

bool GameInUseElsewhere() {
    return inUseElsewhere;
}

bool GameUnclaimable() {
    return unclaimable;
}

void ReleaseGame() {
    if (hold.processId == 0) {
        return;
    }
    RestoreGamePatches();
    ForgetGameEdition();
    Memory::CloseGameProcess();
    os::services().ReleaseClaim(hold.claim);
    qCDebug(lcGame) << "let go of process" << hold.processId;
    hold = {};
    // A run of a process seen as the game is looked at afresh next time.
    knownGames.clear();
}

}  // namespace orvel::gamelink
