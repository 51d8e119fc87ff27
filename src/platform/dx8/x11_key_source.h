#pragma once

// The system keyboard as the X server sees it, read in the background: XInput 2 raw key events
// (delivered whichever window has the focus, also during grabs) on a thread of its own, and the
// server's keymap for the keys down now. It has two X connections of its own: one that only its
// reader thread touches, and one for queries from any thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/dx8/key_source.h"

struct xcb_connection_t;

namespace dx8 {

class X11KeySource : public KeySource {
public:
    // Connects to the display named by DISPLAY and starts reading. Returns null, with the reason
    // in *why, when there is no display or it has no XInput 2.
    static std::unique_ptr<X11KeySource> open(Sink sink, std::string* why);

    ~X11KeySource() override;
    X11KeySource(const X11KeySource&) = delete;
    X11KeySource& operator=(const X11KeySource&) = delete;

    // Keys come with the X server's time stamps; the state is the server's keymap.
    bool keyState(std::array<uint8_t, 256>& state) override;
    bool focusWithin(uint32_t window) override;
    bool lost() const override { return lost_.load(); }

private:
    X11KeySource() = default;
    void run();
    void handle(const void* event);

    Sink sink_;
    xcb_connection_t* events_ = nullptr;  // reader thread only, once started
    xcb_connection_t* queries_ = nullptr;
    uint32_t root_ = 0;
    uint8_t xiOpcode_ = 0;
    int wakeFd_ = -1;
    std::array<bool, 256> down_{};  // by X key code; reader thread only
    std::atomic<bool> lost_{false};
    std::thread reader_;
};

}  // namespace dx8
