#pragma once

// The system keyboard as the X server sees it, read in the background: XInput 2 raw key events
// (delivered whichever window has the focus, also during grabs), and the server's keymap for the
// keys down now. It has two X connections of its own: one for the events, read through a socket
// notifier by the event loop of the thread that opened it (the GUI thread: no thread hop between
// the key and its notification), and one for queries from any thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/dx8/input/key_source.h"

class QSocketNotifier;
struct xcb_connection_t;

namespace dx8 {

class X11KeySource : public KeySource {
public:
    // The DirectInput code of an X key code, 0 for none. The keyboard device hands it in, so
    // that this backend needs nothing of the device's library.
    using KeyCodeMap = int16_t (*)(int xKeycode);

    // Connects to the display named by DISPLAY and starts reading; the sink runs on the calling
    // thread, from its event loop. Returns null, with the reason in *why, when there is no
    // display or it has no XInput 2.
    static std::unique_ptr<X11KeySource> open(Sink sink, KeyCodeMap dikOf, std::string* why);

    ~X11KeySource() override;
    X11KeySource(const X11KeySource&) = delete;
    X11KeySource& operator=(const X11KeySource&) = delete;

    // Keys come with the X server's time stamps; the state is the server's keymap.
    bool keyState(std::array<uint8_t, 256>& state) override;
    bool focusWithin(uint32_t window) override;
    bool lost() const override { return lost_.load(); }
    // A round trip on the event connection: the server sends every event before the reply.
    // Only on the opening thread; elsewhere it does nothing.
    void catchUp() override;

private:
    X11KeySource() = default;
    void readEvents();
    void handle(const void* event);

    Sink sink_;
    KeyCodeMap dikOf_ = nullptr;
    xcb_connection_t* events_ = nullptr;  // the opening thread only
    xcb_connection_t* queries_ = nullptr;
    uint32_t root_ = 0;
    uint8_t xiOpcode_ = 0;
    std::array<bool, 256> down_{};  // by X key code
    std::atomic<bool> lost_{false};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace dx8
