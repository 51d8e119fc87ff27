// Placeholder until the game link lands.
#include "main_window/frm_chat.h"

#include "game_link/car_state_tick.h"

namespace orvel {

bool frmChat::isRunning() { return false; }
bool frmChat::isPlaying() { return false; }
bool frmChat::isFocused() { return false; }
void frmChat::Timer1_Timer() {}
void frmChat::mx_Click() {}

}  // namespace orvel
