#pragma once

// Top-level windows of an X11 display, reached through xcb: lookup by title, owner process and
// foreground window. A title lookup keeps the list of client windows and the titles it read, and
// follows the server's reports of changes to them (one round trip to make sure none is pending):
// a retitled window is read again alone, and the list is read again only when windows come, go
// or move. The same reports tell a caller that waits for a window when to look again.

#include <xcb/xcb.h>

#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

namespace orvel::os::linux_backend {

class X11Windows {
public:
    // display: an X display name such as ":3"; empty = $DISPLAY (no $DISPLAY = no windows).
    explicit X11Windows(QByteArray display = {});
    ~X11Windows();
    X11Windows(const X11Windows&) = delete;
    X11Windows& operator=(const X11Windows&) = delete;

    // A top-level window whose whole title equals title without regard to case; 0 if none.
    // Where several match, the one highest in the stacking (or most recently managed) wins.
    uint32_t findByTitle(const QString& title);
    // Every top-level window of that title, highest in the stacking first.
    std::vector<uint32_t> findAllByTitle(const QString& title);
    uint32_t ownerProcessId(uint32_t window);
    uint32_t foreground();

    // The connection's descriptor, to wait on until the server reports a change that may alter
    // a lookup; -1 when there is no connection or such a change is already in (look now).
    int newsHandle();
    // Takes in what the server sent; true when it may alter a lookup.
    bool takeNews();

private:
    struct Atoms {
        xcb_atom_t netClientList = XCB_NONE;
        xcb_atom_t netSupportingWmCheck = XCB_NONE;
        xcb_atom_t netWmName = XCB_NONE;
        xcb_atom_t utf8String = XCB_NONE;
        xcb_atom_t compoundText = XCB_NONE;
        xcb_atom_t netWmPid = XCB_NONE;
        xcb_atom_t netActiveWindow = XCB_NONE;
        xcb_atom_t wmState = XCB_NONE;
    };
    // Per root: the top-level windows to look at, bottom to top (or oldest to newest): the
    // window manager's clients where one lists them, else the clients found under the root's
    // children.
    struct TopLevels {
        std::vector<xcb_window_t> windows;
    };

    bool connected();
    void disconnect();
    std::vector<TopLevels> topLevels();
    bool windowManagerAlive(xcb_window_t checkWindow);
    std::vector<uint32_t> lookUp(const QString& title);
    std::vector<xcb_window_t> clientWindows(const std::vector<xcb_window_t>& topLevels);
    bool windowHasState(xcb_get_property_cookie_t cookie);
    void watch(xcb_window_t window, bool subwindows = false);
    // Takes one event into the kept list and titles; true when it may alter a lookup.
    bool take(const xcb_generic_event_t* event);
    bool drainQueued();
    void forgetWindows();

    QByteArray display_;
    xcb_connection_t* conn_ = nullptr;
    int screen_ = 0;
    std::vector<xcb_window_t> roots_;
    Atoms atoms_;
    bool haveRes_ = false;
    QByteArray hostName_;
    std::chrono::steady_clock::time_point nextAttempt_{};
    // The client windows to look at, in stacking order, while nothing has come, gone or moved;
    // and the titles read from them, each while its window reports no new one. Titles are read
    // only as far as the sought title could match, so they are kept for that title only.
    std::vector<xcb_window_t> candidates_;
    bool candidatesValid_ = false;
    struct Title {
        QString text;
        bool known = false;  // false: none, or too long to equal the sought title
    };
    std::map<xcb_window_t, Title> titles_;
    QString titlesFor_;
    // The last title lookup, good until an event arrives.
    struct Lookup {
        QString title;
        std::vector<uint32_t> windows;
        bool valid = false;
    };
    Lookup lookup_;
};

}  // namespace orvel::os::linux_backend
