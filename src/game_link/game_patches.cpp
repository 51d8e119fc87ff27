#include "game_link/game_patches.h"

#include "common/orvel_globals.h"
#include "game_link/game_memory_map.h"
#include "game_link/memory.h"

namespace orvel::gamelink {

void ApplyGamePatches() {
    const gamemap::Edition& edition = gamemap::edition(gameVersion);
    Memory::WriteGameHex(GameTitle, static_cast<int32_t>(edition.patchSiteA), QStringLiteral("C3"),
                         0, 0);
    Memory::WriteGameHex(GameTitle, static_cast<int32_t>(edition.patchSiteB), QStringLiteral("c3"),
                         0, 0);
}

}  // namespace orvel::gamelink
