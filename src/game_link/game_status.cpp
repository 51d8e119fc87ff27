#include "game_link/game_status.h"

namespace orvel::gamelink {

QString GameStatusText(GameState state, int32_t gameVersion, const QString& detail,
                       const QString& ourUser) {
    const QString edition = gameVersion == 0 ? QStringLiteral("standard") : QStringLiteral("MX");
    switch (state) {
        case GameState::NotFound:
            return QStringLiteral("Game: not found. Start Kartova; Orvel finds it by itself.");
        case GameState::Settling:
            return QStringLiteral("Game: found, settling...");
        case GameState::Menu:
            return QStringLiteral("Game: on the menu (%1 edition).").arg(edition);
        case GameState::Racing:
            return QStringLiteral("Game: racing (%1 edition).").arg(edition);
        case GameState::AccessRefused:
            return QStringLiteral(
                "Game: memory access refused. Start the game through Orvel (orvel -- wine "
                "Kartova.exe), or allow it until the next boot with \"sudo sysctl "
                "kernel.yama.ptrace_scope=0\".");
        case GameState::InUse:
            return QStringLiteral("Game: in use by another Orvel; this one leaves the game alone.");
        case GameState::OtherUser:
            return QStringLiteral(
                       "Game: the game's window belongs to user %1; Orvel runs as %2 and can only "
                       "reach games of its own user. Start both as the same user.")
                .arg(detail, ourUser);
        case GameState::OtherEdition:
            // Only two editions: the game looks like the one not chosen.
            return gameVersion == 0
                       ? QStringLiteral(
                             "Game: this looks like the MX edition. Tick \"MX\" under Game "
                             "Version to race with it; until then Orvel leaves the game alone.")
                       : QStringLiteral(
                             "Game: this looks like the standard edition. Untick \"MX\" under "
                             "Game Version to race with it; until then Orvel leaves the game "
                             "alone.");
        case GameState::Unclaimable:
            return QStringLiteral(
                       "Game: left alone: Orvel has no private runtime folder to keep its claim on "
                       "the game in (%1).")
                .arg(detail.isEmpty() ? QStringLiteral("see XDG_RUNTIME_DIR") : detail);
    }
    return {};
}

}  // namespace orvel::gamelink
