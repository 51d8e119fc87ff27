#pragma once

// What the roles of one session share: its links, its roster, its notifications and its clock.

#include <QLoggingCategory>
#include <QtGlobal>
#include <functional>
#include <map>

#include "net/links/link_table.h"
#include "net/session/roster.h"
#include "net/session/session_events.h"

Q_DECLARE_LOGGING_CATEGORY(lcSession)

namespace dx8 {

constexpr int kConnectMs = 15000;  // a whole join, joiner side; a queued join waits as long
// An address we linked to that never answered is tried again no sooner than this: one a player
// only announced may be anyone's, and must not draw a stream of datagrams.
constexpr int kUnansweredRedialMs = 60000;
constexpr size_t kMaxDialsKept = 64;

// The addresses we have linked to, and whether each ever answered.
class DialBudget {
public:
    bool mayDial(Endpoint at, qint64 now);
    void answered(Endpoint at);
    void clear() { dials_.clear(); }
    size_t size() const { return dials_.size(); }

private:
    struct Dial {
        qint64 at = 0;
        bool answered = false;
    };
    static uint64_t key(Endpoint e) { return (uint64_t{e.ipv4} << 16) | e.port; }
    std::map<uint64_t, Dial> dials_;
};

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
    DialBudget dials = {};

    void drop(LinkId link, Drop how) { links.drop(link, how, now()); }
    void broadcast(const net::ControlMessage& m, DPNID except = 0) {
        links.sendAll(roster.linksExcept(except), m);
    }
};

}  // namespace dx8
