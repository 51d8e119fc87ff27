#pragma once

// The joiner's side of a join: ask the host, link to every player it names, tell it when all
// are linked, and become a player when it says the join is done.

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "net/links/link_attempt.h"
#include "net/session/session_context.h"

namespace dx8 {

class Members;

// A join that brings a player back into the session it was cut off from (come_back.h): it says
// who it was first, and sends its request only with its proof, once the host has challenged it;
// the outcome goes to the owner, not to the program.
struct ReturnJoin {
    net::msg::Return claim;
    DPNID to = 0;  // the player the proof is made for: only it, as the host, may take us back
    std::function<QByteArray(const QByteArray& challenge, const QUuid& instance)> prove;
    // The roster as it was before, and the players the host listed, in its order.
    std::function<void(std::map<DPNID, Player> before, const std::vector<DPNID>& order)> done;
    // Only this try is over; its links have gone.
    std::function<void(HRESULT)> failed;
};

class Joiner {
public:
    Joiner(SessionContext& session, Members& members) : s_(session), members_(members) {}

    // The password, if any, is only ever proven over the host's challenge, never sent.
    void begin(DPNHANDLE handle, LinkId hostLink, uint32_t hostIp, net::msg::JoinRequest request,
               QString password, bool sync, std::optional<ReturnJoin> back = std::nullopt);
    // Runs once a join or a return is complete and we are a player.
    std::function<void()> joined;
    bool active() const { return op_.has_value(); }
    // The host has accepted us: we hold links of our own and take the next joiner's.
    bool accepted() const { return op_ && op_->accept; }
    DPNHANDLE handle() const { return op_ ? op_->handle : 0; }
    JoinProgress progress() const;

    void onLinkUp(LinkId link, const Link& state);
    void onControl(LinkId link, Link& state, const net::ControlMessage& m);
    // A link of the join went down (it has left the table).
    void onLinkLost(LinkId link, const Link& state);
    // A player may start sending before our own join has completed; held until then.
    void holdData(const Link& state, const QByteArray& data);
    void checkDeadline(qint64 now);
    qint64 deadline() const;

    // Gives up the join: the host hears why (once it has accepted us), the caller gets result.
    void fail(HRESULT result);
    // Forgets the join without a word (Close); a synchronous Connect ends cancelled.
    void abandon();

    // The outcome of a synchronous Connect, once there is one.
    std::optional<HRESULT> syncResult;

private:
    // When the whole join must be over: stretched by the host link's round trip once known.
    qint64 joinDue() const;
    struct Op {
        DPNHANDLE handle = 0;
        LinkId hostLink = 0;
        uint32_t hostIp = 0;
        net::msg::JoinRequest request;
        QString password;
        std::optional<net::msg::JoinAccept> accept;
        std::set<DPNID> meshPending;
        std::set<DPNID> linked;  // players that answered with the proof of our pair
        qint64 started = 0;
        std::map<DPNID, LinkAttempt> attempts;  // linking to each player; the link it answered on
        std::set<DPNID> relayed;                // players we reach only through the host
        qint64 relayAt = 0;                     // when players not answering yet are relayed
        bool sync = false;
        std::vector<std::pair<DPNID, QByteArray>> earlyData;
        std::optional<ReturnJoin> back;
    };

    void onAccept(const net::msg::JoinAccept& m);
    void onChallenge(const net::msg::JoinChallenge& m);
    void onReach(const net::PlayerEntry& e);
    // Links to one more player; false when there is no address to try.
    bool linkTo(const net::PlayerEntry& e);
    void onPlayerRemoved(const net::msg::PlayerRemoved& m);
    void meshLinkReady(DPNID id);
    // Stops linking to this player: its links go this way.
    void dropAttempt(DPNID id, Drop how);
    // Gives up linking to this player and has the host carry its data; false when the host
    // does not offer that.
    bool relay(DPNID id);
    void done();

    SessionContext& s_;
    Members& members_;
    std::optional<Op> op_;
};

}  // namespace dx8
