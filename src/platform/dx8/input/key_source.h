#pragma once

// Where the system keyboard device gets its keys from. The X11 reader is the one used; tests put
// a scripted one in its place.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace dx8 {

class KeySource {
public:
    // A key went down or up: its DirectInput code (never 0) and a time stamp in ms. May run on
    // any thread. A key reports down once until it is up again (no auto-repeat).
    using Sink = std::function<void(int16_t dik, bool down, uint32_t timeMs)>;

    virtual ~KeySource() = default;
    // The keys down now, one byte per DirectInput code, 0x80 = down. False when the source can
    // no longer be asked.
    virtual bool keyState(std::array<uint8_t, 256>& state) = 0;
    // True when the input focus is on `window` or a window inside it.
    virtual bool focusWithin(uint32_t window) = 0;
    // The source broke down (its X server went away); no more keys will come.
    virtual bool lost() const = 0;
    // Hands every key event that happened before this call to the sink now, so that what comes
    // later is known to be later (acquiring must not buffer keys typed before it).
    virtual void catchUp() {}
};

// Builds a source that feeds `sink`, or returns null with the reason in *why.
using KeySourceFactory =
    std::function<std::unique_ptr<KeySource>(KeySource::Sink sink, std::string* why)>;

}  // namespace dx8
