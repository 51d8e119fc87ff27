#include "relay_table.h"

#include <QLoggingCategory>
#include <vector>

#include "keys.h"

Q_DECLARE_LOGGING_CATEGORY(lcMeet)

namespace orvel::meet {

namespace {

// What a datagram costs of a pair's budget: its IPv4 and UDP headers too, so that a stream of
// tiny datagrams is not cheaper than it is.
constexpr double kHeaderBytes = 28;

}  // namespace

RelayTable::RelayTable(Limits limits, std::function<uint64_t()> random)
    : limits_(limits), random_(std::move(random)) {
    limits_.ports = std::clamp(limits_.ports, 0, 32);
}

uint64_t RelayTable::pairKey(Endpoint a, Endpoint b) const {
    // Keyed, so that nobody can line two pairs up on one key; either order gives the same.
    static const Key salt = randomKey();
    uint64_t in[2] = {std::min(key(a), key(b)), std::max(key(a), key(b))};
    return sipHash24(salt, reinterpret_cast<const uint8_t*>(in), sizeof in);
}

std::optional<RelayTable::Offer> RelayTable::offer(Code code, Endpoint a, Endpoint b,
                                                   int64_t nowMs) {
    const uint64_t sides = pairKey(a, b);
    if (const auto it = bySides_.find(sides); it != bySides_.end()) {
        const Pair& p = pairs_.at(it->second);
        const bool aFirst = p.sides[0].identity == a;
        if (p.sides[aFirst ? 1 : 0].identity != b || p.sides[aFirst ? 0 : 1].identity != a) {
            return std::nullopt;  // two other sides under the same key: as likely as a guess
        }
        return Offer{p.port, p.sides[aFirst ? 0 : 1].token, p.sides[aFirst ? 1 : 0].token};
    }
    if (pairs_.size() >= limits_.maxPairs || a == b) {
        return std::nullopt;
    }
    const uint32_t used = portsOf_[key(a)] | portsOf_[key(b)];
    int port = 0;
    while (port < limits_.ports && (used & (1u << port)) != 0) {
        ++port;
    }
    if (port == limits_.ports) {
        for (Endpoint e : {a, b}) {
            if (portsOf_[key(e)] == 0) {
                portsOf_.erase(key(e));
            }
        }
        return std::nullopt;
    }
    const uint64_t id = ++nextId_;
    Pair& p = pairs_[id];
    p.code = code;
    p.port = port;
    p.createdMs = p.activeMs = nowMs;
    p.sides[0] = {a, random_(), {}, {}};
    p.sides[1] = {b, random_(), {}, {}};
    byToken_[p.sides[0].token] = id;
    byToken_[p.sides[1].token] = id;
    bySides_[sides] = id;
    portsOf_[key(a)] |= 1u << port;
    portsOf_[key(b)] |= 1u << port;
    qCDebug(lcMeet).noquote() << "relay" << endpointText(a) << "<->" << endpointText(b)
                              << "on port index" << port;
    return Offer{port, p.sides[0].token, p.sides[1].token};
}

RelayTable::Opening RelayTable::open(int port, uint64_t token, Endpoint from, int64_t nowMs) {
    const auto it = byToken_.find(token);
    if (it == byToken_.end() || pairs_.at(it->second).port != port) {
        return {};
    }
    Pair& p = pairs_.at(it->second);
    const bool wasActive = p.active();
    const int s = p.sides[0].token == token ? 0 : 1;
    Side& side = p.sides[s];
    const uint64_t binding = bindingKey(port, from);
    if (side.from != from) {
        // Another pair relays from this address at this port already: the datagrams could not
        // be told apart.
        if (bound_.count(binding) != 0) {
            return {};
        }
        if (side.from) {
            bound_.erase(bindingKey(port, *side.from));  // the side's router moved it
        }
        side.from = from;
        bound_.emplace(binding, std::make_pair(it->second, s));
    }
    p.activeMs = nowMs;
    if (!p.active()) {
        return {Opened::Waiting, {}};
    }
    const Side& other = p.sides[1 - s];
    return {Opened::Active,
            wasActive ? std::nullopt : std::optional(std::pair(*other.from, other.token))};
}

std::optional<Endpoint> RelayTable::forward(int port, Endpoint from, size_t size, int64_t nowMs) {
    const auto it = bound_.find(bindingKey(port, from));
    if (it == bound_.end()) {
        return std::nullopt;
    }
    Pair& p = pairs_.at(it->second.first);
    Side& side = p.sides[it->second.second];
    if (!p.active() || !side.budget.take(static_cast<double>(size) + kHeaderBytes,
                                         limits_.bytesPerSecond, limits_.bytesPerSecond, nowMs)) {
        return std::nullopt;
    }
    p.activeMs = nowMs;
    return p.sides[1 - it->second.second].from;
}

void RelayTable::sweep(int64_t nowMs) {
    std::vector<uint64_t> gone;
    for (const auto& [id, p] : pairs_) {
        const bool idle = nowMs - p.activeMs > limits_.idleMs;
        const bool unopened = !p.active() && nowMs - p.createdMs > limits_.openMs;
        if (idle || unopened) {
            gone.push_back(id);
        }
    }
    for (uint64_t id : gone) {
        forget(id);
    }
}

void RelayTable::forget(uint64_t id) {
    const Pair& p = pairs_.at(id);
    for (const Side& side : p.sides) {
        byToken_.erase(side.token);
        if (side.from) {
            bound_.erase(bindingKey(p.port, *side.from));
        }
        const auto used = portsOf_.find(key(side.identity));
        if (used != portsOf_.end() && (used->second &= ~(1u << p.port)) == 0) {
            portsOf_.erase(used);
        }
    }
    bySides_.erase(pairKey(p.sides[0].identity, p.sides[1].identity));
    qCDebug(lcMeet).noquote() << "relay forgotten:" << endpointText(p.sides[0].identity) << "<->"
                              << endpointText(p.sides[1].identity);
    pairs_.erase(id);
}

}  // namespace orvel::meet
