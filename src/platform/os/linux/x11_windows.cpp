#include "platform/os/linux/x11_windows.h"

#include <unistd.h>
#include <xcb/res.h>

#include <QLoggingCategory>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace orvel::os::linux_backend {

namespace {

Q_LOGGING_CATEGORY(lcWindows, "orvel.os", QtWarningMsg)

// A failed connection is tried again at most this often, so that a missing display costs
// nothing on the 50 ms tick.
constexpr auto kRetryInterval = std::chrono::seconds(1);
// Window trees are shallow; the bound only guards against a server that answers nonsense.
constexpr int kMaxTreeDepth = 64;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

Reply<xcb_get_property_reply_t> propertyReply(xcb_connection_t* c,
                                              xcb_get_property_cookie_t cookie) {
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, &error));
    std::free(error);
    return reply;
}

// The first 32-bit value of a property of the given type, if it holds one.
bool firstCardinal(const xcb_get_property_reply_t* reply, xcb_atom_t type, uint32_t* value) {
    if (reply == nullptr || reply->type != type || reply->format != 32 ||
        xcb_get_property_value_length(reply) < 4) {
        return false;
    }
    std::memcpy(value, xcb_get_property_value(reply), 4);
    return true;
}

std::vector<xcb_window_t> windowList(const xcb_get_property_reply_t* reply) {
    std::vector<xcb_window_t> list;
    if (reply == nullptr || reply->type != XCB_ATOM_WINDOW || reply->format != 32) {
        return list;
    }
    const int n = xcb_get_property_value_length(reply) / 4;
    list.resize(static_cast<size_t>(n));
    if (n > 0) {
        std::memcpy(list.data(), xcb_get_property_value(reply), static_cast<size_t>(n) * 4);
    }
    return list;
}

}  // namespace

X11Windows::X11Windows(QByteArray display) : display_(std::move(display)) {}

X11Windows::~X11Windows() {
    disconnect();
}

void X11Windows::disconnect() {
    if (conn_ != nullptr) {
        xcb_disconnect(conn_);
        conn_ = nullptr;
    }
    roots_.clear();
    forgetWindows();
}

void X11Windows::forgetWindows() {
    lookup_ = {};
    candidates_.clear();
    candidatesValid_ = false;
    titles_.clear();
}

bool X11Windows::connected() {
    if (conn_ != nullptr && xcb_connection_has_error(conn_) == 0) {
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (conn_ != nullptr) {
        qCDebug(lcWindows) << "X connection lost";
        disconnect();
        nextAttempt_ = now;
    }
    if (now < nextAttempt_) {
        return false;
    }
    nextAttempt_ = now + kRetryInterval;

    QByteArray name = display_;
    if (name.isEmpty()) {
        name = qgetenv("DISPLAY");
        if (name.isEmpty()) {
            return false;
        }
    }
    int screen = 0;
    xcb_connection_t* c = xcb_connect(name.constData(), &screen);
    if (xcb_connection_has_error(c) != 0) {
        qCDebug(lcWindows) << "cannot open X display" << name;
        xcb_disconnect(c);
        return false;
    }
    conn_ = c;
    screen_ = screen;

    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem > 0; xcb_screen_next(&it)) {
        roots_.push_back(it.data->root);
    }
    if (screen_ < 0 || screen_ >= static_cast<int>(roots_.size())) {
        screen_ = 0;
    }
    // Top-level windows coming, going, restacking, and the window manager's lists changing
    // all tell us that a remembered lookup may no longer hold.
    for (xcb_window_t root : roots_) {
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    }

    // Intern every atom in one round trip.
    const char* names[] = {"_NET_CLIENT_LIST",   "_NET_SUPPORTING_WM_CHECK",
                           "_NET_WM_NAME",       "UTF8_STRING",
                           "COMPOUND_TEXT",      "_NET_WM_PID",
                           "_NET_ACTIVE_WINDOW", "WM_STATE"};
    xcb_atom_t* targets[] = {&atoms_.netClientList,   &atoms_.netSupportingWmCheck,
                             &atoms_.netWmName,       &atoms_.utf8String,
                             &atoms_.compoundText,    &atoms_.netWmPid,
                             &atoms_.netActiveWindow, &atoms_.wmState};
    xcb_intern_atom_cookie_t cookies[std::size(names)];
    for (size_t i = 0; i < std::size(names); ++i) {
        cookies[i] = xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(names[i])), names[i]);
    }
    const xcb_query_extension_reply_t* res = xcb_get_extension_data(c, &xcb_res_id);
    haveRes_ = res != nullptr && res->present != 0;
    xcb_res_query_version_cookie_t versionCookie{};
    if (haveRes_) {
        versionCookie = xcb_res_query_version(c, 1, 2);
    }
    for (size_t i = 0; i < std::size(names); ++i) {
        xcb_generic_error_t* error = nullptr;
        Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], &error));
        std::free(error);
        *targets[i] = reply ? reply->atom : XCB_NONE;
    }
    if (haveRes_) {
        xcb_generic_error_t* error = nullptr;
        Reply<xcb_res_query_version_reply_t> reply(
            xcb_res_query_version_reply(c, versionCookie, &error));
        haveRes_ = reply != nullptr && (reply->server_major > 1 ||
                                        (reply->server_major == 1 && reply->server_minor >= 2));
        std::free(error);
    }

    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) {
        hostName_ = QByteArray(host);
    }
    return xcb_connection_has_error(c) == 0;
}

