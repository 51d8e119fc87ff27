#include "game_link/remote_cars.h"

#include <algorithm>
#include <span>
#include <vector>

#include "common/orvel_globals.h"
#include "game_link/edition_check.h"
#include "game_link/game_checks.h"
#include "game_link/game_memory_map.h"
#include "game_link/memory.h"
#include "session/race_session.h"

namespace orvel::gamelink {

CarState ReadLocalCar(int32_t gameVersion) {
    CarState state{};
    const uint32_t record = gamemap::carRecord(gameVersion, 0);
    for (const gamemap::CarPiece& piece : gamemap::kCarPieces) {
        // Exactly piece.size bytes, zeros where the read failed.
        const std::vector<uint8_t> bytes =
            Memory::ReadGameBytes(GameTitle, static_cast<int32_t>(record + piece.recordOffset),
                                  static_cast<int32_t>(piece.size));
        std::copy_n(bytes.begin(), std::min<size_t>(piece.size, bytes.size()),
                    state.begin() + piece.stateOffset);
    }
    return state;
}

void WriteRemoteCar(int slot, const CarState& state) {
    if (slot < SlotPlayerIds::kFirst || slot > SlotPlayerIds::kLast ||
        !GameMatchesChosenEdition()) {
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

void RemoteCars::onCarState(int slot, const CarState& state) {
    // Outside a race the game's car records are not ours to write. The tick's answer serves
    // every car that arrives between two ticks.
    if (isPlayingLately()) {
        WriteRemoteCar(slot, state);
    }
}

}  // namespace orvel::gamelink
