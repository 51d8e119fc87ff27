#include "game_link/game_lineage.h"

#include "game_link/game_log.h"
#include "platform/os/os_services.h"

namespace orvel::gamelink {

namespace {

uint32_t started = 0;
// Process trees are shallow; the bound only guards against a loop in what the system reports.
constexpr int kMaxGenerations = 64;

}  // namespace

void LinkOnlyToDescendantsOf(uint32_t processId) {
    started = processId;
}

uint32_t StartedGame() {
    return started;
}

bool MayBeTheGame(uint32_t processId) {
    if (started == 0) {
        return true;
    }
    uint32_t p = processId;
    for (int i = 0; i < kMaxGenerations && p > 1; ++i) {
        if (p == started) {
            return true;
        }
        p = os::services().ParentProcessId(p);
    }
    qCDebug(lcGame) << "process" << processId << "is not of the game Orvel started";
    return false;
}

}  // namespace orvel::gamelink
