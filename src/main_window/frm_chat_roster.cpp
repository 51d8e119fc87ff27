// Placeholder until the roster and message receipt land.
#include "main_window/frm_chat.h"

namespace orvel {

void frmChat::DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE&, bool&) {}
void frmChat::DirectPlay8Event_CreatePlayer(dx8::DPNID, bool&) {}
void frmChat::DirectPlay8Event_DestroyPlayer(dx8::DPNID, int32_t, bool&) {}
void frmChat::DirectPlay8Event_HostMigrate(dx8::DPNID, bool&) {}
void frmChat::DirectPlay8Event_Receive(dx8::DPNMSG_RECEIVE&, bool&) {}
void frmChat::DirectPlay8Event_TerminateSession(dx8::DPNMSG_TERMINATE_SESSION&, bool&) {}

}  // namespace orvel
