#pragma once

// The DirectX 8 root object: it creates the DirectPlay 8 and DirectInput 8 objects and the
// DirectX events whose callbacks run on the GUI thread.

#include <memory>

#include "platform/dx8/input/directinput8.h"
#include "platform/dx8/directplay8.h"
#include "platform/dx8/lobby/directplay8_lobby.h"

namespace dx8 {

class DirectX8 {
public:
    DirectX8();
    ~DirectX8();
    DirectX8(const DirectX8&) = delete;
    DirectX8& operator=(const DirectX8&) = delete;

    std::shared_ptr<DirectPlay8Peer> DirectPlayPeerCreate();
    std::shared_ptr<DirectPlay8Client> DirectPlayClientCreate();
    std::shared_ptr<DirectPlay8Address> DirectPlayAddressCreate();
    std::shared_ptr<DirectPlay8LobbiedApplication> DirectPlayLobbiedApplicationCreate();
    std::shared_ptr<DirectInput8> DirectInputCreate();

    // A DirectX event: once signalled, callback->DirectXEvent8_DXCallback(id) runs on the GUI
    // thread; signals that arrive while it runs are delivered afterwards, one at a time.
    int32_t CreateEvent(DirectXEvent8* callback);
    void DestroyEvent(int32_t eventid);
};

// Signals a DirectX event from any thread; unknown or destroyed ids are ignored.
void SignalEvent(int32_t eventid);

}  // namespace dx8
