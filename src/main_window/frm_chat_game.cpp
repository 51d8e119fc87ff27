// The main window's side of the game link: its three game checks, the 50 ms tick and the
// game-version check box.
#include <QCheckBox>
#include <QLabel>

#include "common/orvel_globals.h"
#include "common/settings_store.h"
#include "game_link/car_state_tick.h"
#include "game_link/game_checks.h"
#include "game_link/tick_pacer.h"
#include "main_window/frm_chat.h"
#include "platform/os/os_services.h"

namespace orvel {

bool frmChat::isRunning() {
    return gamelink::isRunning();
}

bool frmChat::isPlaying() {
    return gamelink::isPlaying();
}

bool frmChat::isFocused() {
    return gamelink::isFocused();
}

void frmChat::Timer1_Timer() {
    tick_->run();
    pacer_->afterTick(tick_->state());
}

void frmChat::showGameState() {
    lblGameStatus->setText(gamelink::GameStatusText(tick_->state(), gameVersion, tick_->detail(),
                                                    os::services().CurrentUser()));
    // The settling wait holds the thread, so the line is drawn now rather than after it.
    if (lblGameStatus->isVisible()) {
        lblGameStatus->repaint();
    }
}

void frmChat::mx_Click() {
    if (mx->isChecked()) {
        gameVersion = 1;
        SaveDefault(QStringLiteral("GameVersion"), QStringLiteral("1"));
    } else {
        gameVersion = 0;
        SaveDefault(QStringLiteral("GameVersion"), QStringLiteral("0"));
    }
    // A game of the other edition is told of by the next tick, which looks at it anew.
    if (tick_->state() != gamelink::GameState::OtherEdition) {
        showGameState();
    }
}

}  // namespace orvel