bool X11Windows::windowManagerAlive(xcb_window_t checkWindow) {
    // A running window manager names a window of its own on the root, and that window names
    // itself; a manager that has gone leaves a name that no longer holds.
    if (checkWindow == XCB_NONE) {
        return false;
    }
    watch(checkWindow);
    auto reply =
        propertyReply(conn_, xcb_get_property(conn_, 0, checkWindow, atoms_.netSupportingWmCheck,
                                              XCB_ATOM_WINDOW, 0, 1));
    uint32_t self = 0;
    return firstCardinal(reply.get(), XCB_ATOM_WINDOW, &self) && self == checkWindow;
}

std::vector<X11Windows::TopLevels> X11Windows::topLevels() {
    std::vector<TopLevels> result(roots_.size());
    std::vector<xcb_get_property_cookie_t> listCookies, checkCookies;
    std::vector<xcb_query_tree_cookie_t> treeCookies;
    for (xcb_window_t root : roots_) {
        listCookies.push_back(
            xcb_get_property(conn_, 0, root, atoms_.netClientList, XCB_ATOM_WINDOW, 0, 1 << 16));
        checkCookies.push_back(
            xcb_get_property(conn_, 0, root, atoms_.netSupportingWmCheck, XCB_ATOM_WINDOW, 0, 1));
        treeCookies.push_back(xcb_query_tree(conn_, root));
    }
    for (size_t i = 0; i < roots_.size(); ++i) {
        auto list = propertyReply(conn_, listCookies[i]);
        auto check = propertyReply(conn_, checkCookies[i]);
        xcb_generic_error_t* error = nullptr;
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(conn_, treeCookies[i], &error));
        std::free(error);

        uint32_t checkWindow = XCB_NONE;
        firstCardinal(check.get(), XCB_ATOM_WINDOW, &checkWindow);
        if (list && list->type == XCB_ATOM_WINDOW && windowManagerAlive(checkWindow)) {
            result[i].windows = windowList(list.get());
        } else if (tree) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            result[i].windows = clientWindows(std::vector<xcb_window_t>(
                children, children + xcb_query_tree_children_length(tree.get())));
        }
    }
    return result;
}

bool X11Windows::windowHasState(xcb_get_property_cookie_t cookie) {
    auto reply = propertyReply(conn_, cookie);
    return reply != nullptr && reply->type != XCB_NONE;
}

