#pragma once

// Every use of ENet's state that ENet offers no function for: the reliable commands in flight
// and when they go again, a peer's timers and handshake id, and the datagram a host has just
// received. They are ENet's private business, so they live here alone, written for the ENet
// version that configuring checks for (ORVEL_ENET_VERSION in CMakeLists.txt); enet_internals_test
// fails when their layout or behaviour moves.

#include <enet/enet.h>

#include <cstddef>
#include <cstdint>

namespace dx8::enet_internals {

// Whether reliable commands sent to p wait for their acknowledgement.
bool hasInFlight(const ENetPeer& p);
// Whether p has anything queued to send or to acknowledge.
bool hasQueued(const ENetPeer& p);
// When the oldest reliable command in flight to p was sent (ENet's clock); 0 when none is.
enet_uint32 firstSentAt(const ENetPeer& p);
// When ENet next resends to p or gives up on it, if a command is in flight.
enet_uint32 nextTimeout(const ENetPeer& p);
// When p is due a ping: its last word plus its ping interval.
enet_uint32 pingDue(const ENetPeer& p);
enet_uint32 lastReceiveTime(const ENetPeer& p);
// The id ENet's handshake gave the connection to p.
enet_uint32 connectId(const ENetPeer& p);
// The host's clock as of its current service.
enet_uint32 serviceTime(const ENetHost& host);

// No reliable command in flight to p waits longer than maxGapMs after its sending to go again;
// p's next timeout moves up to the earliest of them.
void capResendGap(ENetPeer& p, enet_uint32 maxGapMs);
// p is given up within ms when its handshake has not completed.
void capHandshake(ENetPeer& p, enet_uint32 ms);
// Everything in flight to p goes again in the host's next service.
void resendNow(ENetHost& host, ENetPeer& p);
// Commands in flight to p sent at least `attempts` times wait heldMs before they go again,
// and p's next timeout follows (at most heldMs from now).
void holdResends(ENetPeer& p, uint32_t attempts, enet_uint32 heldMs);

// The datagram the host has just received, as its intercept callback sees it.
struct Received {
    const uint8_t* data = nullptr;
    size_t size = 0;
    ENetAddress from{};
};
Received received(const ENetHost& host);

}  // namespace dx8::enet_internals
