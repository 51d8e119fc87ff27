#include "meet_server.h"

#include <QLoggingCategory>
#include <algorithm>

Q_LOGGING_CATEGORY(lcMeet, "orvel.meet", QtWarningMsg)

namespace orvel::meet {

namespace {

constexpr int64_t kExpiryScanMs = 1000;
constexpr int64_t kAllowanceSweepMs = 10000;

template <typename T>
constexpr uint8_t kKind = kindOf<T>();

RelayTable::Limits relayLimits(const MeetServer::Config& config) {
    RelayTable::Limits limits = config.relay;
    limits.ports = static_cast<int>(config.relayPorts.size());
    return limits;
}

}  // namespace

MeetServer::MeetServer(Config config, Keys& keys, Outbox& out)
    : config_(std::move(config)),
      keys_(keys),
      out_(out),
      relay_(relayLimits(config_), [&keys] { return keys.random(); }) {}

void MeetServer::receive(int socket, const uint8_t* data, size_t size, Endpoint from,
                         int64_t nowMs) {
    if (socket == kProbeSocket || from.ip == 0 || from.port == 0) {
        return;
    }
    if (socket >= kFirstRelaySocket && !isMeetDatagram(data, size)) {
        if (const auto to = relay_.forward(socket - kFirstRelaySocket, from, size, nowMs)) {
            out_.send(socket, reinterpret_cast<const char*>(data), size, *to);
        }
        return;
    }
    const auto m = decode(data, size);
    if (!m) {
        return;
    }
    const auto cookie = cookieOf(*m);
    const bool relayOpen = std::holds_alternative<RelayOpen>(*m);
    if (!cookie || relayOpen != (socket >= kFirstRelaySocket)) {
        return;
    }
    if (!keys_.cookieValid(*cookie, from, nowMs)) {
        // Never more bytes than came in: the smallest request is larger than a Retry.
        if (retries_.take(1, kRetryRate, kRetryBurst, nowMs)) {
            answer(socket, from, Retry{keys_.cookie(from, nowMs)});
        }
        return;
    }
    request(socket, *m, from, nowMs);
}

void MeetServer::request(int socket, const Message& m, Endpoint from, int64_t nowMs) {
    Allowance* a = allowance(from.ip);
    if (a == nullptr) {
        return;
    }
    const uint8_t kind = static_cast<uint8_t>(m.index() + 1);
    if (!a->requests.take(1, kRequestRate, kRequestBurst, nowMs)) {
        if (!std::exchange(a->toldRequests, true)) {
            const Code code = std::visit(
                [](const auto& body) {
                    if constexpr (requires { body.code; }) {
                        return body.code;
                    } else {
                        return Code{};
                    }
                },
                m);
            fail(socket, from, kind, code, Problem::RateLimited);
        }
        return;
    }
    a->toldRequests = false;
    if (const auto* r = std::get_if<Register>(&m)) {
        claim(from, r->nonce, nullptr, r->name, r->lan, nowMs);
    } else if (const auto* c = std::get_if<Reclaim>(&m)) {
        claim(from, c->nonce, c, c->name, c->lan, nowMs);
    } else if (const auto* k = std::get_if<Keepalive>(&m)) {
        keepalive(from, *k, nowMs);
    } else if (const auto* u = std::get_if<Unregister>(&m)) {
        unregister(from, *u);
    } else if (const auto* l = std::get_if<Lookup>(&m)) {
        lookup(from, l->code, *a, nowMs);
    } else if (const auto* ask = std::get_if<RelayAsk>(&m)) {
        relayAsk(from, *ask, nowMs);
    } else if (const auto* open = std::get_if<RelayOpen>(&m)) {
        relayOpen(socket, from, *open, nowMs);
    }
}

void MeetServer::claim(Endpoint from, uint64_t nonce, const Reclaim* reclaim, const QString& name,
                       const std::vector<Endpoint>& lan, int64_t nowMs) {
    const uint8_t kind = reclaim != nullptr ? kKind<Reclaim> : kKind<Register>;
    const auto held = hostedAt_.find(key(from));
    const Session* previous = held != hostedAt_.end() ? &sessions_.at(held->second) : nullptr;
    if (previous != nullptr && previous->nonce == nonce) {
        registered(*previous);  // our answer was lost; the host asks again
        return;
    }
    Session s;
    s.epoch = 1;
    const Session* replaced = nullptr;
    if (reclaim != nullptr) {
        s.code = reclaim->code;
        s.salt = Keys::saltOf(reclaim->secret);
        if (!keys_.secretValid(s.code, reclaim->secret)) {
            fail(kMainSocket, from, kind, s.code, Problem::NotHost);
            return;
        }
        if (const auto live = sessions_.find(s.code.bits); live != sessions_.end()) {
            replaced = &live->second;
            if (replaced->salt != s.salt) {
                // The code was given out again after this session's last host let it go.
                fail(kMainSocket, from, kind, s.code, Problem::CodeTaken);
                return;
            }
            s.epoch = replaced->epoch + 1;
        }
    } else {
        do {
            s.code.bits = keys_.random() & kCodeMask;
        } while (sessions_.count(s.code.bits) != 0);
        s.salt = keys_.random();
    }
    // The new session takes the place of the one it reclaims and of the one this port hosted.
    const auto gone = [&](uint32_t ip) {
        return (previous != nullptr && previous != replaced && previous->host.ip == ip ? 1 : 0) +
               (replaced != nullptr && replaced->host.ip == ip ? 1 : 0);
    };
    const size_t total = sessions_.size() + 1 - (replaced != nullptr ? 1 : 0) -
                         (previous != nullptr && previous != replaced ? 1 : 0);
    Allowance* a = allowance(from.ip);
    if (total > config_.maxSessions || a == nullptr ||
        a->sessions + 1 - gone(from.ip) > kSessionsPerAddress) {
        fail(kMainSocket, from, kind, s.code, Problem::Full);
        return;
    }
    if (previous != nullptr) {
        drop(previous->code.bits);  // the host started another session from the same port
    }
    drop(s.code.bits);
    ++a->sessions;
    s.nonce = nonce;
    s.host = from;
    s.seenMs = nowMs;
    s.name = name;
    s.lan = lan;
    s.probesLeft = kProbes;
    hostedAt_[key(from)] = s.code.bits;
    probing_.push_back(s.code.bits);
    qCDebug(lcMeet).noquote() << "session" << formatCode(s.code) << "epoch" << s.epoch
                              << "hosted at" << endpointText(from);
    const Session& kept = sessions_.emplace(s.code.bits, std::move(s)).first->second;
    registered(kept);
    answer(kProbeSocket, kept.host, Probe{kept.nonce});
}

void MeetServer::registered(const Session& s) {
    const auto keepalive =
        static_cast<uint16_t>(std::clamp<int64_t>(config_.sessionTimeoutMs / 3000, 1, 3600));
    answer(kMainSocket, s.host,
           Registered{s.nonce, s.code, keys_.secret(s.code, s.salt), s.epoch, s.host, keepalive});
}

MeetServer::Session* MeetServer::hostedWith(Code code, const Secret& secret, uint32_t epoch) {
    const auto it = sessions_.find(code.bits);
    if (it == sessions_.end()) {
        return nullptr;
    }
    Session& s = it->second;
    const bool current =
        keys_.secretValid(code, secret) && Keys::saltOf(secret) == s.salt && epoch == s.epoch;
    return current ? &s : nullptr;
}

void MeetServer::keepalive(Endpoint from, const Keepalive& k, int64_t nowMs) {
    if (sessions_.count(k.code.bits) == 0) {
        fail(kMainSocket, from, kKind<Keepalive>, k.code, Problem::UnknownCode);
        return;
    }
    Session* s = hostedWith(k.code, k.secret, k.epoch);
    if (s == nullptr) {
        fail(kMainSocket, from, kKind<Keepalive>, k.code, Problem::NotHost);
        return;
    }
    if (s->host != from) {
        moveHost(*s, from);  // the host's router gave it another address or port
    }
    s->seenMs = nowMs;
    answer(kMainSocket, from, Alive{s->code, from});
}

void MeetServer::moveHost(Session& s, Endpoint to) {
    if (const auto held = hostedAt_.find(key(to)); held != hostedAt_.end()) {
        drop(held->second);
    }
    hostedAt_.erase(key(s.host));
    if (Allowance* before = allowance(s.host.ip, false)) {
        --before->sessions;
    }
    if (Allowance* after = allowance(to.ip)) {
        ++after->sessions;
    }
    s.host = to;
    hostedAt_[key(to)] = s.code.bits;
}

void MeetServer::unregister(Endpoint from, const Unregister& u) {
    if (const Session* s = hostedWith(u.code, u.secret, u.epoch); s != nullptr && s->host == from) {
        drop(u.code.bits);
    }
}

void MeetServer::lookup(Endpoint from, Code code, Allowance& a, int64_t nowMs) {
    if (!a.lookups.take(1, kLookupRate, kLookupBurst, nowMs)) {
        if (!std::exchange(a.toldLookups, true)) {
            fail(kMainSocket, from, kKind<Lookup>, code, Problem::RateLimited);
        }
        return;
    }
    a.toldLookups = false;
    const auto it = sessions_.find(code.bits);
    if (it == sessions_.end()) {
        fail(kMainSocket, from, kKind<Lookup>, code, Problem::UnknownCode);
        return;
    }
    Session& s = it->second;
    // The joiner hears where the host is, and the host where the joiner is, at once: each
    // sends toward the other, which opens both routers.
    answer(kMainSocket, from, Found{code, s.host, s.name, s.lan});
    answer(kMainSocket, s.host, PeerArrived{code, from});
    auto known = std::find_if(s.joiners.begin(), s.joiners.end(),
                              [from](const auto& j) { return j.first == from; });
    if (known == s.joiners.end()) {
        if (s.joiners.size() < kMaxJoinersKept) {
            known = s.joiners.emplace(s.joiners.end(), from, nowMs);
        } else {
            known =
                std::min_element(s.joiners.begin(), s.joiners.end(),
                                 [](const auto& x, const auto& y) { return x.second < y.second; });
            known->first = from;
        }
    }
    known->second = nowMs;
    qCDebug(lcMeet).noquote() << "lookup of" << formatCode(code) << "by" << endpointText(from);
}

void MeetServer::relayAsk(Endpoint from, const RelayAsk& r, int64_t nowMs) {
    const auto it = sessions_.find(r.code.bits);
    if (it == sessions_.end()) {
        fail(kMainSocket, from, kKind<RelayAsk>, r.code, Problem::UnknownCode);
        return;
    }
    const Session& s = it->second;
    const auto member = [&s](Endpoint e) {
        return e == s.host || std::any_of(s.joiners.begin(), s.joiners.end(),
                                          [e](const auto& j) { return j.first == e; });
    };
    if (!member(from) || !member(r.peer) || from == r.peer) {
        fail(kMainSocket, from, kKind<RelayAsk>, r.code, Problem::NoPair);
        return;
    }
    const auto offer = relay_.offer(r.code, from, r.peer, nowMs);
    if (!offer) {
        fail(kMainSocket, from, kKind<RelayAsk>, r.code, Problem::Full);
        return;
    }
    const Endpoint relay{config_.relayIp, config_.relayPorts.at(static_cast<size_t>(offer->port))};
    answer(kMainSocket, from, RelayReady{r.code, r.peer, relay, offer->tokenA});
    answer(kMainSocket, r.peer, RelayReady{r.code, from, relay, offer->tokenB});
}

void MeetServer::relayOpen(int socket, Endpoint from, const RelayOpen& r, int64_t nowMs) {
    const RelayTable::Opening opening =
        relay_.open(socket - kFirstRelaySocket, r.token, from, nowMs);
    if (opening.state == RelayTable::Opened::NoPair) {
        fail(socket, from, kKind<RelayOpen>, {}, Problem::NoPair);
        return;
    }
    answer(socket, from, RelayState{r.token, opening.state == RelayTable::Opened::Active});
    if (opening.waiting) {
        // The side that opened first hears it now rather than at its next try.
        answer(socket, opening.waiting->first, RelayState{opening.waiting->second, 1});
    }
}

void MeetServer::sweep(int64_t nowMs) {
    std::vector<uint64_t> still;
    for (uint64_t code : probing_) {
        const auto it = sessions_.find(code);
        if (it != sessions_.end() && it->second.probesLeft > 0) {
            if (--it->second.probesLeft > 0) {
                answer(kProbeSocket, it->second.host, Probe{it->second.nonce});
            }
            if (it->second.probesLeft > 1) {
                still.push_back(code);
            }
        }
    }
    probing_.swap(still);
    if (nowMs >= nextExpiryMs_) {
        nextExpiryMs_ = nowMs + kExpiryScanMs;
        std::vector<uint64_t> gone;
        for (const auto& [code, s] : sessions_) {
            if (nowMs - s.seenMs > config_.sessionTimeoutMs) {
                gone.push_back(code);
            }
        }
        for (uint64_t code : gone) {
            qCDebug(lcMeet).noquote() << "session" << formatCode(Code{code}) << "expired";
            drop(code);
        }
        relay_.sweep(nowMs);
    }
    if (nowMs >= nextAllowanceSweepMs_) {
        nextAllowanceSweepMs_ = nowMs + kAllowanceSweepMs;
        for (auto it = allowances_.begin(); it != allowances_.end();) {
            Allowance& a = it->second;
            const bool rested = a.sessions == 0 &&
                                a.requests.full(kRequestRate, kRequestBurst, nowMs) &&
                                a.lookups.full(kLookupRate, kLookupBurst, nowMs);
            it = rested ? allowances_.erase(it) : std::next(it);
        }
    }
}

void MeetServer::drop(uint64_t code) {
    const auto it = sessions_.find(code);
    if (it == sessions_.end()) {
        return;
    }
    hostedAt_.erase(key(it->second.host));
    if (Allowance* a = allowance(it->second.host.ip, false)) {
        --a->sessions;
    }
    sessions_.erase(it);
}

MeetServer::Allowance* MeetServer::allowance(uint32_t ip, bool create) {
    const auto it = allowances_.find(ip);
    if (it != allowances_.end()) {
        return &it->second;
    }
    if (allowances_.size() >= kMaxAddresses || !create) {
        return nullptr;
    }
    return &allowances_[ip];
}

void MeetServer::answer(int socket, Endpoint to, const Message& m) {
    const QByteArray bytes = encode(m);
    out_.send(socket, bytes.constData(), static_cast<size_t>(bytes.size()), to);
}

void MeetServer::fail(int socket, Endpoint to, uint8_t about, Code code, Problem problem) {
    answer(socket, to, Failure{about, code, static_cast<uint8_t>(problem)});
}

}  // namespace orvel::meet