std::vector<xcb_window_t> X11Windows::clientWindows(const std::vector<xcb_window_t>& topLevels) {
    // As ICCCM has a client window found: the top-level window itself when it carries WM_STATE,
    // else the windows nearest under it that do (a reparenting manager's frame holds its client
    // a level or two down). A top-level window with none stands for itself, as where no manager
    // runs. One round trip per level of the trees, for all of them at once.
    struct Node {
        xcb_window_t window;
        size_t top;
    };
    std::vector<std::vector<xcb_window_t>> clients(topLevels.size());
    std::vector<Node> level;
    for (size_t i = 0; i < topLevels.size(); ++i) {
        level.push_back({topLevels[i], i});
    }
    for (int depth = 0; depth < kMaxTreeDepth && !level.empty(); ++depth) {
        std::vector<xcb_get_property_cookie_t> states;
        std::vector<xcb_query_tree_cookie_t> trees;
        for (const Node& n : level) {
            states.push_back(xcb_get_property(conn_, 0, n.window, atoms_.wmState,
                                              XCB_GET_PROPERTY_TYPE_ANY, 0, 0));
            trees.push_back(xcb_query_tree(conn_, n.window));
        }
        std::vector<Node> next;
        for (size_t k = 0; k < level.size(); ++k) {
            const bool client = windowHasState(states[k]);
            xcb_generic_error_t* error = nullptr;
            Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(conn_, trees[k], &error));
            std::free(error);
            if (client) {
                clients[level[k].top].push_back(level[k].window);
                continue;
            }
            // A client may yet be put into this window, or get its WM_STATE: both are news.
            watch(level[k].window, true);
            if (tree) {
                const xcb_window_t* children = xcb_query_tree_children(tree.get());
                for (int c = 0; c < xcb_query_tree_children_length(tree.get()); ++c) {
                    next.push_back({children[c], level[k].top});
                }
            }
        }
        // Below a client found at this level nothing more is searched.
        std::erase_if(next, [&](const Node& n) { return !clients[n.top].empty(); });
        level = std::move(next);
    }
    std::vector<xcb_window_t> result;
    for (size_t i = 0; i < topLevels.size(); ++i) {
        if (clients[i].empty()) {
            result.push_back(topLevels[i]);
        } else {
            result.insert(result.end(), clients[i].begin(), clients[i].end());
        }
    }
    return result;
}

void X11Windows::watch(xcb_window_t window, bool subwindows) {
    // Unchecked: a window that has gone already answers with an error, which lands among the
    // events and so only makes the next lookup a full one.
    uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    if (subwindows) {
        mask |= XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    }
    xcb_change_window_attributes(conn_, window, XCB_CW_EVENT_MASK, &mask);
}

bool X11Windows::take(const xcb_generic_event_t* event) {
    switch (event->response_type & 0x7F) {
        case 0:  // an error: a window looked at has gone, which one is not worth working out
            forgetWindows();
            return true;
        case XCB_DESTROY_NOTIFY:
            // Its id may be handed to a new window.
            titles_.erase(reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window);
            candidatesValid_ = false;
            return true;
        case XCB_CREATE_NOTIFY:
        case XCB_REPARENT_NOTIFY:
        case XCB_MAP_NOTIFY:
        case XCB_UNMAP_NOTIFY:
        case XCB_CONFIGURE_NOTIFY:  // the stacking may have changed
        case XCB_CIRCULATE_NOTIFY:
            candidatesValid_ = false;
            return true;
        case XCB_PROPERTY_NOTIFY: {
            // Only the properties a lookup reads; a window's other properties change often.
            const auto* e = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (e->atom == XCB_ATOM_WM_NAME || e->atom == atoms_.netWmName) {
                titles_.erase(e->window);
                return true;
            }
            if (e->atom == atoms_.netClientList || e->atom == atoms_.netSupportingWmCheck ||
                e->atom == atoms_.wmState) {
                candidatesValid_ = false;
                return true;
            }
            return e->atom == atoms_.netWmPid;  // the owner a caller asked about may have changed
        }
        default:
            return false;
    }
}

bool X11Windows::drainQueued() {
    bool news = false;
    while (xcb_generic_event_t* event = xcb_poll_for_queued_event(conn_)) {
        news = take(event) || news;
        std::free(event);
    }
    return news;
}

int X11Windows::newsHandle() {
    if (!connected()) {
        return -1;
    }
    // What a reply brought in along with it waits in the queue, where the descriptor cannot
    // tell of it.
    if (drainQueued()) {
        lookup_.valid = false;
        return -1;
    }
    // The watches asked for must reach the server before anyone waits on their news.
    xcb_flush(conn_);
    return xcb_connection_has_error(conn_) == 0 ? xcb_get_file_descriptor(conn_) : -1;
}

bool X11Windows::takeNews() {
    if (conn_ == nullptr) {
        return true;
    }
    bool news = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(conn_)) {
        news = take(event) || news;
        std::free(event);
    }
    if (xcb_connection_has_error(conn_) != 0) {
        forgetWindows();
        return true;
    }
    if (news) {
        lookup_.valid = false;
    }
    return news;
}

