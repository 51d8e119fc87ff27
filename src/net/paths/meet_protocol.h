#pragma once

// The datagrams between players and a meeting point (orvel-meet): hosts register a session under
// a short code, joiners look the code up, and either side may ask for a relay.
//
// Every datagram opens with "ORVM" and a version byte, then its kind. Read as an ENet header the
// first two bytes name peer 0xF52 with the compression flag, which ENet drops; neither a
// discovery query ("ORVQ") nor the punch datagram ("ORVL-...") opens the same way. Relayed data
// carries no prefix: it is the players' own datagrams, forwarded unchanged.
//
// Integers are little-endian; a code takes 5 bytes. Decoders take untrusted bytes and give
// nothing unless the datagram is exactly one message of its kind, every field in range.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "common/packet.h"

namespace orvel::meet {

constexpr uint16_t kDefaultPort = 2300;
constexpr size_t kHeaderSize = 6;  // "ORVM", version, kind
constexpr int kMaxLanAddresses = 4;
constexpr int kMaxNameBytes = 64;
// No meet datagram is longer; the relay carries players' datagrams up to kMaxRelayedSize.
constexpr size_t kMaxDatagramSize = 160;
constexpr size_t kMaxRelayedSize = 2048;


struct Endpoint {
    uint32_t ip = 0;  // IPv4, host byte order
    uint16_t port = 0;
    ORVEL_WIRE_FIELDS(ip, port)
    bool operator==(const Endpoint&) const = default;
};

// "127.0.0.1:2300"
QString endpointText(Endpoint e);

// A session code: 40 random bits, written as eight symbols of 5 bits, "K7QX-M2P9".
struct Code {
    uint64_t bits = 0;  // below 2^40
    bool operator==(const Code&) const = default;
};
constexpr uint64_t kCodeMask = (uint64_t{1} << 40) - 1;
QString formatCode(Code code);
// Forgiving of case, spaces, dashes and look-alikes (O for 0, I and L for 1, U for V).
std::optional<Code> parseCode(const QString& text);

// What a host's players share so that whoever hosts next can claim the same code.
using Secret = std::array<uint8_t, 16>;

// Why the meeting point refused a request. NoAnswer is the client's own: nothing came back.
enum class Problem : uint8_t {
    UnknownCode = 1,  // no session is registered under the code (or it expired)
    RateLimited,      // too many requests from this address; try again later
    NotHost,          // the session has another host now, or the secret is wrong
    Full,             // the meeting point (or this address) holds as many as it may
    CodeTaken,        // the code belongs to another session now
    NoPair,           // no relay for that pair (unknown peer, or the relay was forgotten)
    NoAnswer,
};
QString describe(Problem problem);

// Client -> meeting point. Every request carries the cookie the meeting point last gave this
// address (0 at first): without a valid one the only answer is a Retry, smaller than the request.
struct Register {
    uint64_t cookie = 0;
    uint64_t nonce = 0;  // matches the answer; also names the probe
    QString name;
    std::vector<Endpoint> lan;
    ORVEL_WIRE_FIELDS(cookie, nonce, name, lan)
};
// Register a session again under its code (a new host after migration, or after the meeting
// point forgot it): the secret proves the sender belongs to the session.
struct Reclaim {
    uint64_t cookie = 0;
    uint64_t nonce = 0;
    Code code;
    Secret secret{};
    QString name;
    std::vector<Endpoint> lan;
    ORVEL_WIRE_FIELDS(cookie, nonce, code, secret, name, lan)
};
struct Keepalive {
    uint64_t cookie = 0;
    Code code;
    Secret secret{};
    uint32_t epoch = 0;  // which host of the session sends it: the latest claim wins
    ORVEL_WIRE_FIELDS(cookie, code, secret, epoch)
};
struct Unregister {
    uint64_t cookie = 0;
    Code code;
    Secret secret{};
    uint32_t epoch = 0;
    ORVEL_WIRE_FIELDS(cookie, code, secret, epoch)
};
struct Lookup {
    uint64_t cookie = 0;
    Code code;
    ORVEL_WIRE_FIELDS(cookie, code)
};
// A relay between the sender and peer (its public address), two sides of the session `code`.
struct RelayAsk {
    uint64_t cookie = 0;
    Code code;
    Endpoint peer;
    ORVEL_WIRE_FIELDS(cookie, code, peer)
};
// Sent to the relay port from the address the side will relay from.
struct RelayOpen {
    uint64_t cookie = 0;
    uint64_t token = 0;
    ORVEL_WIRE_FIELDS(cookie, token)
};

// Meeting point -> client.
struct Retry {
    uint64_t cookie = 0;
    ORVEL_WIRE_FIELDS(cookie)
};
struct Registered {
    uint64_t nonce = 0;
    Code code;
    Secret secret{};
    uint32_t epoch = 0;
    Endpoint seenAt;  // the host's public address
    uint16_t keepaliveSeconds = 0;
    ORVEL_WIRE_FIELDS(nonce, code, secret, epoch, seenAt, keepaliveSeconds)
};
struct Alive {
    Code code;
    Endpoint seenAt;
    ORVEL_WIRE_FIELDS(code, seenAt)
};
struct Found {
    Code code;
    Endpoint host;  // where the meeting point sees the host
    QString name;
    std::vector<Endpoint> lan;
    ORVEL_WIRE_FIELDS(code, host, name, lan)
};
// To a host: a joiner looked its code up just now; send toward it.
struct PeerArrived {
    Code code;
    Endpoint peer;
    ORVEL_WIRE_FIELDS(code, peer)
};
// To both sides of a relayed pair: talk to peer through `relay` (ip 0: the meeting point's own),
// after opening it with the token.
struct RelayReady {
    Code code;
    Endpoint peer;
    Endpoint relay;
    uint64_t token = 0;
    ORVEL_WIRE_FIELDS(code, peer, relay, token)
};
struct RelayState {
    uint64_t token = 0;
    uint8_t active = 0;  // 1 once both sides have opened
    ORVEL_WIRE_FIELDS(token, active)
};
// From the probe port, to a host that just registered: arriving at all, it shows that the host's
// port takes datagrams from an address it never sent to.
struct Probe {
    uint64_t nonce = 0;
    ORVEL_WIRE_FIELDS(nonce)
};
struct Failure {
    uint8_t about = 0;  // the kind of the request refused
    Code code;
    uint8_t problem = 0;
    ORVEL_WIRE_FIELDS(about, code, problem)
};

// The kind on the wire is the index here plus one.
using Message =
    std::variant<Register, Reclaim, Keepalive, Unregister, Lookup, RelayAsk, RelayOpen, Retry,
                 Registered, Alive, Found, PeerArrived, RelayReady, RelayState, Probe, Failure>;

template <typename T, size_t I = 0>
constexpr uint8_t kindOf() {
    if constexpr (std::is_same_v<T, std::variant_alternative_t<I, Message>>) {
        return static_cast<uint8_t>(I + 1);
    } else {
        return kindOf<T, I + 1>();
    }
}

// True when the datagram opens as a meet datagram of this version (it may still not decode).
bool isMeetDatagram(const uint8_t* data, size_t size);
QByteArray encode(const Message& message);
std::optional<Message> decode(const uint8_t* data, size_t size);
// The cookie a request carries; nothing for an answer's kind, which nobody asks a meeting point.
std::optional<uint64_t> cookieOf(const Message& message);

}  // namespace orvel::meet
