#pragma once

// An X display that is a real X server without the XInput extension: a relay on a display
// socket of its own that passes every request to the real server, except that it asks for an
// extension of another name whenever a client asks about "XInputExtension", so the server
// answers that it has none.

#include <atomic>
#include <string>
#include <thread>

class XInputHidingProxy {
public:
    // Relays to the X server of display number `serverDisplay` (its local socket).
    explicit XInputHidingProxy(int serverDisplay);
    ~XInputHidingProxy();
    XInputHidingProxy(const XInputHidingProxy&) = delete;
    XInputHidingProxy& operator=(const XInputHidingProxy&) = delete;

    bool ok() const { return listenFd_ >= 0; }
    // ":NNN"
    std::string displayName() const { return ":" + std::to_string(number_); }

private:
    void run();

    std::string serverPath_;
    std::string socketPath_;
    int number_ = -1;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread relay_;
};
