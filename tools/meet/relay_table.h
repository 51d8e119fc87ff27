#pragma once

// The relayed pairs of a meeting point. Each pair is given one relay port, and each side opens
// it from the address it will relay from, with its own token; from then on a datagram from one
// side's address at that port goes out unchanged to the other side's address, from the same
// port. So each side sees the other at an address of the meeting point and needs no framing.
// A side may have one pair per relay port, which is why there are several.

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>

#include "budget.h"
#include "net/paths/meet_protocol.h"

namespace orvel::meet {

class RelayTable {
public:
    struct Limits {
        int ports = 8;  // relay ports, at most 32
        size_t maxPairs = 1000;
        double bytesPerSecond = 64 * 1024;  // each way, per pair, with 28 bytes a datagram
        int64_t idleMs = 60000;             // a pair that carries nothing this long goes
        int64_t openMs = 15000;             // both sides must have opened by then
    };
    struct Offer {
        int port = 0;  // index among the relay ports
        uint64_t tokenA = 0;
        uint64_t tokenB = 0;
    };
    enum class Opened { NoPair, Waiting, Active };
    struct Opening {
        Opened state = Opened::NoPair;
        // When this open made the pair active: the other side, which opened first and waits to
        // hear it (where it relays from, and its token).
        std::optional<std::pair<Endpoint, uint64_t>> waiting;
    };

    RelayTable(Limits limits, std::function<uint64_t()> random);

    // The pair of the sides a and b (their public addresses) in session `code`, new or already
    // there; nothing when no port is free for both or the table is full.
    std::optional<Offer> offer(Code code, Endpoint a, Endpoint b, int64_t nowMs);
    // A side opens its pair from `from` at the relay port `port`.
    Opening open(int port, uint64_t token, Endpoint from, int64_t nowMs);
    // Where a datagram of `size` bytes from `from` at `port` goes; nothing drops it.
    std::optional<Endpoint> forward(int port, Endpoint from, size_t size, int64_t nowMs);
    void sweep(int64_t nowMs);
    size_t pairs() const { return pairs_.size(); }

private:
    struct Side {
        Endpoint identity;
        uint64_t token = 0;
        std::optional<Endpoint> from;
        Budget budget;
    };
    struct Pair {
        Code code;
        int port = 0;
        Side sides[2];
        int64_t createdMs = 0;
        int64_t activeMs = 0;
        bool active() const { return sides[0].from && sides[1].from; }
    };
    struct Hash {
        size_t operator()(uint64_t v) const {
            return std::hash<uint64_t>()(v * 0x9E3779B97F4A7C15ull);
        }
    };
    static uint64_t key(Endpoint e) { return (uint64_t{e.ip} << 16) | e.port; }
    static uint64_t bindingKey(int port, Endpoint e) { return (uint64_t(port) << 48) | key(e); }
    uint64_t pairKey(Endpoint a, Endpoint b) const;
    void forget(uint64_t id);

    Limits limits_;
    std::function<uint64_t()> random_;
    uint64_t nextId_ = 0;
    std::unordered_map<uint64_t, Pair, Hash> pairs_;
    std::unordered_map<uint64_t, uint64_t, Hash> byToken_;                // token -> pair
    std::unordered_map<uint64_t, std::pair<uint64_t, int>, Hash> bound_;  // port+from -> side
    std::unordered_map<uint64_t, uint64_t, Hash> bySides_;                // both sides -> pair
    std::unordered_map<uint64_t, uint32_t, Hash> portsOf_;                // side -> ports used
};

}  // namespace orvel::meet
