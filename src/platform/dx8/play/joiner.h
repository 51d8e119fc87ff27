#pragma once

// The joiner's side of a join: ask the host, link to every player it names, tell it when all
// are linked, and become a player when it says the join is done.

#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/dx8/play/session_context.h"

namespace dx8 {

class Joiner {
public:
    explicit Joiner(SessionContext& session) : s_(session) {}

    void begin(DPNHANDLE handle, LinkId hostLink, uint32_t hostIp, net::msg::JoinRequest request,
               bool sync);
    bool active() const { return op_.has_value(); }
    // The host has accepted us: we hold links of our own and take the next joiner's.
    bool accepted() const { return op_ && op_->accept; }
    DPNHANDLE handle() const { return op_ ? op_->handle : 0; }

    void onLinkUp(LinkId link, const Link& state);
    void onControl(LinkId link, Link& state, const net::ControlMessage& m);
    void onLinkLost(const Link& state);
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
        std::optional<net::msg::JoinAccept> accept;
        std::set<DPNID> meshPending;
        qint64 started = 0;
        std::map<LinkId, PathKind> paths;  // how each link to a player would have come about
        std::set<DPNID> relayed;           // players we reach only through the host
        qint64 relayAt = 0;                // when players not answering yet are relayed
        struct Later {
            DPNID id = 0;
            Endpoint at;
        };
        std::vector<Later> later;  // addresses tried once the players have opened their routers
        qint64 laterAt = 0;
        bool sync = false;
        std::vector<std::pair<DPNID, QByteArray>> earlyData;
    };

    void onAccept(const net::msg::JoinAccept& m);
    void onPlayerRemoved(const net::msg::PlayerRemoved& m);
    void meshLinkReady(DPNID id);
    void dropMeshLinks(DPNID id, LinkId except, Drop how);
    // Gives up linking to this player and has the host carry its data; false when the host
    // does not offer that.
    bool relay(DPNID id);
    bool tryAt(DPNID id, Endpoint at, PathKind path);
    void done();

    SessionContext& s_;
    std::optional<Op> op_;
};

}  // namespace dx8
