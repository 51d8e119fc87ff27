#include "game_link/game_checks.h"

#include "common/orvel_globals.h"
#include "game_link/game_memory_map.h"
#include "game_link/memory.h"
#include "platform/os/os_services.h"

namespace orvel::gamelink {

bool isRunning() {
    return os::services().FindWindowA(GameTitle) != 0;
}

bool isPlaying() {
    if (!isRunning()) {
        return false;
    }
    const gamemap::Edition& edition = gamemap::edition(gameVersion);
    const float play = Memory::ReadGameSingle(GameTitle, static_cast<int32_t>(edition.playValue));
    const int32_t status =
        Memory::ReadGameLong(GameTitle, static_cast<int32_t>(edition.statusWord));
    return play > 0.0f && status == 0;  // false for NaN as well
}

bool isFocused() {
    // With no game attached there is nothing to have the focus, even when no window has it.
    return Memory::gameWindow != 0 && os::services().GetForegroundWindow() == Memory::gameWindow;
}

}  // namespace orvel::gamelink