uint32_t X11Windows::findByTitle(const QString& title) {
    const std::vector<uint32_t> all = findAllByTitle(title);
    return all.empty() ? 0 : all.front();
}

std::vector<uint32_t> X11Windows::findAllByTitle(const QString& title) {
    if (!connected()) {
        return {};
    }
    // Anything the server did before this reply, to any window we looked at, reaches us as an
    // event ahead of it; with no event since the last lookup its answer still holds.
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), &error));
    std::free(error);
    // Reading the reply took in every event sent before it; later ones wait for the next call.
    const bool changed = drainQueued() || sync == nullptr;
    if (sync == nullptr) {
        forgetWindows();
    }
    if (!changed && lookup_.valid && lookup_.title == title) {
        return lookup_.windows;
    }
    std::vector<uint32_t> found = lookUp(title);
    lookup_ = {title, found, xcb_connection_has_error(conn_) == 0};
    return found;
}

std::vector<uint32_t> X11Windows::lookUp(const QString& title) {
    // A title longer than this many bytes cannot equal the wanted one in any encoding or case,
    // so no more of any title is fetched.
    const qsizetype codePoints = title.toUcs4().size();
    const uint32_t longs = static_cast<uint32_t>((codePoints * 4 + 3) / 4 + 1);
    if (titlesFor_ != title) {
        titles_.clear();
        titlesFor_ = title;
    }
    if (!candidatesValid_) {
        candidates_.clear();
        for (const TopLevels& level : topLevels()) {
            candidates_.insert(candidates_.end(), level.windows.begin(), level.windows.end());
        }
        candidatesValid_ = true;
        // Titles of windows no longer listed are not kept.
        std::erase_if(titles_, [&](const auto& entry) {
            return std::find(candidates_.begin(), candidates_.end(), entry.first) ==
                   candidates_.end();
        });
    }

    // The titles not kept are read, all requests out before the first reply is read; each
    // window is watched from before its title is read.
    std::vector<xcb_window_t> unread;
    for (xcb_window_t w : candidates_) {
        if (!titles_.contains(w)) {
            unread.push_back(w);
        }
    }
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(unread.size());
    for (xcb_window_t w : unread) {
        watch(w);
        cookies.push_back(
            xcb_get_property(conn_, 0, w, atoms_.netWmName, atoms_.utf8String, 0, longs));
    }
    std::vector<xcb_window_t> lacking;
    for (size_t i = 0; i < unread.size(); ++i) {
        auto reply = propertyReply(conn_, cookies[i]);
        if (!reply) {
            continue;  // the window has gone
        }
        if (reply->type != atoms_.utf8String || reply->format != 8) {
            lacking.push_back(unread[i]);  // no usable _NET_WM_NAME: WM_NAME next
            continue;
        }
        Title& t = titles_[unread[i]];
        if (reply->bytes_after == 0) {
            t = {QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply.get())),
                                   xcb_get_property_value_length(reply.get())),
                 true};
        }
    }

    cookies.clear();
    for (xcb_window_t w : lacking) {
        cookies.push_back(
            xcb_get_property(conn_, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, longs));
    }
    for (size_t k = 0; k < lacking.size(); ++k) {
        auto reply = propertyReply(conn_, cookies[k]);
        if (!reply) {
            continue;
        }
        Title& t = titles_[lacking[k]];
        if (reply->format != 8 || reply->bytes_after != 0) {
            continue;
        }
        const char* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
        const int length = xcb_get_property_value_length(reply.get());
        if (reply->type == XCB_ATOM_STRING) {
            t = {QString::fromLatin1(data, length), true};
        } else if (reply->type == atoms_.utf8String) {
            t = {QString::fromUtf8(data, length), true};
        } else if (reply->type == atoms_.compoundText &&
                   std::memchr(data, 0x1B, static_cast<size_t>(length)) == nullptr) {
            // Compound text without escape sequences is plain Latin-1.
            t = {QString::fromLatin1(data, length), true};
        }
    }

    std::vector<uint32_t> found;
    for (size_t i = candidates_.size(); i-- > 0;) {
        const auto it = titles_.find(candidates_[i]);
        if (it != titles_.end() && it->second.known &&
            it->second.text.compare(title, Qt::CaseInsensitive) == 0) {
            found.push_back(candidates_[i]);
        }
    }
    return found;
}

