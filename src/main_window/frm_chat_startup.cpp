// Placeholder until start-up and shutdown land: the window simply shows.
#include "main_window/frm_chat.h"

namespace orvel {

bool frmChat::Form_Load() { return true; }
void frmChat::Form_Unload() {}

}  // namespace orvel
