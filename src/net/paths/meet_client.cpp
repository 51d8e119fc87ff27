#include "net/paths/meet_client.h"

#include <QRandomGenerator>
#include <algorithm>

#include "common/same_secret.h"

namespace orvel::meet {

namespace {

constexpr uint8_t kRegister = kindOf<Register>();
constexpr uint8_t kReclaim = kindOf<Reclaim>();
constexpr uint8_t kKeepalive = kindOf<Keepalive>();
constexpr uint8_t kLookup = kindOf<Lookup>();
constexpr uint8_t kRelayAsk = kindOf<RelayAsk>();
constexpr uint8_t kRelayOpen = kindOf<RelayOpen>();
constexpr int kMaxRetries = 3;
constexpr int kMaxResendMs = 1000;

MeetClient::Request requestOf(uint8_t kind) {
    switch (kind) {
        case kRegister:
        case kReclaim:
            return MeetClient::Request::Register;
        case kKeepalive:
            return MeetClient::Request::Keepalive;
        case kLookup:
            return MeetClient::Request::Lookup;
        default:
            return MeetClient::Request::Relay;
    }
}

bool registering(uint8_t kind) {
    return kind == kRegister || kind == kReclaim;
}

// The owner need not listen to everything.
template <typename... Args, typename... Given>
void tell(const std::function<void(Args...)>& event, Given&&... args) {
    if (event) {
        event(std::forward<Given>(args)...);
    }
}

}  // namespace

MeetClient::MeetClient(Endpoint server, Send send, Events events)
    : server_(server), send_(std::move(send)), events_(std::move(events)) {
    clock_.start();
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { poll(); });
}

bool MeetClient::receive(const uint8_t* data, size_t size, Endpoint from) {
    if (!isMeetDatagram(data, size)) {
        return false;
    }
    if (const auto m = decode(data, size)) {
        handle(*m, from);
    }
    return true;
}

void MeetClient::registerSession(const QString& name, std::vector<Endpoint> lan) {
    claim_.reset();
    beginRegistration(name, std::move(lan));
}

void MeetClient::reclaimSession(Code code, const Secret& secret, const QString& name,
                                std::vector<Endpoint> lan) {
    claim_ = std::make_pair(code, secret);
    beginRegistration(name, std::move(lan));
}

void MeetClient::beginRegistration(const QString& name, std::vector<Endpoint> lan) {
    name_ = name;
    lan_ = std::move(lan);
    lan_.resize(std::min<size_t>(lan_.size(), kMaxLanAddresses));
    nonce_ = QRandomGenerator::system()->generate64();
    registration_.reset();
    probed_ = false;
    reachabilityDueMs_.reset();
    settle([](const Pending& p) { return registering(p.kind) || p.kind == kKeepalive; });
    start({.kind = claim_ ? kReclaim : kRegister,
           .to = server_,
           .code = claim_ ? claim_->first : Code{}});
}

void MeetClient::unregisterSession() {
    if (registration_) {
        const Registration& r = *registration_;
        send_(encode(Unregister{cookieFor(server_), r.code, r.secret, r.epoch}), server_);
    }
    registration_.reset();
    claim_.reset();
    reachabilityDueMs_.reset();
    settle([](const Pending& p) { return registering(p.kind) || p.kind == kKeepalive; });
    schedule();
}

void MeetClient::lookup(Code code) {
    if (!hasPending([code](const Pending& p) { return p.kind == kLookup && p.code == code; })) {
        start({.kind = kLookup, .to = server_, .code = code});
    }
}

void MeetClient::requestRelay(Code code, Endpoint peer) {
    if (!hasPending([peer](const Pending& p) {
            return (p.kind == kRelayAsk || p.kind == kRelayOpen) && p.peer == peer;
        })) {
        start({.kind = kRelayAsk, .to = server_, .code = code, .peer = peer});
    }
}

void MeetClient::start(Pending p) {
    p.startMs = now();
    pending_.push_back(p);
    transmit(pending_.back());
    schedule();
}

void MeetClient::transmit(Pending& p) {
    send_(encode(build(p)), p.to);
    p.dueMs = now() + std::min(kResendMs << std::min(p.sent, 2), kMaxResendMs);
    ++p.sent;
}

