#pragma once

// What a program learns from a session beyond the DirectPlay calls: how each player is reached,
// our router's mapping, what went over the wire, how far a join has come, what it takes to come
// back, and how the meeting point serves us. The rest of the engine is private to src/net.

#include <QByteArray>
#include <QString>
#include <QUuid>
#include <cstdint>
#include <vector>

#include "platform/dx8/directplay8.h"

namespace dx8 {

struct Endpoint {
    uint32_t ipv4 = 0;  // host byte order
    uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// How a link to a player came about.
enum class PathKind : uint8_t {
    Direct,       // reached at an address it listed
    Punched,      // reached at its router once it had opened the router toward us
    Relayed,      // no link of its own: the host carries its traffic
    MeetRelayed,  // a link of its own through the meeting point's relay
};
QString pathName(PathKind kind);

// A round trip that has not been measured (or said) yet.
constexpr int kUnknownRoundTrip = -1;

// What went over the wire in the current session, for benchmarks: UDP datagrams and their
// payload bytes (ENet's headers included, IP and UDP headers not), and the most common size of
// received datagrams of at least 100 bytes (an application message of that size plus framing).
struct WireStats {
    uint64_t sentDatagrams = 0;
    uint64_t sentBytes = 0;
    uint64_t receivedDatagrams = 0;
    uint64_t receivedBytes = 0;
    int commonLargeDatagram = 0;
};

// How this player is reached and reaches the others, for windows and tools.
struct PlayerPath {
    DPNID id = 0;
    QString name;
    PathKind path = PathKind::Direct;
    int rttMs = kUnknownRoundTrip;
};
struct Reachability {
    Endpoint observed;  // where the host of our last join saw us (0: not joined or hosting)
    Endpoint mapped;    // what our router forwards to us (0: nothing)
    std::vector<PlayerPath> players;  // the present remote players, in join order
};

// How far our join has come, for a window that shows the wait.
struct JoinProgress {
    enum class Step : uint8_t {
        None,          // no join under way
        ReachingHost,  // no link to the host yet
        Asking,        // linked to the host, waiting for its answer
        Linking,       // accepted: linking to the players already there
        Finishing,     // linked to everyone: the host makes us a player
    };
    Step step = Step::None;
    int linked = 0;   // players linked so far, the host not counted
    int players = 0;  // players to link to, the host not counted
};

// Where a player was reached, and which player it was: one coming back proves itself to that
// player only.
struct ReturnAddress {
    Endpoint at;
    DPNID player = 0;
    bool operator==(const ReturnAddress&) const = default;
};

constexpr int kReturnKeyBytes = 32;           // either half of a return key
constexpr size_t kMaxReturnAddresses = 8;  // on a ticket

// What a player needs to come back into its session after its program ended without leaving:
// the session, who it was and its key, and where the host and those next in line were.
struct ReturnTicket {
    QUuid instance;
    QUuid application;
    DPNID id = 0;
    QString name;
    std::vector<ReturnAddress> addresses;  // the host's first, then who would take over
    QByteArray keySeed;
    uint64_t code = 0;  // the session's code at the meeting point meetAt (0: it has none)
    Endpoint meetAt;
    bool valid() const { return id != 0 && !instance.isNull() && !addresses.empty(); }
};
// The meeting point ("HOST[:PORT]", port 2300 when none is given) for every session of this
// process that starts after; empty, the default, turns it off and nothing is sent to one.
void setMeetPoint(const QString& hostPort);
QString meetPoint();

// What a session does at the meeting point, for windows and tools.
struct MeetStatus {
    enum class Way : uint8_t {
        Unknown,     // not asked yet, or not hosting
        Unasked,     // the meeting point reached our port from an address we never sent to
        Introduced,  // only those the meeting point introduces get through our router
    };
    QString code;          // "K7QX-M2P9": the session's code (empty while it has none)
    bool holding = false;  // we host, and the meeting point has the code under our address
    Way way = Way::Unknown;
    Endpoint seenAt;  // where the meeting point sees us, while holding
    QString problem;  // why the meeting point could not be used, when it could not
};

// The address this machine sends from toward ip, from the routing table; 0 when there is none.
uint32_t localAddressToward(uint32_t ip);

}  // namespace dx8