uint32_t X11Windows::ownerProcessId(uint32_t window) {
    if (window == 0 || !connected()) {
        return 0;
    }
    auto pidCookie = xcb_get_property(conn_, 0, window, atoms_.netWmPid, XCB_ATOM_CARDINAL, 0, 1);
    auto machineCookie = xcb_get_property(conn_, 0, window, XCB_ATOM_WM_CLIENT_MACHINE,
                                          XCB_GET_PROPERTY_TYPE_ANY, 0, 64);
    xcb_res_query_client_ids_cookie_t resCookie{};
    if (haveRes_) {
        const xcb_res_client_id_spec_t query{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        resCookie = xcb_res_query_client_ids(conn_, 1, &query);
    }

    auto pidReply = propertyReply(conn_, pidCookie);
    auto machineReply = propertyReply(conn_, machineCookie);
    // No reply at all means no such window. The server's answer below would still name the
    // client that the id belonged to, so it must not be asked alone.
    const bool exists = pidReply != nullptr;
    uint32_t serverPid = 0;
    if (haveRes_) {
        xcb_generic_error_t* error = nullptr;
        Reply<xcb_res_query_client_ids_reply_t> reply(
            xcb_res_query_client_ids_reply(conn_, resCookie, &error));
        std::free(error);
        if (reply) {
            for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
                 xcb_res_client_id_value_next(&it)) {
                if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
                    xcb_res_client_id_value_value_length(it.data) >= 1) {
                    serverPid = *xcb_res_client_id_value_value(it.data);
                    break;
                }
            }
        }
    }

    // _NET_WM_PID is the client's own word and names a process on the client's machine; it is
    // only taken when that machine is this one (or unnamed). The X server's answer covers
    // local clients that do not set it.
    uint32_t clientPid = 0;
    if (firstCardinal(pidReply.get(), XCB_ATOM_CARDINAL, &clientPid) && clientPid != 0) {
        bool local = true;
        if (machineReply && machineReply->type != XCB_NONE && machineReply->format == 8 &&
            !hostName_.isEmpty()) {
            const QByteArray machine(
                static_cast<const char*>(xcb_get_property_value(machineReply.get())),
                xcb_get_property_value_length(machineReply.get()));
            local = machine == hostName_ || machine == "localhost";
        }
        if (local) {
            return clientPid;
        }
    }
    return exists ? serverPid : 0;
}

uint32_t X11Windows::foreground() {
    if (!connected()) {
        return 0;
    }
    const xcb_window_t root = roots_[static_cast<size_t>(screen_)];
    auto activeCookie =
        xcb_get_property(conn_, 0, root, atoms_.netActiveWindow, XCB_ATOM_WINDOW, 0, 1);
    auto checkCookie =
        xcb_get_property(conn_, 0, root, atoms_.netSupportingWmCheck, XCB_ATOM_WINDOW, 0, 1);
    auto focusCookie = xcb_get_input_focus(conn_);
    auto active = propertyReply(conn_, activeCookie);
    auto check = propertyReply(conn_, checkCookie);
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(conn_, focusCookie, &error));
    std::free(error);

    uint32_t checkWindow = XCB_NONE;
    uint32_t activeWindow = XCB_NONE;
    firstCardinal(check.get(), XCB_ATOM_WINDOW, &checkWindow);
    if (firstCardinal(active.get(), XCB_ATOM_WINDOW, &activeWindow) &&
        windowManagerAlive(checkWindow)) {
        return activeWindow;
    }

    // No window manager to ask: the input focus, raised to its client window (the one with
    // WM_STATE, inside any frame), else to its top-level window.
    if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT) {
        return 0;
    }
    xcb_window_t w = focus->focus;
    for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
        if (std::find(roots_.begin(), roots_.end(), w) != roots_.end()) {
            return 0;  // the focus is on a root window itself
        }
        const auto stateCookie =
            xcb_get_property(conn_, 0, w, atoms_.wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 0);
        const auto treeCookie = xcb_query_tree(conn_, w);
        const bool client = windowHasState(stateCookie);
        error = nullptr;
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(conn_, treeCookie, &error));
        std::free(error);
        if (!tree) {
            return 0;
        }
        if (client || tree->parent == tree->root || tree->parent == XCB_NONE) {
            return w;
        }
        w = tree->parent;
    }
    return 0;
}

}  // namespace orvel::os::linux_backend
