#include "platform/dx8/input/keyboard_device.h"

#include <QLoggingCategory>
#include <algorithm>
#include <atomic>
#include <cstdio>

#include "platform/dx8/directx8.h"
#include "platform/dx8/input/key_codes.h"
#include "platform/os/linux/x11_key_source.h"

Q_DECLARE_LOGGING_CATEGORY(lcKeys)

namespace dx8 {

namespace {

void sayChatOffOnce(const std::string& why) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
        std::fprintf(stderr, "in-game chat is off: %s\n", why.c_str());
        std::fflush(stderr);
    }
}

}  // namespace

HRESULT keyboardCooperativeLevelError(uintptr_t window, int32_t flags) {
    constexpr int32_t known =
        DISCL_EXCLUSIVE | DISCL_NONEXCLUSIVE | DISCL_FOREGROUND | DISCL_BACKGROUND | DISCL_NOWINKEY;
    if ((flags & ~known) != 0) {
        return DIERR_INVALIDPARAM;
    }
    const bool exclusive = flags & DISCL_EXCLUSIVE;
    const bool foreground = flags & DISCL_FOREGROUND;
    if (exclusive == bool(flags & DISCL_NONEXCLUSIVE) ||
        foreground == bool(flags & DISCL_BACKGROUND)) {
        return DIERR_INVALIDPARAM;
    }
    if (exclusive && (flags & DISCL_NOWINKEY)) {
        return DIERR_INVALIDPARAM;
    }
    if (exclusive && !foreground) {
        return DIERR_UNSUPPORTED;
    }
    if (foreground && window == 0) {
        return DIERR_INVALIDPARAM;
    }
    return DI_OK;
}

// ---- KeyEventBuffer --------------------------------------------------------------------------

void KeyEventBuffer::setCapacity(int32_t capacity) {
    capacity_ = std::clamp(capacity, 0, kMaxKeyBufferSize);
    clear();
}

bool KeyEventBuffer::push(const DIDEVICEOBJECTDATA& event) {
    if (size() >= capacity_) {
        overflowed_ = true;
        return false;
    }
    events_.push_back(event);
    return true;
}

int32_t KeyEventBuffer::take(DIDEVICEOBJECTDATA* out, int32_t count, bool peek) {
    const int32_t n = std::min(std::max(count, 0), size());
    if (out != nullptr) {
        std::copy_n(events_.begin(), n, out);
    }
    if (!peek) {
        events_.erase(events_.begin(), events_.begin() + n);
        overflowed_ = false;
    }
    return n;
}

void KeyEventBuffer::clear() {
    events_.clear();
    overflowed_ = false;
}

// ---- SystemKeyboard --------------------------------------------------------------------------

SystemKeyboard::SystemKeyboard(const KeySourceFactory& factory) {
    std::string why;
    source_ = factory([this](int16_t dik, bool down, uint32_t timeMs) { onKey(dik, down, timeMs); },
                      &why);
    if (!source_) {
        sayChatOffOnce(why.empty() ? std::string("no keyboard source") : why);
    }
}

SystemKeyboard::~SystemKeyboard() {
    // No key may come in while the state it writes to goes.
    source_.reset();
}

void SystemKeyboard::SetCommonDataFormat(int32_t format) {
    std::lock_guard lock(mutex_);
    if (acquired_) {
        raise(DIERR_ACQUIRED, "SetCommonDataFormat: the device is acquired");
    }
    if (format != DIFORMAT_KEYBOARD) {
        raise(DIERR_INVALIDPARAM, "SetCommonDataFormat: not the keyboard format");
    }
    formatSet_ = true;
}

void SystemKeyboard::SetCooperativeLevel(uintptr_t window, int32_t lFlags) {
    std::lock_guard lock(mutex_);
    if (acquired_) {
        raise(DIERR_ACQUIRED, "SetCooperativeLevel: the device is acquired");
    }
    const HRESULT error = keyboardCooperativeLevelError(window, lFlags);
    if (error != DI_OK) {
        raise(error, "SetCooperativeLevel: flags not valid for a keyboard");
    }
    cooperativeFlags_ = lFlags;
    window_ = window;
}

void SystemKeyboard::SetEventNotification(int32_t eventid) {
    std::lock_guard lock(mutex_);
    if (acquired_) {
        raise(DIERR_ACQUIRED, "SetEventNotification: the device is acquired");
    }
    eventId_ = eventid;
}

void SystemKeyboard::SetProperty(const QString& guid, const DIPROPLONG& prop) {
    if (guid.compare(DIPROP_BUFFERSIZE, Qt::CaseInsensitive) != 0) {
        raise(DIERR_UNSUPPORTED, "SetProperty: unknown property");
    }
    std::lock_guard lock(mutex_);
    if (acquired_) {
        raise(DIERR_ACQUIRED, "SetProperty: the device is acquired");
    }
    // The buffer belongs to the whole device, never to one key.
    if (prop.lHow != DIPH_DEVICE || prop.lObj != 0 || prop.lData < 0) {
        raise(DIERR_INVALIDPARAM, "SetProperty: buffer size must name the device");
    }
    buffer_.setCapacity(prop.lData);
}

