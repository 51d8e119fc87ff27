#pragma once

// A player's side of a running session: the joiners the host announces and their hellos, the
// players added and removed, what players say of themselves (names, router mappings), and the
// host role moving on when the host goes.

#include "net/session/host_join.h"
#include "net/paths/relay.h"
#include "net/session/session_context.h"

namespace dx8 {

constexpr int kExpectMs = 15000;  // a joiner announced by the host

class Members {
public:
    Members(SessionContext& session, HostJoin& hostJoin, Relay& relay)
        : s_(session), hostJoin_(hostJoin), relay_(relay) {}

    // A joiner's hello on a link nobody vouched for yet.
    void onMeshHello(LinkId link, const net::msg::MeshHello& m);

    // What players say over their own links; the host's word is checked already where only the
    // host may say it.
    void onExpect(const net::msg::Expect& m);
    void onPlayerAdded(const net::msg::PlayerAdded& m);
    void onPlayerRemoved(DPNID from, const net::msg::PlayerRemoved& m);
    void onTerminate(const net::msg::Terminate& m);
    void onInfo(DPNID from, const net::msg::Info& m);
    void onNameOf(const net::msg::NameOf& m);
    void onMapped(DPNID from, const net::msg::Mapped& m);

    // Our name is to be this: the host makes it unique, and tells everyone.
    void rename(const QString& wanted);
    // Our router forwards this address to us now: everyone we link to hears of it.
    void mappingChanged(Endpoint mapped);
    // Our router's mapping goes on our own record and to every player we link to.
    void announceMapping();

    // Removes a player (the session ends when it was a host that does not hand over).
    void removePlayer(DPNID id, int32_t reason);
    // Every player is destroyed and the session is over here.
    void endSession(HRESULT result, int32_t reason);
    // Tells of a player gone; its record goes once that has been delivered.
    void destroyPlayer(DPNID id, int32_t reason);

private:
    void hostGone(DPNID oldHost, int32_t reason);

    SessionContext& s_;
    HostJoin& hostJoin_;
    Relay& relay_;
};

}  // namespace dx8
