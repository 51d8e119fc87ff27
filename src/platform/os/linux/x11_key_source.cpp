#include "platform/os/linux/x11_key_source.h"

#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <QAbstractEventDispatcher>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QThread>
#include <cstdlib>

// Silent unless QT_LOGGING_RULES turns it on.
Q_LOGGING_CATEGORY(lcKeys, "orvel.input", QtCriticalMsg)

namespace dx8 {

namespace {

template <typename T>
struct FreeDeleter {
    void operator()(T* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

xcb_connection_t* connectDisplay(uint32_t* root, std::string* why) {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') {
        *why = "no X display (DISPLAY is not set)";
        return nullptr;
    }
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        *why = std::string("cannot open X display \"") + name + "\"";
        return nullptr;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem <= 0 || it.data == nullptr) {
        xcb_disconnect(c);
        *why = std::string("X display \"") + name + "\" has no such screen";
        return nullptr;
    }
    *root = it.data->root;
    return c;
}

}  // namespace

std::unique_ptr<X11KeySource> X11KeySource::open(Sink sink, KeyCodeMap dikOf, std::string* why) {
    if (QAbstractEventDispatcher::instance() == nullptr) {
        *why = "no event loop to read the keyboard on (the application object comes first)";
        return nullptr;
    }
    std::unique_ptr<X11KeySource> s(new X11KeySource);
    s->sink_ = std::move(sink);
    s->dikOf_ = dikOf;
    s->events_ = connectDisplay(&s->root_, why);
    if (s->events_ == nullptr) {
        return nullptr;
    }
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(s->events_, &xcb_input_id);
    if (ext == nullptr || !ext->present) {
        *why = "the X server has no XInput 2 extension";
        return nullptr;
    }
    s->xiOpcode_ = ext->major_opcode;
    // Announcing 2.2 makes the server send raw events even while another client holds a grab.
    Reply<xcb_input_xi_query_version_reply_t> version(xcb_input_xi_query_version_reply(
        s->events_, xcb_input_xi_query_version(s->events_, 2, 2), nullptr));
    if (!version || version->major_version < 2) {
        *why = "the X server has no XInput 2 extension";
        return nullptr;
    }
    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } mask{};
    mask.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
    mask.head.mask_len = 1;
    mask.bits = XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE;
    Reply<xcb_generic_error_t> error(xcb_request_check(
        s->events_, xcb_input_xi_select_events_checked(s->events_, s->root_, 1, &mask.head)));
    if (error) {
        *why = "the X server refused raw key events";
        return nullptr;
    }
    // Keys already down when reading starts: their release is reported, a press queued before
    // this query is not reported twice.
    Reply<xcb_query_keymap_reply_t> keymap(
        xcb_query_keymap_reply(s->events_, xcb_query_keymap(s->events_), nullptr));
    if (keymap) {
        for (int code = 0; code < 256; ++code) {
            s->down_[code] = (keymap->keys[code / 8] >> (code % 8)) & 1;
        }
    }
    uint32_t unusedRoot = 0;
    s->queries_ = connectDisplay(&unusedRoot, why);
    if (s->queries_ == nullptr) {
        return nullptr;
    }
    s->notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(s->events_),
                                                     QSocketNotifier::Read);
    QObject::connect(s->notifier_.get(), &QSocketNotifier::activated, s->notifier_.get(),
                     [raw = s.get()] { raw->readEvents(); });
    // Events that came with the replies above are already off the socket.
    s->readEvents();
    return s;
}

X11KeySource::~X11KeySource() {
    notifier_.reset();
    if (queries_ != nullptr) {
        xcb_disconnect(queries_);
    }
    if (events_ != nullptr) {
        xcb_disconnect(events_);
    }
}

void X11KeySource::readEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(events_)) {
        handle(event);
        std::free(event);
    }
    if (xcb_connection_has_error(events_) && !lost_) {
        qCWarning(lcKeys) << "lost the X connection; no more keys";
        lost_ = true;
        notifier_->setEnabled(false);
    }
}

void X11KeySource::catchUp() {
    if (lost_ || QThread::currentThread() != notifier_->thread()) {
        return;
    }
    std::free(xcb_get_input_focus_reply(events_, xcb_get_input_focus(events_), nullptr));
    readEvents();
}

void X11KeySource::handle(const void* raw) {
    const auto* event = static_cast<const xcb_generic_event_t*>(raw);
    if ((event->response_type & 0x7F) != XCB_GE_GENERIC) {
        return;
    }
    const auto* ge = static_cast<const xcb_ge_generic_event_t*>(raw);
    if (ge->extension != xiOpcode_ || (ge->event_type != XCB_INPUT_RAW_KEY_PRESS &&
                                       ge->event_type != XCB_INPUT_RAW_KEY_RELEASE)) {
        return;
    }
    const auto* key = static_cast<const xcb_input_raw_key_press_event_t*>(raw);
    const bool press = ge->event_type == XCB_INPUT_RAW_KEY_PRESS;
    const uint32_t code = key->detail;
    if (code > 255 || (key->flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT) != 0) {
        return;
    }
    if (down_[code] == press) {
        return;  // a repeat, or a release of a key whose press came before reading began
    }
    down_[code] = press;
    const int16_t dik = dikOf_(static_cast<int>(code));
    if (dik == 0) {
        return;
    }
    sink_(dik, press, key->time);
}

bool X11KeySource::keyState(std::array<uint8_t, 256>& state) {
    state.fill(0);
    Reply<xcb_query_keymap_reply_t> keymap(
        xcb_query_keymap_reply(queries_, xcb_query_keymap(queries_), nullptr));
    if (!keymap) {
        return false;
    }
    for (int code = 8; code < 256; ++code) {
        if ((keymap->keys[code / 8] >> (code % 8)) & 1) {
            const int16_t dik = dikOf_(code);
            if (dik != 0) {
                state[static_cast<uint8_t>(dik)] = 0x80;
            }
        }
    }
    return true;
}

bool X11KeySource::focusWithin(uint32_t window) {
    if (window == 0) {
        return false;
    }
    Reply<xcb_get_input_focus_reply_t> focus(
        xcb_get_input_focus_reply(queries_, xcb_get_input_focus(queries_), nullptr));
    if (!focus) {
        return false;
    }
    xcb_window_t w = focus->focus;
    // A bounded walk up the window tree: X trees are shallow, and a server that answers nonsense
    // must not keep us here.
    for (int depth = 0; depth < 64; ++depth) {
        if (w == window) {
            return true;
        }
        if (w == XCB_NONE || w == XCB_INPUT_FOCUS_POINTER_ROOT || w == root_) {
            return false;
        }
        Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(queries_, xcb_query_tree(queries_, w), nullptr));
        if (!tree) {
            return false;
        }
        w = tree->parent;
    }
    return false;
}

}  // namespace dx8
