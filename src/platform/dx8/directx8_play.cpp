// Placeholder until the ENet session layer lands.
#include "platform/dx8/directx8.h"

namespace dx8 {

std::shared_ptr<DirectPlay8Peer> DirectX8::DirectPlayPeerCreate() { raise(E_NOTIMPL); }
std::shared_ptr<DirectPlay8Client> DirectX8::DirectPlayClientCreate() { raise(E_NOTIMPL); }
std::shared_ptr<DirectPlay8Address> DirectX8::DirectPlayAddressCreate() {
    return std::make_shared<DirectPlay8Address>();
}

}  // namespace dx8
