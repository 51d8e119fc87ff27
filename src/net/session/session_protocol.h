#pragma once

// The packets of the peer session: discovery queries and answers (plain UDP datagrams at a
// session's port) and the control messages that peers exchange on ENet's control channel.
// Application data travels raw on its own channel and has no format here.
//
// Every decoder takes untrusted bytes: it checks every length against the bytes it has and gives
// nullopt for anything it cannot read in full. A control message longer than its layout is read
// by its layout and the rest ignored; discovery datagrams must be exact.

#include <QByteArray>
#include <QString>
#include <QUuid>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <variant>
#include <vector>

#include "common/packet.h"

namespace dx8::net {

constexpr uint8_t kChannelData = 0;     // application data, raw
constexpr uint8_t kChannelControl = 1;  // control messages, reliable
// Guaranteed application data has a channel of its own: on the data channel a lost guaranteed
// message would hold back every unreliable one behind it until its resend arrived.
constexpr uint8_t kChannelGuaranteed = 2;
// Application data between two players with no link of their own, through the host: the
// player's id (4 bytes, little-endian), then the data. Toward the host the id names the target;
// from the host it names the origin.
constexpr uint8_t kChannelRelay = 3;
// Relayed guaranteed data, apart for the same reason as above.
constexpr uint8_t kChannelRelayGuaranteed = 4;
constexpr size_t kChannelCount = 5;

constexpr uint16_t kProtocolVersion = 2;

// Text fields longer than this are refused by the decoders (and cut by the encoders).
constexpr int kMaxTextBytes = 1024;
constexpr int kMaxPlayersListed = 64;
// Byte fields (challenges, proofs) longer than this are refused.
constexpr int kMaxBlobBytes = 64;

// ---- Discovery --------------------------------------------------------------------------------
// A query has a fixed size; an answer is never larger than kMaxAnswerSize, so a host never sends
// an address more than three times what it was sent (the session name is cut to fit).
constexpr int kQuerySize = 64;
constexpr int kMaxAnswerSize = 3 * kQuerySize;

struct DiscoveryQuery {
    QUuid application;  // null: any application
    uint32_t nonce = 0;
    uint32_t sentMs = 0;  // the searcher's clock, echoed back for the round trip
};

struct DiscoveryAnswer {
    uint32_t nonce = 0;
    uint32_t sentMs = 0;
    QUuid instance;
    QUuid application;
    int32_t maxPlayers = 0;
    int32_t currentPlayers = 0;
    int32_t flags = 0;
    bool passwordRequired = false;
    QString sessionName;  // cut so that the answer fits kMaxAnswerSize
};

QByteArray encodeQuery(const DiscoveryQuery& query);
std::optional<DiscoveryQuery> decodeQuery(const uint8_t* data, size_t size);
// True when the datagram opens like a discovery query (it may still fail to decode).
bool looksLikeQuery(const uint8_t* data, size_t size);

QByteArray encodeAnswer(const DiscoveryAnswer& answer);
std::optional<DiscoveryAnswer> decodeAnswer(const uint8_t* data, size_t size);

// ---- Control messages --------------------------------------------------------------------------

enum class Ctl : uint8_t {
    JoinRequest = 1,  // joiner -> host
    JoinRefuse,       // host -> joiner: result
    JoinAccept,       // host -> joiner: id, name, description, players present with a token each
    Expect,           // host -> player: one with this id will link to you, proving this token
    MeshHello,        // joiner -> player: id, proof of the pair's token
    MeshAck,          // player -> joiner: proof of the pair's token
    JoinReady,        // joiner -> host: linked to (or relayed with) every player it was told of
    JoinFail,         // joiner -> host: result; the join is abandoned
    PlayerAdded,      // host -> players: the joiner is a player now
    AddedAck,         // player -> host: id
    JoinDone,         // host -> joiner: the join is complete
    PlayerRemoved,    // host -> all: id, reason
    Leaving,          // any -> all: the sender leaves
    Terminate,        // host -> all: result; the session ends
    Info,             // player -> host: the name the sender asks for
    Paths,            // host -> all: who takes over first, and the pairs the host relays for
    Mapped,           // any -> all: what the sender's router now forwards to it
    Reach,            // host -> player or joiner: link directly to this player, with a token
    Linked,           // player -> host: a relayed player is linked directly now
    NameOf,           // host -> all: a player's name, as the host made it unique
    RoundTrips,       // host -> players it relays for: its round trip to each of their partners
    Unlinked,         // player -> host: the direct link to a once-relayed player is gone
    JoinChallenge,    // host -> joiner: prove the session's password over this challenge
    // Coming back after a drop (come_back.h).
    OwnKey,  // player -> host: the public half of its key to come back
    KeyOf,   // host -> all: a player's public key, as the host keeps it
    Return,  // returner -> host: the player it was; then its proof over the host's challenge
    HostAt,  // player -> returner: not the host; this is where the host is
    // The meeting point (meet_link.h).
    MeetCode,  // host -> players: the session's code at the meeting point, and its secret
    MeetPair,  // host -> player: open a relay at the meeting point toward this player
    // Below the session (address_gate.h): a stranger answered at once shows its address.
    AddressProof,  // stranger -> the one it linked to: the cookie sent to its address
};
constexpr Ctl kLastCtl = Ctl::AddressProof;

// The field list of a wire struct, in wire order; two messages are equal when their fields are.
#define DX8_FIELDS(...)                    \
    ORVEL_WIRE_FIELDS(__VA_ARGS__)         \
    bool operator==(const auto& o) const { \
        return fields() == o.fields();     \
    }

struct PlayerEntry {
    uint32_t id = 0;
    uint32_t seq = 0;  // join order
    QString name;
    uint32_t ipv4 = 0;  // host byte order; where the host sees the player
    uint16_t port = 0;
    // Where the player is on its own network, and what its router forwards to it (0: none).
    uint32_t lanIpv4 = 0;
    uint16_t lanPort = 0;
    uint32_t mappedIpv4 = 0;
    uint16_t mappedPort = 0;
    uint64_t token = 0;  // what the reader proves to this player (a secret of the two of them)
    DX8_FIELDS(id, seq, name, ipv4, port, lanIpv4, lanPort, mappedIpv4, mappedPort, token)
};

struct SessionDesc {
    QUuid instance;
    QUuid application;
    int32_t maxPlayers = 0;
    int32_t flags = 0;
    QString name;
    DX8_FIELDS(instance, application, maxPlayers, flags, name)
};

// One struct per control message. Each names its fields once, in wire order; that one list
// serves both the encoder and the decoder.
namespace msg {
struct JoinRequest {
    uint16_t version = kProtocolVersion;
    QUuid application;
    QUuid instance;
    QString name;
    // The joiner's own addresses, for the players who link to it after it (0: unknown).
    uint32_t lanIpv4 = 0;
    uint16_t lanPort = 0;
    uint32_t mappedIpv4 = 0;
    uint16_t mappedPort = 0;
    QByteArray proof;  // the answer to the host's JoinChallenge; empty before one came
    DX8_FIELDS(version, application, instance, name, lanIpv4, lanPort, mappedIpv4, mappedPort,
               proof)
};
struct JoinRefuse {
    int32_t result = 0;
    DX8_FIELDS(result)
};
struct JoinAccept {
    uint32_t playerId = 0;
    uint32_t hostId = 0;
    uint32_t seq = 0;
    uint32_t nextSeq = 0;
    uint32_t idSalt = 0;
    QString name;  // the joiner's own, made unique among the players
    SessionDesc desc;
    // At most kMaxPlayersListed go on the wire; each with the token the joiner proves to it.
    std::vector<PlayerEntry> players;
    // Where the host sees the joiner: its public address when a router stands between them.
    uint32_t observedIpv4 = 0;
    uint16_t observedPort = 0;
    uint8_t relays = 0;  // 1: the host carries data for players that cannot link directly
    DX8_FIELDS(playerId, hostId, seq, nextSeq, idSalt, name, desc, players, observedIpv4,
               observedPort, relays)
};
struct Expect {
    uint32_t playerId = 0;
    uint64_t token = 0;
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    DX8_FIELDS(playerId, token, ipv4, port)
};
struct MeshHello {
    uint32_t playerId = 0;
    uint64_t proof = 0;
    DX8_FIELDS(playerId, proof)
};
struct MeshAck {
    uint64_t proof = 0;
    DX8_FIELDS(proof)
};
struct JoinReady {
    std::vector<uint32_t> linked;   // the players we linked to
    std::vector<uint32_t> relayed;  // the players we reach only through the host
    DX8_FIELDS(linked, relayed)
};
struct JoinFail {
    int32_t result = 0;
    DX8_FIELDS(result)
};
struct PlayerAdded {
    uint32_t playerId = 0;
    uint32_t seq = 0;
    QString name;
    uint32_t lanIpv4 = 0;
    uint16_t lanPort = 0;
    uint32_t mappedIpv4 = 0;
    uint16_t mappedPort = 0;
    uint8_t relayed = 0;  // 1: the new player could not link to you; its data comes via the host
    DX8_FIELDS(playerId, seq, name, lanIpv4, lanPort, mappedIpv4, mappedPort, relayed)
};
struct AddedAck {
    uint32_t playerId = 0;
    DX8_FIELDS(playerId)
};
struct JoinDone {
    DX8_FIELDS()
};
struct PlayerRemoved {
    uint32_t playerId = 0;
    uint8_t reason = 0;
    DX8_FIELDS(playerId, reason)
};
struct Leaving {
    DX8_FIELDS()
};
struct Terminate {
    int32_t result = 0;
    DX8_FIELDS(result)
};
struct Info {
    QString name;
    DX8_FIELDS(name)
};
struct Paths {
    std::vector<uint32_t> succession;  // the present players, the first to take over first
    std::vector<uint32_t> relayed;     // pairs that reach each other through the host, two ids each
    DX8_FIELDS(succession, relayed)
};
struct Mapped {
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    DX8_FIELDS(ipv4, port)
};
struct Reach {
    PlayerEntry player;  // every address the host knows for it, and the token it expects
    DX8_FIELDS(player)
};
struct Linked {
    uint32_t playerId = 0;
    DX8_FIELDS(playerId)
};
struct NameOf {
    uint32_t playerId = 0;
    QString name;
    DX8_FIELDS(playerId, name)
};
struct RoundTrips {
    std::vector<uint32_t> legs;  // a player's id, then the host's round trip to it in ms; repeated
    DX8_FIELDS(legs)
};
struct Unlinked {
    uint32_t playerId = 0;
    DX8_FIELDS(playerId)
};
struct JoinChallenge {
    QByteArray challenge;
    QUuid instance;  // the session the answer is for
    DX8_FIELDS(challenge, instance)
};
struct OwnKey {
    QByteArray key;
    DX8_FIELDS(key)
};
struct KeyOf {
    uint32_t playerId = 0;
    QByteArray key;
    DX8_FIELDS(playerId, key)
};
struct Return {
    uint32_t playerId = 0;
    QByteArray proof;  // empty at first; then the signature over the host's JoinChallenge
    DX8_FIELDS(playerId, proof)
};
struct HostAt {
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    DX8_FIELDS(ipv4, port)
};
// Whoever hosts next reclaims the code with the secret, at that meeting point only.
struct MeetCode {
    uint64_t code = 0;
    QByteArray secret;
    uint32_t pointIpv4 = 0;
    uint16_t pointPort = 0;
    DX8_FIELDS(code, secret, pointIpv4, pointPort)
};
// Both of a pair hear it: each asks the meeting point to relay between them. The one whose
// entry carries a token links to the other through the relay with it, as to a relayed partner.
struct MeetPair {
    PlayerEntry player;
    uint32_t meetIpv4 = 0;  // where the meeting point sees the player
    uint16_t meetPort = 0;
    DX8_FIELDS(player, meetIpv4, meetPort)
};
struct AddressProof {
    uint32_t cookie = 0;
    DX8_FIELDS(cookie)
};
}  // namespace msg

// The alternatives stand in Ctl's order: a message's type byte is its index plus one.
using ControlMessage =
    std::variant<msg::JoinRequest, msg::JoinRefuse, msg::JoinAccept, msg::Expect, msg::MeshHello,
                 msg::MeshAck, msg::JoinReady, msg::JoinFail, msg::PlayerAdded, msg::AddedAck,
                 msg::JoinDone, msg::PlayerRemoved, msg::Leaving, msg::Terminate, msg::Info,
                 msg::Paths, msg::Mapped, msg::Reach, msg::Linked, msg::NameOf, msg::RoundTrips,
                 msg::Unlinked, msg::JoinChallenge, msg::OwnKey, msg::KeyOf, msg::Return,
                 msg::HostAt, msg::MeetCode, msg::MeetPair, msg::AddressProof>;

static_assert(std::variant_size_v<ControlMessage> == static_cast<size_t>(kLastCtl));

inline Ctl typeOf(const ControlMessage& m) {
    return static_cast<Ctl>(m.index() + 1);
}

// Named constructors for the messages built in more than one place.
ControlMessage joinRequest(QUuid application, QUuid instance, QString name);
ControlMessage joinRefuse(int32_t result);
ControlMessage joinFail(int32_t result);
ControlMessage terminate(int32_t result);
ControlMessage expect(uint32_t playerId, uint64_t token, uint32_t ipv4, uint16_t port);
ControlMessage meshHello(uint32_t playerId, uint64_t proof);
ControlMessage meshAck(uint64_t proof);
ControlMessage joinDone();
ControlMessage playerAdded(uint32_t playerId, uint32_t seq, QString name);
ControlMessage addedAck(uint32_t playerId);
ControlMessage playerRemoved(uint32_t playerId, uint8_t reason);
ControlMessage leaving();
ControlMessage info(QString name);

QByteArray encodeControl(const ControlMessage& message);
// Player names come out as every player shows them (orvel::playerName), so nothing past the
// decoder sees one that is long or holds control characters.
std::optional<ControlMessage> decodeControl(const uint8_t* data, size_t size);

}  // namespace dx8::net
