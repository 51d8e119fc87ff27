#pragma once

// The DirectInput 8 system keyboard: DirectInput8 and the device behind
// CreateDevice("GUID_SysKeyboard").

#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/dx8/input/directinput8.h"
#include "platform/dx8/input/key_source.h"

namespace dx8 {

// The value of GUID_SysKeyboard, also accepted as the device name.
inline const QString kSysKeyboardGuidValue =
    QStringLiteral("{6F1D2B61-D5A0-11CF-BFC7-444553540000}");

// Largest buffer a device keeps; larger DIPROP_BUFFERSIZE values are cut to it.
constexpr int32_t kMaxKeyBufferSize = 1024;

// DI_OK when DirectInput accepts these cooperative-level flags for a keyboard on `window`, else
// the error it gives: exactly one of exclusive / non-exclusive and exactly one of foreground /
// background, DISCL_NOWINKEY only when non-exclusive; exclusive background is unsupported for a
// keyboard; foreground needs a window.
HRESULT keyboardCooperativeLevelError(uintptr_t window, int32_t flags);

// The waiting key events of a device. When it is full, further events are lost and the ones
// already waiting are kept (DirectInput loses the newest data on overflow), and the loss is
// remembered until the next read.
class KeyEventBuffer {
public:
    void setCapacity(int32_t capacity);
    int32_t capacity() const { return capacity_; }
    int32_t size() const { return static_cast<int32_t>(events_.size()); }
    // False when the event was lost to a full buffer.
    bool push(const DIDEVICEOBJECTDATA& event);
    // Copies up to `count` events, oldest first, into out (when out is not null) and removes them
    // unless peek; returns how many.
    int32_t take(DIDEVICEOBJECTDATA* out, int32_t count, bool peek);
    bool overflowed() const { return overflowed_; }
    void clear();

private:
    std::deque<DIDEVICEOBJECTDATA> events_;
    int32_t capacity_ = 0;
    bool overflowed_ = false;
};

class SystemKeyboard : public DirectInputDevice8 {
public:
    // Takes its keys from the source that `factory` builds. Without one (no display, no XInput
    // 2) the device still works as far as its callers can tell, but no key ever comes; this is
    // said once per process on standard error.
    explicit SystemKeyboard(const KeySourceFactory& factory);
    ~SystemKeyboard() override;

    void SetCommonDataFormat(int32_t format) override;
    void SetCooperativeLevel(uintptr_t window, int32_t lFlags) override;
    void SetEventNotification(int32_t eventid) override;
    void SetProperty(const QString& guid, const DIPROPLONG& prop) override;
    void Acquire() override;
    void Unacquire() override;
    void GetDeviceStateKeyboard(DIKEYBOARDSTATE& state) override;
    int32_t GetDeviceData(DIDEVICEOBJECTDATA* events, int32_t capacity, int32_t lFlags) override;

    // Whether keys can come at all.
    bool hasKeySource() const { return source_ != nullptr; }
    // Whether the last GetDeviceData found that events had been lost to a full buffer
    // (DirectInput's DI_BUFFEROVERFLOW).
    bool lastReadOverflowed() const;

private:
    void onKey(int16_t dik, bool down, uint32_t timeMs);
    void markLost();

    mutable std::mutex mutex_;
    bool formatSet_ = false;
    int32_t cooperativeFlags_ = DISCL_NONEXCLUSIVE | DISCL_BACKGROUND;
    uintptr_t window_ = 0;
    int32_t eventId_ = 0;
    bool acquired_ = false;
    KeyEventBuffer buffer_;
    int32_t sequence_ = 0;
    bool lastReadOverflowed_ = false;
    // Last: it calls onKey, so everything above exists before it starts and after it stops.
    std::unique_ptr<KeySource> source_;
};

// The DirectInput 8 object: creates system keyboard devices.
class DirectInputObject : public DirectInput8 {
public:
    explicit DirectInputObject(KeySourceFactory factory);
    std::shared_ptr<DirectInputDevice8> CreateDevice(const QString& guid) override;

private:
    KeySourceFactory factory_;
};

// The factory of the real thing: the X11 reader on the display named by DISPLAY.
KeySourceFactory x11KeySourceFactory();

}  // namespace dx8
