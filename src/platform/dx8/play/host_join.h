#pragma once

// The host's side of a join: one join at a time, the others queued. The joiner is told the
// players; the players are told to expect it; once it has linked to all of them it becomes a
// player, and the join is done when every player has confirmed it.

#include <deque>
#include <optional>
#include <set>

#include "platform/dx8/play/session_context.h"

namespace dx8 {

constexpr int kMeshWaitMs = 12000;  // host side: the joiner links to every player
constexpr int kAckWaitMs = 3000;    // host side: players confirm the new player
constexpr size_t kMaxQueuedJoins = 8;

class HostJoin {
public:
    explicit HostJoin(SessionContext& session) : s_(session) {}

    // A JoinRequest on a link nobody vouched for yet.
    void onRequest(LinkId link, const net::msg::JoinRequest& m);
    // A message on a joiner's link.
    void onControl(LinkId link, const net::ControlMessage& m);
    void onAddedAck(DPNID from, DPNID id);
    // A joiner's link went down.
    void onLinkLost(LinkId link);
    // A player went while a join waits on it: the joiner hears of it, and nobody waits for it.
    void onPlayerRemoved(DPNID id, const net::ControlMessage& removed);
    // A queued joiner waited too long.
    void refuseExpired(LinkId link);
    void checkDeadline(qint64 now);
    qint64 deadline() const { return join_ ? join_->deadline : 0; }
    bool inProgress() const { return join_.has_value(); }
    size_t queued() const { return queue_.size(); }
    void reset();

private:
    struct PendingJoin {
        LinkId link = 0;
        DPNID id = 0;
        uint32_t seq = 0;
        QString name;
        Endpoint lan, mapped;     // what the joiner says of itself
        std::set<DPNID> relayed;  // players the joiner reaches only through us
        bool adding = false;      // JoinReady came; waiting for the players' AddedAck
        std::set<DPNID> awaitingAck;
        qint64 deadline = 0;
    };
    struct QueuedJoin {
        LinkId link = 0;
        net::msg::JoinRequest request;
    };

    void start(LinkId link, const net::msg::JoinRequest& m);
    void ready(LinkId link);
    void finish();
    void abort(HRESULT refuse);
    void next();
    void refuse(LinkId link, HRESULT code);

    SessionContext& s_;
    std::optional<PendingJoin> join_;
    std::deque<QueuedJoin> queue_;
};

}  // namespace dx8
