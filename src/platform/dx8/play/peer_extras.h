#pragma once

// What the DirectPlay 8 peer and client offer beyond the DirectPlay calls, for the programs,
// tools and tests: the port a session runs on, what the engine reports about it (net/session.h),
// the lobby connection it holds, and coming back after a drop.

#include "net/session.h"
#include "platform/dx8/directplay8.h"

namespace dx8 {

// The lobby connection a peer or client holds through RegisterLobby (handle 0 and no
// application when none), for tests and tools that check it was given back.
struct LobbyRegistration {
    DPNHANDLE handle = 0;
    DirectPlay8LobbiedApplication* application = nullptr;
};

// The UDP port a peer's or client's session runs on (0 outside a session or for another kind of
// object): for tools and tests that need to tell others where to join.
uint16_t sessionPortOf(const DirectPlay8Peer* peer);
uint16_t sessionPortOf(const DirectPlay8Client* client);

WireStats wireStatsOf(const DirectPlay8Peer* peer);
JoinProgress joinProgressOf(const DirectPlay8Peer* peer);
// The name of the session the peer hosts or is joining (empty outside one).
QString sessionNameOf(const DirectPlay8Peer* peer);
Reachability reachabilityOf(const DirectPlay8Peer* peer);
// What the router forwards to this peer's session port, for those who join later.
void setMappedEndpointOf(DirectPlay8Peer* peer, uint32_t ipv4, uint16_t port);
LobbyRegistration lobbyRegistrationOf(const DirectPlay8Peer* peer);
LobbyRegistration lobbyRegistrationOf(const DirectPlay8Client* client);

// Ours while in a session (not valid outside one, or alone in it).
ReturnTicket returnTicketOf(const DirectPlay8Peer* peer);
// Joins the ticket's session again as its player, trying its addresses for up to budgetMs; the
// outcome comes as ConnectComplete, as for Connect.
DPNHANDLE comeBackWith(DirectPlay8Peer* peer, const ReturnTicket& ticket, int budgetMs);
// How long a player cut off from everyone tries to come back before the session is lost to it
// (a minute; 0: lost at once).
void setComeBackMsOf(DirectPlay8Peer* peer, int ms);

MeetStatus meetStatusOf(const DirectPlay8Peer* peer);

}  // namespace dx8
