#pragma once

// A test's own X connection: makes windows, sets properties, plays window manager.

#include <xcb/xcb.h>

#include <QByteArray>
#include <QString>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace orvel::testing {

class XClient {
public:
    explicit XClient(const QString& display) {
        c_ = xcb_connect(display.toLocal8Bit().constData(), nullptr);
        if (xcb_connection_has_error(c_) == 0) {
            screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        }
    }
    ~XClient() { xcb_disconnect(c_); }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    bool ok() const { return screen_ != nullptr; }
    xcb_window_t root() const { return screen_->root; }

    xcb_atom_t atom(const char* name) {
        auto* r = xcb_intern_atom_reply(
            c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = r != nullptr ? r->atom : XCB_NONE;
        std::free(r);
        return a;
    }

    // A window under parent (root by default) with an optional UTF-8 _NET_WM_NAME.
    xcb_window_t window(const QString& title = QString(), xcb_window_t parent = XCB_NONE,
                        bool map = true) {
        const xcb_window_t w = xcb_generate_id(c_);
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, parent != XCB_NONE ? parent : root(), 0, 0,
                          50, 50, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, 0,
                          nullptr);
        if (!title.isNull()) {
            setUtf8(w, "_NET_WM_NAME", title);
        }
        if (map) {
            xcb_map_window(c_, w);
        }
        sync();
        return w;
    }
    void setUtf8(xcb_window_t w, const char* property, const QString& text) {
        const QByteArray utf8 = text.toUtf8();
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, atom(property), atom("UTF8_STRING"), 8,
                            static_cast<uint32_t>(utf8.size()), utf8.constData());
        sync();
    }
    void setString(xcb_window_t w, xcb_atom_t property, const QByteArray& latin1) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, property, XCB_ATOM_STRING, 8,
                            static_cast<uint32_t>(latin1.size()), latin1.constData());
        sync();
    }
    void setCardinals(xcb_window_t w, const char* property, xcb_atom_t type,
                      const std::vector<uint32_t>& values) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, atom(property), type, 32,
                            static_cast<uint32_t>(values.size()), values.data());
        sync();
    }
    void deleteProperty(xcb_window_t w, const char* property) {
        xcb_delete_property(c_, w, atom(property));
        sync();
    }
    void reparent(xcb_window_t w, xcb_window_t parent) {
        xcb_reparent_window(c_, w, parent, 0, 0);
        sync();
    }
    void destroy(xcb_window_t w) {
        xcb_destroy_window(c_, w);
        sync();
    }
    void lower(xcb_window_t w) {
        const uint32_t below = XCB_STACK_MODE_BELOW;
        xcb_configure_window(c_, w, XCB_CONFIG_WINDOW_STACK_MODE, &below);
        sync();
    }
    void focus(xcb_window_t w) {
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_PARENT, w, XCB_CURRENT_TIME);
        sync();
    }
    // Waits until the server has handled everything sent so far.
    void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

private:
    xcb_connection_t* c_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
};

}  // namespace orvel::testing
