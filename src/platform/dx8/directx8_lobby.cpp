// Placeholder until the lobby stand-in lands.
#include "platform/dx8/directx8.h"

namespace dx8 {

std::shared_ptr<DirectPlay8LobbiedApplication> DirectX8::DirectPlayLobbiedApplicationCreate() {
    raise(E_NOTIMPL);
}

}  // namespace dx8
