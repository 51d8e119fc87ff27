#pragma once

// A player's side of a running session: the joiners the host announces and their hellos, the
// players added and removed, names, and the host role moving on when the host goes.

#include "platform/dx8/play/host_join.h"
#include "platform/dx8/play/session_context.h"

namespace dx8 {

constexpr int kExpectMs = 15000;  // a joiner announced by the host

class Members {
public:
    Members(SessionContext& session, HostJoin& hostJoin) : s_(session), hostJoin_(hostJoin) {}

    // A joiner's hello on a link nobody vouched for yet.
    void onMeshHello(LinkId link, const net::msg::MeshHello& m);
    // A message from a player over its own link.
    void onControl(DPNID from, const net::ControlMessage& m);

    // Removes a player (the session ends when it was a host that does not hand over).
    void removePlayer(DPNID id, int32_t reason);
    // Every player is destroyed and the session is over here.
    void endSession(HRESULT result, int32_t reason);

private:
    void onExpect(const net::msg::Expect& m);
    void onPlayerAdded(const net::msg::PlayerAdded& m);
    void onPlayerRemoved(DPNID from, const net::msg::PlayerRemoved& m);
    void hostGone(DPNID oldHost, int32_t reason);
    // A relayed player linked to us with the host's token: its data comes this way now.
    void linkRelayed(LinkId link, Link& state, DPNID id);
    void destroyPlayer(DPNID id, int32_t reason);

    SessionContext& s_;
    HostJoin& hostJoin_;
};

}  // namespace dx8
