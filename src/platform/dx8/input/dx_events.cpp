#include "platform/dx8/input/dx_events.h"

#include <QCoreApplication>
#include <QThread>
#include <mutex>
#include <unordered_map>

#include "platform/dx8/input/directinput8.h"
#include "platform/dx8/serial_dispatcher.h"

namespace dx8::events {

namespace {

struct Entry {
    DirectXEvent8* callback = nullptr;
    bool set = false;  // signalled, its callback run not yet begun
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<int32_t, Entry> entries;
    int32_t nextId = 1;
    // Lives as long as the process: signals may come from reader threads up to the very end, and
    // a dispatcher destroyed under them would be a use after free.
    SerialDispatcher* dispatcher = nullptr;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

void deliver(int32_t eventid) {
    DirectXEvent8* callback = nullptr;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        const auto it = r.entries.find(eventid);
        if (it == r.entries.end()) {
            return;  // destroyed while queued
        }
        it->second.set = false;
        callback = it->second.callback;
    }
    callback->DirectXEvent8_DXCallback(eventid);
}

}  // namespace

int32_t create(DirectXEvent8* callback) {
    if (callback == nullptr) {
        raise(DIERR_INVALIDPARAM, "CreateEvent needs a callback");
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.dispatcher == nullptr) {
        r.dispatcher = new SerialDispatcher;
        QCoreApplication* app = QCoreApplication::instance();
        if (app != nullptr && app->thread() != r.dispatcher->thread()) {
            r.dispatcher->moveToThread(app->thread());
        }
    }
    if (r.entries.size() >= 0x7FFFFFF0u) {
        raise(E_OUTOFMEMORY, "too many DirectX events");
    }
    int32_t id = r.nextId;
    while (id == 0 || r.entries.contains(id)) {
        id = id == INT32_MAX ? 1 : id + 1;
    }
    r.nextId = id == INT32_MAX ? 1 : id + 1;
    r.entries.emplace(id, Entry{callback, false});
    return id;
}

void destroy(int32_t eventid) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.entries.erase(eventid);
}

void signal(int32_t eventid) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.entries.find(eventid);
    if (it == r.entries.end() || it->second.set) {
        return;
    }
    it->second.set = true;
    r.dispatcher->post([eventid] { deliver(eventid); });
}

int liveCount() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return static_cast<int>(r.entries.size());
}

}  // namespace dx8::events
