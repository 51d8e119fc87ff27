#include "platform/dx8/play/link_attempt.h"

#include "platform/dx8/play/nat_paths.h"

namespace dx8 {

LinkAttempt::LinkAttempt(SessionContext& session, const net::PlayerEntry& entry, uint32_t hostIp,
                         uint64_t token, LinkKind kind)
    : s_(&session), entry_(entry), hostIp_(hostIp), token_(token), kind_(kind) {}

bool LinkAttempt::start() {
    for (const Endpoint& at : candidatesFor(entry_, hostIp_)) {
        if (pathTo(entry_, at) == PathKind::Punched) {
            later_.push_back(at);
            laterAt_ = s_->now() + kPunchHeadStartMs;
        } else {
            tryAt(at);
        }
    }
    return !exhausted();
}

void LinkAttempt::checkDeadline(qint64 now) {
    if (laterAt_ != 0 && now >= laterAt_) {
        laterAt_ = 0;
        for (const Endpoint& at : std::exchange(later_, {})) {
            tryAt(at);
        }
    }
}

void LinkAttempt::tryAt(Endpoint at) {
    const LinkId link = s_->links.connectTo(at.ipv4, at.port);
    if (link == 0) {
        return;
    }
    Link state;
    state.kind = kind_;
    state.playerId = entry_.id;
    s_->links.add(link, state);
    links_[link] = pathTo(entry_, at);
}

PathKind LinkAttempt::pathOf(LinkId link) const {
    const auto it = links_.find(link);
    return it != links_.end() ? it->second : PathKind::Direct;
}

void LinkAttempt::greet(LinkId link) const {
    if (owns(link)) {
        s_->links.send(link, net::meshHello(s_->roster.localId, token_));
    }
}

void LinkAttempt::keep(LinkId link) {
    const auto kept = links_.find(link);
    if (kept == links_.end()) {
        return;
    }
    const auto path = *kept;
    links_.erase(kept);
    later_.clear();
    laterAt_ = 0;
    drop(Drop::Now);
    links_.insert(path);
}

void LinkAttempt::drop(Drop how) {
    for (const auto& [link, path] : std::exchange(links_, {})) {
        s_->drop(link, how);
    }
    later_.clear();
    laterAt_ = 0;
}

}  // namespace dx8