void SystemKeyboard::Acquire() {
    // Keys typed before this moment are handed over first, while still unacquired, so they stay
    // out of the buffer. Outside the lock: they come back through onKey.
    if (source_) {
        source_->catchUp();
    }
    std::lock_guard lock(mutex_);
    if (!formatSet_) {
        raise(DIERR_INVALIDPARAM, "Acquire: no data format set");
    }
    if (source_ && source_->lost()) {
        raise(DIERR_INPUTLOST, "Acquire: the keyboard is gone");
    }
    if (!acquired_) {
        acquired_ = true;
        buffer_.clear();
    }
}

void SystemKeyboard::Unacquire() {
    std::lock_guard lock(mutex_);
    acquired_ = false;
    buffer_.clear();
}

void SystemKeyboard::markLost() {
    std::lock_guard lock(mutex_);
    acquired_ = false;
    buffer_.clear();
}

void SystemKeyboard::GetDeviceStateKeyboard(DIKEYBOARDSTATE& state) {
    int32_t flags;
    uintptr_t window;
    {
        std::lock_guard lock(mutex_);
        if (!acquired_) {
            raise(DIERR_NOTACQUIRED, "GetDeviceStateKeyboard: not acquired");
        }
        flags = cooperativeFlags_;
        window = window_;
    }
    DIKEYBOARDSTATE now;
    if (source_) {
        if (!source_->keyState(now.key) || source_->lost()) {
            markLost();
            raise(DIERR_INPUTLOST, "GetDeviceStateKeyboard: the keyboard is gone");
        }
        // A foreground device sees no keys while its window is in the background.
        if ((flags & DISCL_FOREGROUND) && !source_->focusWithin(static_cast<uint32_t>(window))) {
            now.key.fill(0);
        }
    }
    state = now;
}

int32_t SystemKeyboard::GetDeviceData(DIDEVICEOBJECTDATA* events, int32_t capacity,
                                      int32_t lFlags) {
    if ((lFlags & ~DIGDD_PEEK) != 0 || capacity < 0) {
        raise(DIERR_INVALIDPARAM, "GetDeviceData: bad flags or count");
    }
    if (source_ && source_->lost()) {
        markLost();
        raise(DIERR_INPUTLOST, "GetDeviceData: the keyboard is gone");
    }
    std::lock_guard lock(mutex_);
    if (!acquired_) {
        raise(DIERR_NOTACQUIRED, "GetDeviceData: not acquired");
    }
    if (buffer_.capacity() == 0) {
        raise(DIERR_NOTBUFFERED, "GetDeviceData: no buffer size set");
    }
    lastReadOverflowed_ = buffer_.overflowed();
    return buffer_.take(events, capacity, (lFlags & DIGDD_PEEK) != 0);
}

bool SystemKeyboard::lastReadOverflowed() const {
    std::lock_guard lock(mutex_);
    return lastReadOverflowed_;
}

void SystemKeyboard::onKey(int16_t dik, bool down, uint32_t timeMs) {
    int32_t flags;
    uintptr_t window;
    {
        std::lock_guard lock(mutex_);
        if (!acquired_) {
            return;
        }
        flags = cooperativeFlags_;
        window = window_;
    }
    // Asked without the lock: it is a round trip to the X server.
    if ((flags & DISCL_FOREGROUND) && !source_->focusWithin(static_cast<uint32_t>(window))) {
        return;
    }
    int32_t eventid;
    {
        std::lock_guard lock(mutex_);
        if (!acquired_) {
            return;
        }
        DIDEVICEOBJECTDATA event;
        event.lOfs = static_cast<uint8_t>(dik);
        event.lData = down ? 0x80 : 0x00;
        event.lTimeStamp = static_cast<int32_t>(timeMs);
        event.lSequence = ++sequence_;
        if (!buffer_.push(event)) {
            qCDebug(lcKeys) << "key buffer full; key event lost";
        }
        eventid = eventId_;
    }
    // The state changed even when the buffer was full, so the owner is told either way.
    if (eventid != 0) {
        SignalEvent(eventid);
    }
}

// ---- DirectInputObject -------------------------------------------------------------------------

DirectInputObject::DirectInputObject(KeySourceFactory factory) : factory_(std::move(factory)) {}

std::shared_ptr<DirectInputDevice8> DirectInputObject::CreateDevice(const QString& guid) {
    if (guid.compare(GUID_SysKeyboard, Qt::CaseInsensitive) != 0 &&
        guid.compare(kSysKeyboardGuidValue, Qt::CaseInsensitive) != 0) {
        raise(DIERR_DEVICENOTREG, "CreateDevice: only the system keyboard is known");
    }
    return std::make_shared<SystemKeyboard>(factory_);
}

KeySourceFactory x11KeySourceFactory() {
    return [](KeySource::Sink sink, std::string* why) -> std::unique_ptr<KeySource> {
        return X11KeySource::open(std::move(sink), dikFromXKeycode, why);
    };
}

}  // namespace dx8
