#pragma once

// The packets of the peer session: discovery queries and answers (plain UDP datagrams at a
// session's port) and the control messages that peers exchange on ENet's control channel.
// Application data travels raw on its own channel and has no format here.
//
// Every decoder takes untrusted bytes: it checks every length against the bytes it has, refuses
// trailing bytes, and gives nullopt for anything it cannot read in full.

#include <QByteArray>
#include <QString>
#include <QUuid>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace dx8::net {

constexpr uint8_t kChannelData = 0;     // application data, raw
constexpr uint8_t kChannelControl = 1;  // control messages, reliable
constexpr size_t kChannelCount = 2;

constexpr uint16_t kProtocolVersion = 1;

// Text fields longer than this are refused by the decoders (and cut by the encoders).
constexpr int kMaxTextBytes = 1024;
constexpr int kMaxPlayersListed = 64;

// ---- Discovery --------------------------------------------------------------------------------
// A query has a fixed size; an answer is never larger than kMaxAnswerSize, so a host never sends
// more than a small multiple of what it was sent.
constexpr int kQuerySize = 64;
constexpr int kMaxAnswerSize = 4 * kQuerySize;

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
    JoinAccept,       // host -> joiner: id, token, description, players present
    Expect,           // host -> players: a joiner with this id and token will link to you
    MeshHello,        // joiner -> player: id, token
    MeshAck,          // player -> joiner
    JoinReady,        // joiner -> host: linked to every player
    JoinFail,         // joiner -> host: result; the join is abandoned
    PlayerAdded,      // host -> players: the joiner is a player now
    AddedAck,         // player -> host: id
    JoinDone,         // host -> joiner: the join is complete
    PlayerRemoved,    // host -> all: id, reason
    Leaving,          // any -> all: the sender leaves
    Terminate,        // host -> all: result; the session ends
    Info,             // any -> all: the sender's new name
};

struct PlayerEntry {
    uint32_t id = 0;
    uint32_t seq = 0;  // join order
    QString name;
    uint32_t ipv4 = 0;  // host byte order
    uint16_t port = 0;
    bool operator==(const PlayerEntry&) const = default;
};

struct SessionDesc {
    QUuid instance;
    QUuid application;
    int32_t maxPlayers = 0;
    int32_t flags = 0;
    QString name;
    bool operator==(const SessionDesc&) const = default;
};

// One struct for every control message; each type uses the fields its comment above names.
struct ControlMessage {
    Ctl type = Ctl::Leaving;
    uint16_t version = kProtocolVersion;
    int32_t result = 0;
    uint32_t playerId = 0;
    uint32_t hostId = 0;
    uint32_t seq = 0;
    uint32_t nextSeq = 0;
    uint32_t idSalt = 0;
    uint64_t token = 0;
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    uint8_t reason = 0;
    QUuid application;
    QUuid instance;
    QString name;
    QString password;
    SessionDesc desc;
    std::vector<PlayerEntry> players;
    bool operator==(const ControlMessage&) const = default;
};

QByteArray encodeControl(const ControlMessage& message);
std::optional<ControlMessage> decodeControl(const uint8_t* data, size_t size);

}  // namespace dx8::net
