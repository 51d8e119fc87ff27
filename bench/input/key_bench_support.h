#pragma once

// What the key-latency benchmarks share: fake key presses through XTEST, the bare raw-event
// reader that serves as their baseline, percentiles, and a wait that sleeps in the event loop as
// the program's GUI thread does. Include it after every Qt header: it brings in Xlib.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

// Xlib last: its macros (Bool, Status, ...) clash with Qt's headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

namespace keybench {

using Clock = std::chrono::steady_clock;

// Key codes of an evdev X server (Xvfb's default).
constexpr unsigned kKeycodeA = 38;
constexpr unsigned kKeycodeT = 28;
constexpr unsigned kKeycodeBackSpace = 22;
constexpr int kTimeoutMs = 5000;

inline double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

inline void fakeKey(Display* dpy, unsigned keycode, bool down) {
    XTestFakeKeyEvent(dpy, keycode, down ? True : False, CurrentTime);
    XFlush(dpy);
}

// The baseline reader: raw key presses on the root window of a connection of its own.
class BareRawReader {
public:
    bool open() {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_)) {
            return false;
        }
        const auto* ext = xcb_get_extension_data(c_, &xcb_input_id);
        if (ext == nullptr || !ext->present) {
            return false;
        }
        opcode_ = ext->major_opcode;
        free(xcb_input_xi_query_version_reply(c_, xcb_input_xi_query_version(c_, 2, 2), nullptr));
        struct {
            xcb_input_event_mask_t head;
            uint32_t bits;
        } mask{};
        mask.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
        mask.head.mask_len = 1;
        mask.bits = XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE;
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        xcb_generic_error_t* e =
            xcb_request_check(c_, xcb_input_xi_select_events_checked(c_, root, 1, &mask.head));
        free(e);
        return e == nullptr;
    }
    ~BareRawReader() {
        if (c_ != nullptr) {
            xcb_disconnect(c_);
        }
    }
    // Waits for the next raw event of the given kind.
    bool wait(bool press) {
        const uint16_t want = press ? XCB_INPUT_RAW_KEY_PRESS : XCB_INPUT_RAW_KEY_RELEASE;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
        while (Clock::now() < deadline) {
            while (xcb_generic_event_t* ev = xcb_poll_for_event(c_)) {
                const auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(ev);
                const bool hit = (ev->response_type & 0x7F) == XCB_GE_GENERIC &&
                                 ge->extension == opcode_ && ge->event_type == want;
                free(ev);
                if (hit) {
                    return true;
                }
            }
            pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
            poll(&p, 1, 100);
        }
        return false;
    }

private:
    xcb_connection_t* c_ = nullptr;
    uint8_t opcode_ = 0;
};

// Sleeps in the event loop until done() holds. (The processEvents overload with a time limit
// never sleeps: it would spin and steal the CPU the X server needs.)
template <class Done>
bool pumpUntil(Done done, int timeoutMs = kTimeoutMs) {
    QElapsedTimer t;
    t.start();
    QTimer tick;  // wakes the loop now and then to look at the time
    tick.start(100);
    while (!done()) {
        if (t.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace keybench
