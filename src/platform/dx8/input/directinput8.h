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
constexpr int32_t DISCL_NOWINKEY = 0x10;  // only with DISCL_NONEXCLUSIVE

// Result codes of DirectInput 8 (the documented values).
constexpr HRESULT DI_OK = 0;
constexpr HRESULT DIERR_ACQUIRED = hr(0x800700AA);
constexpr HRESULT DIERR_DEVICENOTREG = hr(0x80040154);
constexpr HRESULT DIERR_INPUTLOST = hr(0x8007001E);
constexpr HRESULT DIERR_INVALIDPARAM = E_INVALIDARG;  // 0x80070057
constexpr HRESULT DIERR_NOTACQUIRED = hr(0x8007000C);
constexpr HRESULT DIERR_NOTBUFFERED = hr(0x80040207);
constexpr HRESULT DIERR_UNSUPPORTED = E_NOTIMPL;  // 0x80004001

// GetDeviceData flag: copy the waiting events but leave them in the buffer.
constexpr int32_t DIGDD_PEEK = 0x1;

constexpr int32_t DIFORMAT_KEYBOARD = 1;  // the common keyboard data format

inline const QString GUID_SysKeyboard = QStringLiteral("GUID_SysKeyboard");
inline const QString DIPROP_BUFFERSIZE = QStringLiteral("diprop_buffersize");

constexpr int32_t DIPH_DEVICE = 0;

