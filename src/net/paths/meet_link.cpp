#include "net/paths/meet_link.h"

#include <QNetworkInterface>
#include <QRandomGenerator>
#include <algorithm>

#include "net/paths/address_text.h"
#include "net/paths/nat_paths.h"
#include "net/paths/relay.h"

namespace dx8 {

namespace meet = orvel::meet;

namespace {

// While a meeting point is in use, the session's duties toward it are looked at this often.
constexpr int kPollMs = 500;
constexpr size_t kMaxRemembered = 32;  // joiners announced, relays opened
constexpr size_t kMaxPairings = 8;
constexpr int kResolveAgainMs = 30000;

QString& pointText() {
    static QString text;
    return text;
}

meet::Endpoint toMeet(Endpoint e) {
    return {e.ipv4, e.port};
}

Endpoint fromMeet(meet::Endpoint e) {
    return {e.ip, e.port};
}

}  // namespace

void setMeetPoint(const QString& hostPort) {
    pointText() = hostPort.trimmed();
}

QString meetPoint() {
    return pointText();
}

MeetLink::MeetLink(SessionContext& session, Relay& relay) : s_(session), relay_(relay) {}

MeetLink::~MeetLink() = default;

std::optional<meet::Endpoint> MeetLink::point() {
    const QString text = meetPoint();
    if (text.isEmpty()) {
        return std::nullopt;
    }
    const auto [host, port] = splitHostPort(text);
    const auto ip = host.isEmpty() || port < 0 ? std::nullopt : resolveIpv4(host);
    if (!ip) {
        return std::nullopt;
    }
    return meet::Endpoint{*ip, static_cast<uint16_t>(port > 0 ? port : meet::kDefaultPort)};
}

std::optional<meet::Code> MeetLink::codeIn(const QString& host) {
    if (meetPoint().isEmpty() || host.contains(QLatin1Char('.')) ||
        host.contains(QLatin1Char(':'))) {
        return std::nullopt;
    }
    const auto code = meet::parseCode(host);
    const bool written = host.contains(QLatin1Char('-')) || host.contains(QLatin1Char(' '));
    if (!code || (!written && resolveIpv4(host))) {
        return std::nullopt;  // a machine of that name
    }
    return code;
}

bool MeetLink::ensureClient() {
    if (client_) {
        return true;
    }
    const qint64 now = s_.now();
    if (meetPoint().isEmpty() || (resolvedAt_ >= 0 && now - resolvedAt_ < kResolveAgainMs)) {
        return false;
    }
    resolvedAt_ = now;
    server_ = point();
    if (!server_) {
        problem_ = QStringLiteral("the meeting point %1 has no address").arg(meetPoint());
        return false;
    }
    meet::MeetClient::Events e;
    e.registered = [this](const meet::MeetClient::Registration& r) { registered(r); };
    e.reachability = [this](bool unasked) { reachable_ = unasked; };
    e.peerArrived = [this](meet::Endpoint joiner) {
        // Toward the joiner at once: it opens our routers for the joiner's link.
        const Endpoint at = fromMeet(joiner);
        arrived(at);
        s_.links.punch(at.ipv4, at.port);
    };
    e.found = [this](const meet::MeetClient::HostAddresses& h) { looked(h); };
    e.relayed = [this](meet::Endpoint peer, meet::Endpoint relay) { relayed(peer, relay); };
    e.failed = [this](meet::MeetClient::Request request, meet::Problem problem, meet::Code,
                      meet::Endpoint peer) {
        if (request == meet::MeetClient::Request::Relay) {
            std::erase_if(pairings_, [peer](const Pairing& p) { return p.peer == peer; });
        }
        failed(request, problem);
    };
    client_ = std::make_unique<meet::MeetClient>(
        *server_,
        [this](const QByteArray& datagram, meet::Endpoint to) {
            s_.links.sendDatagram(fromMeet(to), datagram);
        },
        std::move(e));
    return true;
}

void MeetLink::receive(const uint8_t* data, size_t size, Endpoint from) {
    if (client_) {
        client_->receive(data, size, toMeet(from));
    }
}

bool MeetLink::lookup(meet::Code code, std::function<void(const Found&)> answer) {
    if (!ensureClient()) {
        return false;
    }
    lookupFailure_ = DPNERR_NORESPONSE;
    answer_ = std::move(answer);
    failOnReset_ = true;
    client_->lookup(code);
    return true;
}

void MeetLink::looked(std::optional<meet::MeetClient::HostAddresses> found) {
    if (auto answer = std::exchange(answer_, nullptr)) {
        answer(Found{found ? std::optional(fromMeet(found->seenAt)) : std::nullopt,
                     found ? DPN_OK : lookupFailure_});
    }
}

std::optional<MeetLink::SessionCode> MeetLink::sessionCode() const {
    return shared_ ? std::optional(SessionCode{shared_->code, shared_->point}) : std::nullopt;
}

bool MeetLink::lookupFor(meet::Code code, meet::Endpoint point,
                         std::function<void(std::optional<Endpoint>)> answer) {
    // A code is only good at the meeting point that gave it, and only one the player set is
    // ever sent to.
    if (!ensureClient() || !(*server_ == point)) {
        return false;
    }
    lookupFailure_ = DPNERR_NORESPONSE;
    answer_ = [answer = std::move(answer)](const Found& found) { answer(found.host); };
    failOnReset_ = false;
    client_->lookup(code);
    return true;
}

void MeetLink::arrived(Endpoint at) {
    std::erase(arrivals_, at);
    arrivals_.push_back(at);
    if (arrivals_.size() > kMaxRemembered) {
        arrivals_.pop_front();
    }
}

void MeetLink::joiningByCode(meet::Code code, Endpoint host) {
    arrived(host);
    byCode_ = ByCode{code, host, s_.now() + kMeetDirectWaitMs, false};
    pollAt_ = byCode_->relayAt;
}

void MeetLink::onHostWord(const net::ControlMessage& m) {
    if (const auto* code = std::get_if<net::msg::MeetCode>(&m)) {
        onCode(*code);
    } else if (const auto* pair = std::get_if<net::msg::MeetPair>(&m)) {
        onPair(*pair);
    }
}

void MeetLink::onCode(const net::msg::MeetCode& m) {
    if (m.secret.size() != static_cast<qsizetype>(meet::Secret{}.size()) ||
        m.code > meet::kCodeMask) {
        return;
    }
    Shared shared;
    shared.code = meet::Code{m.code};
    std::copy(m.secret.begin(), m.secret.end(), shared.secret.begin());
    shared.point = {m.pointIpv4, m.pointPort};
    shared_ = shared;
    ensureClient();  // to know whether the code is at our meeting point; nothing is sent
}

void MeetLink::onPair(const net::msg::MeetPair& m) {
    const meet::Endpoint peer{m.meetIpv4, m.meetPort};
    if (!shared_ || !ensureClient() || !(shared_->point == *server_) || peer.ip == 0 ||
        peer.port == 0 || s_.roster.present(m.player.id) == nullptr ||
        m.player.id == s_.roster.localId) {
        return;
    }
    std::erase_if(pairings_, [peer](const Pairing& p) { return p.peer == peer; });
    if (pairings_.size() >= kMaxPairings) {
        return;
    }
    pairings_.push_back({m.player, peer});
    // Both sides ask: each answer refreshes the asker's own router toward the meeting point.
    client_->requestRelay(shared_->code, peer);
}

void MeetLink::relayed(meet::Endpoint peer, meet::Endpoint relay) {
    const Endpoint at = fromMeet(relay);
    std::erase_if(relays_, [at](const auto& r) { return r.first == at; });
    relays_.emplace_back(at, peer);
    if (relays_.size() > kMaxRemembered) {
        relays_.pop_front();
    }
    if (byCode_ && peer == toMeet(byCode_->host)) {
        for (auto& [link, state] : s_.links.all()) {
            if (state.kind == LinkKind::ToHost && !state.connected) {
                qCDebug(lcSession) << "no direct link to the host: through the meeting point";
                s_.links.redirect(link, at);
            }
        }
    }
    for (const Pairing& p : pairings_) {
        if (p.peer == peer && p.entry.token != 0) {
            // As a relayed partner the host introduces, at the relay's address alone.
            net::PlayerEntry entry = p.entry;
            entry.ipv4 = at.ipv4;
            entry.port = at.port;
            entry.lanIpv4 = entry.mappedIpv4 = 0;
            entry.lanPort = entry.mappedPort = 0;
            relay_.onReach(net::msg::Reach{entry});
        }
    }
    std::erase_if(pairings_, [peer](const Pairing& p) { return p.peer == peer; });
}

void MeetLink::registered(const meet::MeetClient::Registration& r) {
    registering_ = false;
    problem_.clear();
    reachable_.reset();
    shared_ = Shared{r.code, r.secret, *server_};
    told_.clear();  // everyone hears the code again
    qCDebug(lcSession).noquote() << "registered at the meeting point as" << meet::formatCode(r.code)
                                 << "epoch" << r.epoch;
}

void MeetLink::failed(meet::MeetClient::Request request, meet::Problem problem) {
    using Request = meet::MeetClient::Request;
    const bool notOurs = problem == meet::Problem::NotHost || problem == meet::Problem::CodeTaken;
    switch (request) {
        case Request::Lookup:
            lookupFailure_ = problem == meet::Problem::UnknownCode ? DPNERR_INVALIDHOSTADDRESS
                                                                   : DPNERR_NORESPONSE;
            looked(std::nullopt);
            return;
        case Request::Register:
            registering_ = false;
            retryAt_ = notOurs ? 0 : s_.now() + kMeetRetryMs;
            break;
        case Request::Keepalive:
            if (problem != meet::Problem::NotHost) {
                return;  // it keeps trying by itself
            }
            break;
        case Request::Relay:
            return;
    }
    // A code another host holds now is not taken back: ours becomes a new one.
    if (notOurs) {
        shared_.reset();
    }
    problem_ = meet::describe(problem);
    qCDebug(lcSession).noquote() << "the meeting point refused:" << problem_;
}

std::vector<meet::Endpoint> MeetLink::lanAddresses() const {
    std::vector<meet::Endpoint> out;
    const uint16_t port = s_.links.localPort();
    for (const QNetworkInterface& nif : QNetworkInterface::allInterfaces()) {
        const auto f = nif.flags();
        if (!(f & QNetworkInterface::IsUp) || !(f & QNetworkInterface::IsRunning) ||
            (f & QNetworkInterface::IsLoopBack)) {
            continue;
        }
        for (const QNetworkAddressEntry& e : nif.addressEntries()) {
            bool v4 = false;
            const uint32_t ip = e.ip().toIPv4Address(&v4);
            if (v4 && ip != 0 && out.size() < static_cast<size_t>(meet::kMaxLanAddresses)) {
                out.push_back({ip, port});
            }
        }
    }
    return out;
}

void MeetLink::hostDuties(qint64 now) {
    const Roster& r = s_.roster;
    if (!r.isHost()) {
        told_.clear();
        return;
    }
    if (!registering_ && now >= retryAt_ && ensureClient() && !client_->registration()) {
        registering_ = true;
        if (shared_ && shared_->point == *server_) {
            // The session had its code before we took over: the same code, a new epoch.
            client_->reclaimSession(shared_->code, shared_->secret, r.desc.name, lanAddresses());
        } else {
            client_->registerSession(r.desc.name, lanAddresses());
        }
    }
    tellCode();
}

void MeetLink::tellCode() {
    if (!s_.roster.isHost() || !client_ || !client_->registration() || !shared_) {
        return;
    }
    const QByteArray secret(reinterpret_cast<const char*>(shared_->secret.data()),
                            static_cast<qsizetype>(shared_->secret.size()));
    for (const Player* p : s_.roster.presentInJoinOrder()) {
        if (p->link == 0 || std::find(told_.begin(), told_.end(), p->id) != told_.end()) {
            continue;
        }
        s_.links.send(p->link,
                      net::msg::MeetCode{shared_->code.bits, secret, server_->ip, server_->port});
        told_.push_back(p->id);
    }
}

std::optional<meet::Endpoint> MeetLink::meetAddressOf(const Player& p) const {
    for (const auto& [relay, peer] : relays_) {
        if (relay == p.seen) {
            return peer;
        }
    }
    if (std::find(arrivals_.begin(), arrivals_.end(), p.seen) != arrivals_.end()) {
        return toMeet(p.seen);
    }
    return std::nullopt;
}

void MeetLink::pairRelayed(qint64 now) {
    const Roster& r = s_.roster;
    if (!r.isHost() || !r.migrates() || !shared_ || !client_ || !client_->registration()) {
        relayedSince_.clear();
        pairedAt_.clear();
        return;
    }
    const auto gone = [&r](const auto& entry) { return r.relayedPairs.count(entry.first) == 0; };
    std::erase_if(relayedSince_, gone);
    std::erase_if(pairedAt_, gone);
    for (const auto& pair : r.relayedPairs) {
        // Carried by us, they would lose each other with us: a relay of their own keeps them.
        const qint64 since = relayedSince_.emplace(pair, now).first->second;
        const auto tried = pairedAt_.find(pair);
        const Player* a = r.present(pair.first);
        const Player* b = r.present(pair.second);
        if (now - since < kMeetPairAfterMs ||
            (tried != pairedAt_.end() && now - tried->second < kMeetPairRetryMs) || a == nullptr ||
            b == nullptr || a->link == 0 || b->link == 0) {
            continue;
        }
        const auto atA = meetAddressOf(*a);
        const auto atB = meetAddressOf(*b);
        if (!atA || !atB) {
            continue;
        }
        pairedAt_[pair] = now;
        const bool aLinks = a->seq > b->seq;  // the later joined links, as in its join
        const Player& from = aLinks ? *a : *b;
        const Player& to = aLinks ? *b : *a;
        const meet::Endpoint fromAt = aLinks ? *atA : *atB;
        const meet::Endpoint toAt = aLinks ? *atB : *atA;
        net::PlayerEntry toEntry = entryOf(to, {});
        toEntry.token = QRandomGenerator::system()->generate64();
        s_.links.send(to.link, net::expect(from.id, toEntry.token, 0, 0));
        s_.links.send(from.link, net::msg::MeetPair{toEntry, toAt.ip, toAt.port});
        s_.links.send(to.link, net::msg::MeetPair{entryOf(from, {}), fromAt.ip, fromAt.port});
    }
}

void MeetLink::joinDuties(qint64 now) {
    if (!byCode_) {
        return;
    }
    const auto toHost =
        std::find_if(s_.links.all().begin(), s_.links.all().end(),
                     [](const auto& l) { return l.second.kind == LinkKind::ToHost; });
    if (toHost == s_.links.all().end()) {
        byCode_.reset();  // the join is over
        return;
    }
    if (!toHost->second.connected && !byCode_->asked && now >= byCode_->relayAt && client_) {
        byCode_->asked = true;
        client_->requestRelay(byCode_->code, toMeet(byCode_->host));
    }
}

void MeetLink::checkDeadline(qint64 now) {
    if ((!client_ && meetPoint().isEmpty()) || (!s_.roster.inSession && !byCode_)) {
        pollAt_ = 0;
        return;
    }
    hostDuties(now);
    pairRelayed(now);
    joinDuties(now);
    pollAt_ = now + kPollMs;
}

void MeetLink::leaving() {
    const Roster& r = s_.roster;
    // With players left in a session that migrates, whoever hosts next takes the code over:
    // one who joined since the last look hears it now, ahead of our goodbye.
    if (client_ && client_->registration() && r.migrates() && r.activePlayers() > 1) {
        tellCode();
    } else if (client_ && client_->registration()) {
        client_->unregisterSession();
    }
}

void MeetLink::reset() {
    client_.reset();
    server_.reset();
    resolvedAt_ = -1;
    pollAt_ = 0;
    shared_.reset();
    registering_ = false;
    retryAt_ = 0;
    reachable_.reset();
    problem_.clear();
    told_.clear();
    byCode_.reset();
    arrivals_.clear();
    relays_.clear();
    pairings_.clear();
    relayedSince_.clear();
    pairedAt_.clear();
    // A join's lookup that still waits is over, and told so; a way back's is simply dropped.
    auto answer = std::exchange(answer_, nullptr);
    if (answer && std::exchange(failOnReset_, false)) {
        answer(Found{std::nullopt, lookupFailure_});
    }
}

MeetStatus MeetLink::status() const {
    MeetStatus st;
    if (shared_ && server_ && shared_->point == *server_) {
        st.code = meet::formatCode(shared_->code);
    }
    st.holding = client_ && client_->registration() && s_.roster.isHost();
    if (st.holding) {
        st.seenAt = fromMeet(client_->registration()->seenAt);
        st.way = !reachable_   ? MeetStatus::Way::Unknown
                 : *reachable_ ? MeetStatus::Way::Unasked
                               : MeetStatus::Way::Introduced;
    }
    st.problem = problem_;
    return st;
}

PathKind MeetLink::pathOf(const Player& p) const {
    if (p.path == PathKind::Relayed) {
        return p.path;
    }
    if (std::any_of(relays_.begin(), relays_.end(),
                    [&p](const auto& r) { return r.first == p.seen; })) {
        return PathKind::MeetRelayed;
    }
    const bool introduced =
        std::find(arrivals_.begin(), arrivals_.end(), p.seen) != arrivals_.end();
    return introduced ? PathKind::Punched : p.path;
}

}  // namespace dx8
