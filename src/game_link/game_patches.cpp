#include "game_link/game_patches.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/orvel_globals.h"
#include "game_link/edition_check.h"
#include "game_link/game_log.h"
#include "game_link/game_memory_map.h"
#include "game_link/game_process.h"
#include "game_link/memory.h"

namespace orvel::gamelink {

namespace {

struct KeptByte {
    uint32_t address;
    uint8_t original;
};
// The held game's original bytes: at most the four sites of both editions.
std::vector<KeptByte> kept;
uint32_t keptFor = 0;  // the process they were read from

bool keep(uint32_t address) {
    if (keptFor != HeldGame()) {
        kept.clear();
        keptFor = HeldGame();
    }
    for (const KeptByte& k : kept) {
        if (k.address == address) {
            return true;
        }
    }
    if (keptFor == 0) {
        return false;
    }
    const std::vector<uint8_t> original =
        Memory::ReadGameBytes(GameTitle, static_cast<int32_t>(address), 1);
    if (Memory::memResult == 0 || original.size() != 1) {
        return false;
    }
    kept.push_back({address, original[0]});
    return true;
}

// Writes the first byte back at every kept site that `which` names, and forgets it there. The
// open handle still names the patched run of the game, but a replaced process is checked for
// anyway: nothing of one game may land in another.
template <class Which>
void giveBack(Which which) {
    if (std::none_of(kept.begin(), kept.end(),
                     [&](const KeptByte& k) { return which(k.address); })) {
        return;  // the common case, at every tick: nothing to give back
    }
    const bool same = keptFor != 0 && keptFor == HeldGame() && HeldGameUnchanged();
    for (auto k = kept.begin(); k != kept.end();) {
        if (!which(k->address)) {
            ++k;
            continue;
        }
        if (same) {
            const uint8_t byte = k->original;
            Memory::WriteGameBytes(GameTitle, static_cast<int32_t>(k->address),
                                   std::span<const uint8_t>(&byte, 1));
            qCDebug(lcGame) << "gave back the byte at" << Qt::hex << k->address;
        }
        k = kept.erase(k);
    }
}

}  // namespace

void ApplyGamePatches() {
    // A game seen to be of one edition gets back what was written at the other's sites while
    // that could not be told; a game of the edition not chosen gets nothing written.
    if (const int32_t seen = GameEdition(); seen >= 0) {
        const gamemap::Edition& right = gamemap::edition(seen);
        giveBack([&right](uint32_t a) { return a != right.patchSiteA && a != right.patchSiteB; });
    }
    if (!GameMatchesChosenEdition()) {
        return;
    }
    // A near return, written straight in: the byte's page is known to be there (its first
    // value was read), so no protection request is made, 20 times a second.
    static constexpr uint8_t kReturn[1] = {0xC3};
    const gamemap::Edition& edition = gamemap::edition(gameVersion);
    for (const uint32_t site : {edition.patchSiteA, edition.patchSiteB}) {
        if (keep(site)) {
            const Memory::Block block{static_cast<int32_t>(site), kReturn};
            Memory::WriteGameBlocks({&block, 1});
        }
    }
}

void RestoreGamePatches() {
    giveBack([](uint32_t) { return true; });
    kept.clear();
    keptFor = 0;
}

}  // namespace orvel::gamelink
