#pragma once

// DirectInput 8 stand-in: the system keyboard, read in the background while another window has
// the focus. Failures raise dx8::DxError.

#include <QString>
#include <array>
#include <memory>

#include "platform/dx8/dx8_types.h"

namespace dx8 {

constexpr int32_t DISCL_EXCLUSIVE = 0x1;
constexpr int32_t DISCL_NONEXCLUSIVE = 0x2;
constexpr int32_t DISCL_FOREGROUND = 0x4;
constexpr int32_t DISCL_BACKGROUND = 0x8;

constexpr int32_t DIFORMAT_KEYBOARD = 1;  // the common keyboard data format

inline const QString GUID_SysKeyboard = QStringLiteral("GUID_SysKeyboard");
inline const QString DIPROP_BUFFERSIZE = QStringLiteral("diprop_buffersize");

constexpr int32_t DIPH_DEVICE = 0;

// DirectInput key codes used by the in-game chat.
constexpr int16_t DIK_ESCAPE = 0x01;
constexpr int16_t DIK_BACK = 0x0E;
constexpr int16_t DIK_TAB = 0x0F;
constexpr int16_t DIK_T = 0x14;
constexpr int16_t DIK_RETURN = 0x1C;
constexpr int16_t DIK_LCONTROL = 0x1D;
constexpr int16_t DIK_LSHIFT = 0x2A;
constexpr int16_t DIK_RSHIFT = 0x36;
constexpr int16_t DIK_LMENU = 0x38;
constexpr int16_t DIK_SPACE = 0x39;
constexpr int16_t DIK_CAPITAL = 0x3A;

// A property record of 32-bit fields: how the object is named, which object, and the value.
struct DIPROPLONG {
    int32_t lHow = DIPH_DEVICE;
    int32_t lObj = 0;
    int32_t lData = 0;
};

// One buffered key event; lData & 0x80 set means a press.
struct DIDEVICEOBJECTDATA {
    int32_t lOfs = 0;   // the key code
    int32_t lData = 0;  // 0x80 = pressed, 0 = released
    int32_t lTimeStamp = 0;
    int32_t lSequence = 0;
    int32_t lUserData = 0;
};

// One byte per DirectInput key code; 0x80 = down.
struct DIKEYBOARDSTATE {
    std::array<uint8_t, 256> key{};
};

// Called by the root object, on the GUI thread, when a DirectX event it created is signalled.
class DirectXEvent8 {
public:
    virtual ~DirectXEvent8() = default;
    virtual void DirectXEvent8_DXCallback(int32_t eventid) = 0;
};

class DirectInputDevice8 {
public:
    virtual ~DirectInputDevice8() = default;
    virtual void SetCommonDataFormat(int32_t format) = 0;
    // window: the native window id of the owning window (0 when it has none).
    virtual void SetCooperativeLevel(uintptr_t window, int32_t lFlags) = 0;
    // eventid: a handle from DirectX8::CreateEvent, signalled for every new key event; 0 = none.
    virtual void SetEventNotification(int32_t eventid) = 0;
    virtual void SetProperty(const QString& guid, const DIPROPLONG& prop) = 0;
    virtual void Acquire() = 0;
    virtual void Unacquire() = 0;
    virtual void GetDeviceStateKeyboard(DIKEYBOARDSTATE& state) = 0;
    // Moves the waiting events, oldest first, into events[0..]; returns how many were moved.
    virtual int32_t GetDeviceData(DIDEVICEOBJECTDATA* events, int32_t capacity,
                                  int32_t lFlags) = 0;
};

class DirectInput8 {
public:
    virtual ~DirectInput8() = default;
    virtual std::shared_ptr<DirectInputDevice8> CreateDevice(const QString& guid) = 0;
};

}  // namespace dx8
