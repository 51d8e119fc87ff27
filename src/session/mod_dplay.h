#pragma once

// The DirectX objects shared by the whole program, created once at start-up and released once at
// shutdown.

#include <cstdint>
#include <memory>

#include "platform/dx8/directx8.h"

namespace orvel {

extern std::shared_ptr<dx8::DirectX8> dxRoot;
extern std::shared_ptr<dx8::DirectPlay8Peer> dpPeer;
extern std::shared_ptr<dx8::DirectInput8> diInput;
extern std::shared_ptr<dx8::DirectInputDevice8> diKeyboard;
extern int32_t keyboardEvent;  // 0 = none

}  // namespace orvel
