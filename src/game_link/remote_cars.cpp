#include "game_link/remote_cars.h"

#include <span>

#include "common/orvel_globals.h"
#include "game_link/game_memory_map.h"
#include "game_link/memory.h"

namespace orvel::gamelink {

void WriteRemoteCar(uint32_t senderId, const CarState& state) {
    const int slot = slotPlayerIds.slotOf(senderId);
    if (slot == 0) {
        return;
    }
    const uint32_t record = gamemap::carRecord(gameVersion, slot);
    Memory::Block blocks[std::size(gamemap::kCarPieces)];
    size_t i = 0;
    for (const gamemap::CarPiece& piece : gamemap::kCarPieces) {
        blocks[i++] = {static_cast<int32_t>(record + piece.recordOffset),
                       std::span<const uint8_t>(state.data() + piece.stateOffset, piece.size)};
    }
    Memory::WriteGameBlocks(blocks);
}

}  // namespace orvel::gamelink
