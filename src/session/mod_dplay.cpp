#include "session/mod_dplay.h"

namespace orvel {

std::shared_ptr<dx8::DirectX8> dxRoot;
std::shared_ptr<dx8::DirectPlay8Peer> dpPeer;
std::shared_ptr<dx8::DirectInput8> diInput;
std::shared_ptr<dx8::DirectInputDevice8> diKeyboard;
int32_t keyboardEvent = 0;

}  // namespace orvel
