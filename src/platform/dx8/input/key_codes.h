#pragma once

// From the keys the X server reports to DirectInput key codes.

#include <cstdint>

namespace dx8 {

// The DirectInput key code of a Linux input (evdev) key code; 0 for keys DirectInput has no code
// for.
int16_t dikFromEvdev(int evdevCode);

// The DirectInput key code of an X key code, on X servers whose key codes are the evdev codes
// plus 8 (every X server with the evdev or libinput driver, Xwayland and Xvfb); 0 for none.
int16_t dikFromXKeycode(int xKeycode);

}  // namespace dx8
