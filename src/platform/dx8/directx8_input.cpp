// Placeholder until the keyboard stand-in lands.
#include "platform/dx8/directx8.h"

namespace dx8 {

std::shared_ptr<DirectInput8> DirectX8::DirectInputCreate() { raise(E_NOTIMPL); }
int32_t DirectX8::CreateEvent(DirectXEvent8*) { raise(E_NOTIMPL); }
void DirectX8::DestroyEvent(int32_t) {}
void SignalEvent(int32_t) {}

}  // namespace dx8
