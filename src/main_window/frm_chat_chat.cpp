// Placeholder until the chat lands.
#include "main_window/frm_chat.h"

namespace orvel {

void frmChat::AddChatLine(QString) {}
QString frmChat::PlayerNameFromId(uint32_t) { return {}; }
void frmChat::txtSend_KeyPress(int16_t&) {}
void frmChat::cmdWhisper_Click() {}

}  // namespace orvel
