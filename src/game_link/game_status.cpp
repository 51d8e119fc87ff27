#include "game_link/game_status.h"

#include <QCoreApplication>

namespace orvel::gamelink {

QString GameStatusText(GameState state, int32_t gameVersion) {
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
                       "Game: memory access refused. Allow it with "
                       "\"sudo sysctl kernel.yama.ptrace_scope=0\" or "
                       "\"sudo setcap cap_sys_ptrace=eip %1\", then restart Orvel.")
                .arg(QCoreApplication::applicationFilePath());
        case GameState::InUse:
            return QStringLiteral("Game: in use by another Orvel; this one leaves the game alone.");
    }
    return {};
}

}  // namespace orvel::gamelink
