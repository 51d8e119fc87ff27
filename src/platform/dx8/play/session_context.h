#pragma once

// What the roles of one session share: its links, its roster, its notifications and its clock.

#include <QLoggingCategory>
#include <QtGlobal>
#include <functional>

#include "platform/dx8/play/link_table.h"
#include "platform/dx8/play/roster.h"
#include "platform/dx8/play/session_events.h"

Q_DECLARE_LOGGING_CATEGORY(lcSession)

namespace dx8 {

constexpr int kConnectMs = 15000;  // a whole join, joiner side; a queued join waits as long

// A failure code stays as it is; anything else a peer sends in its place becomes a generic one.
inline HRESULT failureOr(HRESULT code, HRESULT fallback) {
    return code < 0 ? code : fallback;
}

struct SessionContext {
    LinkTable& links;
    Roster& roster;
    SessionEvents& events;
    std::function<qint64()> now;
    // Ends the session here without a word to anyone (the links go at once).
    std::function<void()> leave;

    void drop(LinkId link, Drop how) { links.drop(link, how, now()); }
    void broadcast(const net::ControlMessage& m, DPNID except = 0) {
        links.sendAll(roster.linksExcept(except), m);
    }
};

}  // namespace dx8
