#include "net/links/link_attempt.h"

#include <algorithm>

#include "common/same_secret.h"
#include "net/paths/nat_paths.h"
#include "net/trust/trust.h"

namespace dx8 {

bool DialBudget::mayDial(Endpoint at, qint64 now) {
    const auto it = dials_.find(key(at));
    if (it != dials_.end()) {
        if (!it->second.answered && now - it->second.at < kUnansweredRedialMs) {
            return false;
        }
        it->second.at = now;
        return true;
    }
    if (dials_.size() >= kMaxDialsKept) {
        // The one tried longest ago makes room.
        dials_.erase(std::min_element(
            dials_.begin(), dials_.end(),
            [](const auto& a, const auto& b) { return a.second.at < b.second.at; }));
    }
    dials_[key(at)] = Dial{now, false};
    return true;
}

void DialBudget::answered(Endpoint at) {
    const auto it = dials_.find(key(at));
    if (it != dials_.end()) {
        it->second.answered = true;
    }
}

LinkAttempt::LinkAttempt(SessionContext& session, const net::PlayerEntry& entry, uint32_t hostIp,
                         uint32_t ourIp, LinkKind kind)
    : s_(&session), entry_(entry), hostIp_(hostIp), ourIp_(ourIp), kind_(kind) {}

bool LinkAttempt::start() {
    for (const Endpoint& at : candidatesFor(entry_, hostIp_, ourIp_)) {
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
    if (!s_->dials.mayDial(at, s_->now())) {
        return;
    }
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
        const DPNID self = s_->roster.localId;
        s_->links.send(link, net::meshHello(self, pairProof(entry_.token, ProofOf::Hello, self)));
    }
}

bool LinkAttempt::proven(const net::msg::MeshAck& ack) const {
    return orvel::sameSecret(ack.proof, pairProof(entry_.token, ProofOf::Ack, s_->roster.localId));
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
