// The root object's DirectInput and DirectX event services.
#include "platform/dx8/directx8.h"
#include "platform/dx8/input/dx_events.h"
#include "platform/dx8/input/keyboard_device.h"

namespace dx8 {

std::shared_ptr<DirectInput8> DirectX8::DirectInputCreate() {
    return std::make_shared<DirectInputObject>(x11KeySourceFactory());
}

int32_t DirectX8::CreateEvent(DirectXEvent8* callback) {
    return events::create(callback);
}

void DirectX8::DestroyEvent(int32_t eventid) {
    events::destroy(eventid);
}

void SignalEvent(int32_t eventid) {
    events::signal(eventid);
}

}  // namespace dx8
