// Placeholder until the in-game chat lands.
#include "main_window/frm_chat.h"

namespace orvel {

void frmChat::DirectXEvent8_DXCallback(int32_t) {}

}  // namespace orvel
