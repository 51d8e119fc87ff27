#include "net/session/roster.h"

#include <algorithm>

#include "common/same_secret.h"
#include "common/shown_text.h"
#include "net/trust/trust.h"

namespace dx8 {

namespace {

constexpr uint32_t kIdMultiplier = 0x9E3779B1u;

}  // namespace

QString uniqueName(const QString& wanted, const std::function<bool(const QString&)>& taken) {
    if (!taken(wanted)) {
        return wanted;
    }
    for (int n = 2;; ++n) {
        const QString suffix = QStringLiteral(" (%1)").arg(n);
        const QString base = orvel::shownText(wanted, orvel::kMaxNameChars - suffix.size());
        if (!taken(base + suffix)) {
            return base + suffix;
        }
    }
}

bool Roster::nameTaken(const QString& name, DPNID except) const {
    return std::any_of(players.begin(), players.end(), [&](const auto& entry) {
        return entry.first != except && !entry.second.gone &&
               entry.second.name.compare(name, Qt::CaseInsensitive) == 0;
    });
}

DPNID Roster::allocateId(uint32_t& seq) {
    for (;;) {
        seq = nextSeq++;
        const DPNID id = idSalt + seq * kIdMultiplier;
        if (id != 0) {
            return id;
        }
    }
}

uint32_t Roster::seqOf(DPNID id) const {
    // The inverse of the odd multiplier modulo 2^32, by Newton's iteration (each doubles the
    // bits that are right).
    uint32_t inverse = kIdMultiplier;
    for (int i = 0; i < 5; ++i) {
        inverse *= 2u - kIdMultiplier * inverse;
    }
    return (id - idSalt) * inverse;
}

int Roster::activePlayers() const {
    return static_cast<int>(std::count_if(players.begin(), players.end(),
                                          [](const auto& p) { return !p.second.gone; }));
}

std::vector<const Player*> Roster::presentInJoinOrder() const {
    std::vector<const Player*> present;
    for (const auto& [id, p] : players) {
        if (!p.gone) {
            present.push_back(&p);
        }
    }
    std::sort(present.begin(), present.end(),
              [](const Player* a, const Player* b) { return a->seq < b->seq; });
    return present;
}

DPNID Roster::successorOf(DPNID host) const {
    for (DPNID id : succession) {
        const auto it = players.find(id);
        if (id != host && it != players.end() && !it->second.gone) {
            return id;
        }
    }
    for (const Player* p : presentInJoinOrder()) {
        if (p->id != host) {
            return p->id;
        }
    }
    return 0;
}

bool Roster::prunePairs() {
    const auto isGone = [this](DPNID id) {
        const auto it = players.find(id);
        return it == players.end() || it->second.gone;
    };
    return std::erase_if(relayedPairs, [&](const auto& pair) {
               return isGone(pair.first) || isGone(pair.second);
           }) > 0;
}

Player Player::self(DPNID id, uint32_t seq, const QString& name, uint16_t port) {
    Player p;
    p.id = id;
    p.seq = seq;
    p.name = name;
    p.seen.port = port;
    return p;
}

Player Player::linked(DPNID id, uint32_t seq, const QString& name, LinkId link, Endpoint seen,
                      PathKind path) {
    Player p = self(id, seq, name, 0);
    p.link = link;
    p.seen = seen;
    p.path = path;
    return p;
}

Player Player::relayed(DPNID id, uint32_t seq, const QString& name, LinkId hostLink) {
    return linked(id, seq, name, hostLink, {}, PathKind::Relayed);
}

Player& Player::saying(Endpoint lanAddress, Endpoint mappedAddress) {
    lan = lanAddress;
    mapped = mappedAddress;
    return *this;
}

net::msg::Paths Roster::announcePaths() {
    prunePairs();
    std::map<DPNID, int> relayedWith;
    for (const auto& [a, b] : relayedPairs) {
        ++relayedWith[a];
        ++relayedWith[b];
    }
    std::vector<const Player*> order = presentInJoinOrder();
    // Whoever takes over must reach everyone: the fewer relayed pairs, the earlier.
    std::stable_sort(order.begin(), order.end(), [&](const Player* x, const Player* y) {
        return relayedWith[x->id] < relayedWith[y->id];
    });
    net::msg::Paths m;
    for (const Player* p : order) {
        m.succession.push_back(p->id);
    }
    for (const auto& [a, b] : relayedPairs) {
        m.relayed.push_back(a);
        m.relayed.push_back(b);
    }
    succession = m.succession;
    return m;
}

void Roster::takePaths(const net::msg::Paths& m) {
    succession = m.succession;
    relayedPairs.clear();
    for (size_t i = 0; i + 1 < m.relayed.size(); i += 2) {
        // Only pairs of players we know of: nothing else could be relayed.
        const DPNID a = m.relayed[i], b = m.relayed[i + 1];
        if (a != b && present(a) != nullptr && present(b) != nullptr) {
            relayedPairs.insert(std::minmax(a, b));
        }
    }
}

Player* Roster::present(DPNID id) {
    const auto it = players.find(id);
    return it == players.end() || it->second.gone ? nullptr : &it->second;
}

const Player* Roster::present(DPNID id) const {
    const auto it = players.find(id);
    return it == players.end() || it->second.gone ? nullptr : &it->second;
}

LinkId Roster::hostLink() const {
    const Player* host = present(hostId);
    return host != nullptr ? host->link : 0;
}

std::vector<LinkId> Roster::linksExcept(DPNID except) const {
    std::vector<LinkId> links;
    for (const auto& [id, p] : players) {
        // A relayed player is reached through the host's link, which is listed once already.
        if (!p.gone && p.link != 0 && id != except && p.path != PathKind::Relayed) {
            links.push_back(p.link);
        }
    }
    return links;
}

void Roster::expect(DPNID id, uint64_t token, qint64 deadline) {
    if (expectations.size() >= kMaxExpectations) {
        expectations.erase(expectations.begin());
    }
    expectations.push_back(Expectation{id, token, deadline});
}

std::optional<uint64_t> Roster::takeExpectation(DPNID id, uint64_t helloProof) {
    const auto e =
        std::find_if(expectations.begin(), expectations.end(), [&](const Expectation& x) {
            return x.id == id &&
                   orvel::sameSecret(pairProof(x.token, ProofOf::Hello, id), helloProof);
        });
    if (e == expectations.end()) {
        return std::nullopt;
    }
    const uint64_t token = e->token;
    expectations.erase(e);
    return token;
}

void Roster::forgetExpectation(DPNID id) {
    std::erase_if(expectations, [id](const Expectation& e) { return e.id == id; });
}

void Roster::expireExpectations(qint64 now) {
    std::erase_if(expectations, [now](const Expectation& e) { return now > e.deadline; });
}

qint64 Roster::earliestExpectation() const {
    qint64 earliest = 0;
    for (const Expectation& e : expectations) {
        if (earliest == 0 || e.deadline < earliest) {
            earliest = e.deadline;
        }
    }
    return earliest;
}

void Roster::clear() {
    inSession = false;
    players.clear();
    expectations.clear();
    relayedPairs.clear();
    succession.clear();
    localId = 0;
    hostId = 0;
    desc = {};
    password.clear();
    ++generation;
}

}  // namespace dx8