Message MeetClient::build(const Pending& p) const {
    // The meeting point's cookie names our address, not its port: the one from its main port
    // serves at a relay port too, unless our router gives us another address there.
    uint64_t cookie = 0;
    for (const auto& [at, value] : cookies_) {
        if (at == p.to || (at == server_ && cookie == 0)) {
            cookie = value;
        }
    }
    switch (p.kind) {
        case kRegister:
            return Register{cookie, nonce_, name_, lan_};
        case kReclaim:
            return Reclaim{cookie, nonce_, claim_->first, claim_->second, name_, lan_};
        case kKeepalive:
            return Keepalive{cookie, registration_->code, registration_->secret,
                             registration_->epoch};
        case kLookup:
            return Lookup{cookie, p.code};
        case kRelayAsk:
            return RelayAsk{cookie, p.code, p.peer};
        default:
            return RelayOpen{cookie, p.token};
    }
}

uint64_t& MeetClient::cookieFor(Endpoint to) {
    for (auto& [at, value] : cookies_) {
        if (at == to) {
            return value;
        }
    }
    return cookies_.emplace_back(to, 0).second;
}

void MeetClient::handle(const Message& m, Endpoint from) {
    if (const auto* probe = std::get_if<Probe>(&m)) {
        // From the probe port, an address we never sent to: only the nonce tells it is ours.
        if (sameSecret(probe->nonce, nonce_) && !probed_) {
            probed_ = true;
            if (registration_ && reachabilityDueMs_) {
                reachabilityDueMs_.reset();
                tell(events_.reachability, true);
            }
        }
        return;
    }
    const bool fromRelay =
        hasPending([from](const Pending& p) { return p.kind == kRelayOpen && p.to == from; });
    if (from != server_ && !fromRelay) {
        return;
    }
    if (const auto* retry = std::get_if<Retry>(&m)) {
        cookieFor(from) = retry->cookie;
        for (Pending& p : pending_) {
            if (p.to == from && p.retries < kMaxRetries) {
                ++p.retries;
                transmit(p);
            }
        }
        schedule();
    } else if (const auto* state = std::get_if<RelayState>(&m)) {
        std::optional<Pending> open;
        settle([&](const Pending& p) {
            const bool done = p.kind == kRelayOpen && p.token == state->token && state->active;
            open = done ? std::optional(p) : open;
            return done;
        });
        if (open) {
            tell(events_.relayed, open->peer, open->to);
        }
    } else if (const auto* failure = std::get_if<Failure>(&m)) {
        onFailure(*failure, from);
    } else if (from != server_) {
        return;
    } else if (const auto* registered = std::get_if<Registered>(&m)) {
        onRegistered(*registered);
    } else if (const auto* alive = std::get_if<Alive>(&m)) {
        if (registration_ && alive->code == registration_->code &&
            settle([](const Pending& p) { return p.kind == kKeepalive; })) {
            registration_->seenAt = alive->seenAt;
        }
    } else if (const auto* found = std::get_if<Found>(&m)) {
        const Code code = found->code;
        if (settle([code](const Pending& p) { return p.kind == kLookup && p.code == code; })) {
            tell(events_.found, HostAddresses{code, found->host, found->name, found->lan});
        }
    } else if (const auto* arrived = std::get_if<PeerArrived>(&m)) {
        if (registration_ && arrived->code == registration_->code) {
            tell(events_.peerArrived, arrived->peer);
        }
    } else if (const auto* ready = std::get_if<RelayReady>(&m)) {
        onRelayReady(*ready);
    }
}

void MeetClient::onRegistered(const Registered& r) {
    if (!sameSecret(r.nonce, nonce_) ||
        !settle([](const Pending& p) { return registering(p.kind); })) {
        return;
    }
    registration_ = Registration{r.code, r.secret, r.epoch, r.seenAt};
    claim_.reset();
    keepaliveMs_ = std::max<int>(r.keepaliveSeconds, 1) * 1000;
    keepaliveDueMs_ = now() + keepaliveMs_;
    if (!probed_) {
        reachabilityDueMs_ = now() + kReachabilityWaitMs;
    }
    schedule();
    tell(events_.registered, *registration_);
    if (probed_) {
        tell(events_.reachability, true);
    }
}

