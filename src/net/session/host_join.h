#pragma once

// The host's side of joins. Joins from different addresses run side by side, one at a time from
// each address (the others from it wait their turn): a joiner that stalls holds up nobody else,
// and is dropped when its deadline, which no slow link of its own stretches, runs out. Each
// joiner is told the players, each with a token that only the two of them know; each player is
// told to expect the joiner with its token. Once the joiner has linked to all of them it becomes
// a player, one joiner at a time, and the join is done when every player has confirmed it; the
// joiners still under way then link to the new player too.

#include <deque>
#include <set>
#include <vector>

#include "net/session/session_context.h"

namespace dx8 {

constexpr int kMeshWaitMs = 12000;  // host side: the joiner links to every player
constexpr int kAckWaitMs = 3000;    // host side: players confirm the new player
constexpr size_t kMaxPendingJoins = 8;
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
    // A player went while joins wait on it: their joiners hear of it, and nobody waits for it.
    void onPlayerRemoved(DPNID id, const net::ControlMessage& removed);
    // A queued joiner waited too long.
    void refuseExpired(LinkId link);
    void checkDeadline(qint64 now);
    qint64 deadline() const;
    bool inProgress() const { return !joins_.empty(); }
    size_t pending() const { return joins_.size(); }
    size_t queued() const { return queue_.size(); }
    // The name `wanted` or, when a present player or another joiner shows under it, one made
    // unique; `forId` is the one who asks.
    QString uniqueName(const QString& wanted, DPNID forId) const;
    void reset();

private:
    struct PendingJoin {
        LinkId link = 0;
        uint32_t sourceIp = 0;
        DPNID id = 0;
        uint32_t seq = 0;
        QString name;
        Endpoint lan, mapped;     // what the joiner says of itself
        std::set<DPNID> told;     // the players it was told to link to
        std::set<DPNID> reached;  // those it says it linked to or has us relay for
        std::set<DPNID> relayed;  // players the joiner reaches only through us
        bool ready = false;       // it has said JoinReady
        bool adding = false;      // becoming a player; waiting for the players' AddedAck
        std::set<DPNID> awaitingAck;
        qint64 started = 0;
        qint64 deadline = 0;
    };
    struct QueuedJoin {
        LinkId link = 0;
        net::msg::JoinRequest request;
    };

    // Whether the password's proof on this link is good; asks for one first when none came.
    bool passwordProven(LinkId link, Link& state, const net::msg::JoinRequest& m);
    void start(LinkId link, const net::msg::JoinRequest& m);
    PendingJoin* joinOn(LinkId link);
    PendingJoin* joinOf(DPNID id);
    bool busyFrom(uint32_t ip) const;
    // Makes the next joiner that has linked to every player a player, unless one is being added.
    void addNext();
    void finish(DPNID id);
    void abort(DPNID id, HRESULT refuse);
    // The new player is one the joiners still under way must link to as well.
    void introduce(DPNID player);
    void next();
    void refuse(LinkId link, HRESULT code);

    SessionContext& s_;
    std::vector<PendingJoin> joins_;
    std::deque<QueuedJoin> queue_;
};

}  // namespace dx8
