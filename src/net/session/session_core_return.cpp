// A new start that comes back into the session the program was in when it ended without
// leaving.
#include "net/session/session_core.h"

namespace dx8 {

DPNHANDLE SessionCore::comeBack(const ReturnTicket& ticket, int budgetMs) {
    if (clientOnly_) {
        raise(DPNERR_UNSUPPORTED);
    }
    if (roster_.inSession) {
        raise(DPNERR_ALREADYCONNECTED);
    }
    if (joiner_.active() || roles_.comeBack().active()) {
        raise(DPNERR_CONNECTING);
    }
    if (!ticket.valid() || budgetMs <= 0) {
        raise(DPNERR_INVALIDPARAM);
    }
    if (!links_->open(0, kDefaultSessionPort, true)) {
        raise(DPNERR_GENERIC, "no free session port");
    }
    ++roster_.generation;
    const DPNHANDLE handle = newHandle();
    comeBackHandle_ = handle;
    roles_.comeBack().start(handle, ticket, budgetMs);
    links_->flush();
    links_->scheduleService();
    return handle;
}

bool SessionCore::cancelComeBack(DPNHANDLE handle) {
    // Its tries go under its handle too: cancelling a try would only start the next. A player
    // cut off (still in its session) is no new start.
    if (handle != comeBackHandle_ || !roles_.comeBack().active() || roster_.inSession) {
        return false;
    }
    comeBackHandle_ = 0;
    joiner_.abandon();
    leaveSession(false);
    events_->connectComplete(handle, DPNERR_USERCANCEL);
    return true;
}

}  // namespace dx8