void MeetClient::onFailure(const Failure& f, Endpoint from) {
    if (f.problem < static_cast<uint8_t>(Problem::UnknownCode) ||
        f.problem >= static_cast<uint8_t>(Problem::NoAnswer)) {
        return;
    }
    const auto problem = static_cast<Problem>(f.problem);
    std::optional<Pending> taken;
    settle([&f, from, &taken](const Pending& p) {
        const bool sameKind = p.kind == f.about || (registering(p.kind) && registering(f.about));
        const bool same =
            p.kind == kRelayOpen ? p.to == from : registering(p.kind) || p.code == f.code;
        taken = sameKind && same && !taken ? std::optional(p) : taken;
        return sameKind && same;
    });
    if (!taken) {
        return;
    }
    if (f.about == kKeepalive && registration_) {
        if (problem == Problem::UnknownCode) {
            // The meeting point forgot us (a restart, or an outage longer than its timeout):
            // the secret brings the same code back.
            const Registration r = *registration_;
            reclaimSession(r.code, r.secret, name_, lan_);
            return;
        }
        if (problem == Problem::NotHost) {
            registration_.reset();
            schedule();
        }
    }
    tell(events_.failed, requestOf(f.about), problem, taken->code, taken->peer);
}

void MeetClient::onRelayReady(const RelayReady& r) {
    const Endpoint relay{r.relay.ip != 0 ? r.relay.ip : server_.ip, r.relay.port};
    const Endpoint peer = r.peer;
    settle([peer](const Pending& p) { return p.kind == kRelayAsk && p.peer == peer; });
    const uint64_t token = r.token;
    if (!hasPending(
            [token](const Pending& p) { return p.kind == kRelayOpen && p.token == token; })) {
        start({.kind = kRelayOpen, .to = relay, .code = r.code, .peer = peer, .token = token});
    }
}

bool MeetClient::settle(const std::function<bool(const Pending&)>& match) {
    const auto gone = std::remove_if(pending_.begin(), pending_.end(), match);
    const bool any = gone != pending_.end();
    pending_.erase(gone, pending_.end());
    return any;
}

bool MeetClient::hasPending(const std::function<bool(const Pending&)>& match) const {
    return std::any_of(pending_.begin(), pending_.end(), match);
}

void MeetClient::poll() {
    const qint64 t = now();
    std::vector<Pending> expired;
    settle([&](const Pending& p) {
        const int limit = p.kind == kRelayOpen ? kRelayOpenGiveUpMs : kGiveUpMs;
        if (t - p.startMs >= limit) {
            expired.push_back(p);
            return true;
        }
        return false;
    });
    for (Pending& p : pending_) {
        if (p.dueMs <= t) {
            transmit(p);
        }
    }
    if (registration_ && t >= keepaliveDueMs_ &&
        !hasPending([](const Pending& p) { return p.kind == kKeepalive; })) {
        keepaliveDueMs_ = t + keepaliveMs_;
        start({.kind = kKeepalive, .to = server_, .code = registration_->code});
    }
    const bool unreached = reachabilityDueMs_ && t >= *reachabilityDueMs_;
    if (unreached) {
        reachabilityDueMs_.reset();
    }
    schedule();
    if (unreached) {
        tell(events_.reachability, false);
    }
    for (const Pending& p : expired) {
        tell(events_.failed, requestOf(p.kind), Problem::NoAnswer, p.code, p.peer);
    }
}

void MeetClient::schedule() {
    std::optional<qint64> due = reachabilityDueMs_;
    const auto sooner = [&due](qint64 at) { due = due ? std::min(*due, at) : at; };
    for (const Pending& p : pending_) {
        sooner(p.dueMs);
    }
    if (registration_) {
        sooner(keepaliveDueMs_);
    }
    if (!due) {
        timer_.stop();
        return;
    }
    timer_.start(static_cast<int>(std::clamp<qint64>(*due - now(), 0, 60000)));
}

}  // namespace orvel::meet