// DirectInput key codes: the positions of the keys on a PC keyboard (scan code set 1, extended
// keys with 0x80 added).
constexpr int16_t DIK_ESCAPE = 0x01;
constexpr int16_t DIK_1 = 0x02;
constexpr int16_t DIK_2 = 0x03;
constexpr int16_t DIK_3 = 0x04;
constexpr int16_t DIK_4 = 0x05;
constexpr int16_t DIK_5 = 0x06;
constexpr int16_t DIK_6 = 0x07;
constexpr int16_t DIK_7 = 0x08;
constexpr int16_t DIK_8 = 0x09;
constexpr int16_t DIK_9 = 0x0A;
constexpr int16_t DIK_0 = 0x0B;
constexpr int16_t DIK_MINUS = 0x0C;
constexpr int16_t DIK_EQUALS = 0x0D;
constexpr int16_t DIK_BACK = 0x0E;
constexpr int16_t DIK_TAB = 0x0F;
constexpr int16_t DIK_Q = 0x10;
constexpr int16_t DIK_W = 0x11;
constexpr int16_t DIK_E = 0x12;
constexpr int16_t DIK_R = 0x13;
constexpr int16_t DIK_T = 0x14;
constexpr int16_t DIK_Y = 0x15;
constexpr int16_t DIK_U = 0x16;
constexpr int16_t DIK_I = 0x17;
constexpr int16_t DIK_O = 0x18;
constexpr int16_t DIK_P = 0x19;
constexpr int16_t DIK_LBRACKET = 0x1A;
constexpr int16_t DIK_RBRACKET = 0x1B;
constexpr int16_t DIK_RETURN = 0x1C;
constexpr int16_t DIK_LCONTROL = 0x1D;
constexpr int16_t DIK_A = 0x1E;
constexpr int16_t DIK_S = 0x1F;
constexpr int16_t DIK_D = 0x20;
constexpr int16_t DIK_F = 0x21;
constexpr int16_t DIK_G = 0x22;
constexpr int16_t DIK_H = 0x23;
constexpr int16_t DIK_J = 0x24;
constexpr int16_t DIK_K = 0x25;
constexpr int16_t DIK_L = 0x26;
constexpr int16_t DIK_SEMICOLON = 0x27;
constexpr int16_t DIK_APOSTROPHE = 0x28;
constexpr int16_t DIK_GRAVE = 0x29;
constexpr int16_t DIK_LSHIFT = 0x2A;
constexpr int16_t DIK_BACKSLASH = 0x2B;
constexpr int16_t DIK_Z = 0x2C;
constexpr int16_t DIK_X = 0x2D;
constexpr int16_t DIK_C = 0x2E;
constexpr int16_t DIK_V = 0x2F;
constexpr int16_t DIK_B = 0x30;
constexpr int16_t DIK_N = 0x31;
constexpr int16_t DIK_M = 0x32;
constexpr int16_t DIK_COMMA = 0x33;
constexpr int16_t DIK_PERIOD = 0x34;
constexpr int16_t DIK_SLASH = 0x35;
constexpr int16_t DIK_RSHIFT = 0x36;
constexpr int16_t DIK_MULTIPLY = 0x37;  // * on the numeric keypad
constexpr int16_t DIK_LMENU = 0x38;     // left Alt
constexpr int16_t DIK_SPACE = 0x39;
constexpr int16_t DIK_CAPITAL = 0x3A;
constexpr int16_t DIK_F1 = 0x3B;
constexpr int16_t DIK_F2 = 0x3C;
constexpr int16_t DIK_F3 = 0x3D;
constexpr int16_t DIK_F4 = 0x3E;
constexpr int16_t DIK_F5 = 0x3F;
constexpr int16_t DIK_F6 = 0x40;
constexpr int16_t DIK_F7 = 0x41;
constexpr int16_t DIK_F8 = 0x42;
constexpr int16_t DIK_F9 = 0x43;
constexpr int16_t DIK_F10 = 0x44;
constexpr int16_t DIK_NUMLOCK = 0x45;
constexpr int16_t DIK_SCROLL = 0x46;
constexpr int16_t DIK_NUMPAD7 = 0x47;
constexpr int16_t DIK_NUMPAD8 = 0x48;
constexpr int16_t DIK_NUMPAD9 = 0x49;
constexpr int16_t DIK_SUBTRACT = 0x4A;
constexpr int16_t DIK_NUMPAD4 = 0x4B;
constexpr int16_t DIK_NUMPAD5 = 0x4C;
constexpr int16_t DIK_NUMPAD6 = 0x4D;
constexpr int16_t DIK_ADD = 0x4E;
constexpr int16_t DIK_NUMPAD1 = 0x4F;
constexpr int16_t DIK_NUMPAD2 = 0x50;
constexpr int16_t DIK_NUMPAD3 = 0x51;
constexpr int16_t DIK_NUMPAD0 = 0x52;
constexpr int16_t DIK_DECIMAL = 0x53;
constexpr int16_t DIK_OEM_102 = 0x56;  // the extra key beside left Shift on 102-key keyboards
constexpr int16_t DIK_F11 = 0x57;
constexpr int16_t DIK_F12 = 0x58;
constexpr int16_t DIK_F13 = 0x64;
constexpr int16_t DIK_F14 = 0x65;
constexpr int16_t DIK_F15 = 0x66;
constexpr int16_t DIK_KANA = 0x70;
constexpr int16_t DIK_ABNT_C1 = 0x73;
constexpr int16_t DIK_CONVERT = 0x79;
constexpr int16_t DIK_NOCONVERT = 0x7B;
constexpr int16_t DIK_YEN = 0x7D;
constexpr int16_t DIK_NUMPADEQUALS = 0x8D;
constexpr int16_t DIK_PREVTRACK = 0x90;
constexpr int16_t DIK_NEXTTRACK = 0x99;
constexpr int16_t DIK_NUMPADENTER = 0x9C;
constexpr int16_t DIK_RCONTROL = 0x9D;
constexpr int16_t DIK_MUTE = 0xA0;
constexpr int16_t DIK_PLAYPAUSE = 0xA2;
constexpr int16_t DIK_MEDIASTOP = 0xA4;
constexpr int16_t DIK_VOLUMEDOWN = 0xAE;
constexpr int16_t DIK_VOLUMEUP = 0xB0;
constexpr int16_t DIK_NUMPADCOMMA = 0xB3;
constexpr int16_t DIK_DIVIDE = 0xB5;
constexpr int16_t DIK_SYSRQ = 0xB7;
constexpr int16_t DIK_RMENU = 0xB8;  // right Alt
constexpr int16_t DIK_PAUSE = 0xC5;
constexpr int16_t DIK_HOME = 0xC7;
constexpr int16_t DIK_UP = 0xC8;
constexpr int16_t DIK_PRIOR = 0xC9;  // Page Up
constexpr int16_t DIK_LEFT = 0xCB;
constexpr int16_t DIK_RIGHT = 0xCD;
constexpr int16_t DIK_END = 0xCF;
constexpr int16_t DIK_DOWN = 0xD0;
constexpr int16_t DIK_NEXT = 0xD1;  // Page Down
constexpr int16_t DIK_INSERT = 0xD2;
constexpr int16_t DIK_DELETE = 0xD3;
constexpr int16_t DIK_LWIN = 0xDB;
constexpr int16_t DIK_RWIN = 0xDC;
constexpr int16_t DIK_APPS = 0xDD;
constexpr int16_t DIK_POWER = 0xDE;
constexpr int16_t DIK_SLEEP = 0xDF;
constexpr int16_t DIK_WAKE = 0xE3;

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
// Like a Windows auto-reset event: signals that come before the call begins fold into it, so a
// keyboard callback should read until GetDeviceData finds nothing.
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
    // DIPROP_BUFFERSIZE for the whole device (DIPH_DEVICE, object 0): how many key events wait
    // between two reads; when full, newer events are lost and the waiting ones kept.
    virtual void SetProperty(const QString& guid, const DIPROPLONG& prop) = 0;
    // Needs the data format. Keys from before acquiring are not buffered. The settings above are
    // refused (DIERR_ACQUIRED) while acquired.
    virtual void Acquire() = 0;
    virtual void Unacquire() = 0;
    // The keys down now. DIERR_NOTACQUIRED unless acquired.
    virtual void GetDeviceStateKeyboard(DIKEYBOARDSTATE& state) = 0;
    // Moves the waiting events, oldest first, into events[0..]; returns how many were moved
    // (0 leaves events untouched). lFlags 0 or DIGDD_PEEK (copy, keep them waiting).
    virtual int32_t GetDeviceData(DIDEVICEOBJECTDATA* events, int32_t capacity, int32_t lFlags) = 0;
};

class DirectInput8 {
public:
    virtual ~DirectInput8() = default;
    virtual std::shared_ptr<DirectInputDevice8> CreateDevice(const QString& guid) = 0;
};

}  // namespace dx8
