#include "net/links/link_table.h"

namespace dx8 {

bool waitsOnDeadline(const Link& link) {
    const bool waits = link.kind == LinkKind::Unverified || link.kind == LinkKind::MeshIn ||
                       link.kind == LinkKind::Closing || link.kind == LinkKind::Joiner;
    return waits && link.deadline != 0;
}

Link* LinkTable::find(LinkId link) {
    const auto it = links_.find(link);
    return it == links_.end() ? nullptr : &it->second;
}

LinkId LinkTable::linkOf(LinkKind kind, uint32_t playerId) const {
    for (const auto& [id, link] : links_) {
        if (link.kind == kind && link.playerId == playerId) {
            return id;
        }
    }
    return 0;
}

// A link is never closed from both ends at once: ENet acknowledges neither side's disconnect
// then, and the side whose disconnect went unanswered repeats it to the address for seconds,
// where the next program to take that port would receive it as the end of its own links. So the
// side that leaves closes, the other answers; and a link whose other end is gone, or that is
// given up on, is forgotten without another datagram to its address.
void LinkTable::drop(LinkId link, Drop how, qint64 now) {
    const auto it = links_.find(link);
    if (it == links_.end()) {
        return;
    }
    switch (how) {
        case Drop::Now:
            links_.erase(it);
            closeNow(link);
            break;
        case Drop::AwaitClose:
            it->second.kind = LinkKind::Closing;
            it->second.deadline = now + kClosingMs;
            break;
        case Drop::Silently:
            links_.erase(it);
            forget(link);
            break;
    }
}

void LinkTable::sendAll(const std::vector<LinkId>& links, const net::ControlMessage& m) {
    for (LinkId link : links) {
        send(link, m);
    }
}

}  // namespace dx8
