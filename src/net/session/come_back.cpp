#include "net/session/come_back.h"

#include <algorithm>
#include <utility>

#include "net/session/members.h"
#include "net/trust/trust.h"

namespace dx8 {

std::vector<ReturnAddress> returnAddresses(const Roster& roster) {
    std::vector<DPNID> order;
    if (roster.hostId != roster.localId) {
        order.push_back(roster.hostId);
    }
    order.insert(order.end(), roster.succession.begin(), roster.succession.end());
    for (const Player* p : roster.presentInJoinOrder()) {
        order.push_back(p->id);
    }
    std::vector<ReturnAddress> out;
    const auto add = [&out](Endpoint at, DPNID id) {
        const auto same = [at](const ReturnAddress& a) { return a.at == at; };
        if (at.ipv4 != 0 && at.port != 0 && out.size() < kMaxReturnAddresses &&
            std::none_of(out.begin(), out.end(), same)) {
            out.push_back({at, id});
        }
    };
    for (DPNID id : order) {
        const Player* p = roster.present(id);
        if (p != nullptr && id != roster.localId) {
            add(p->seen, id);
            add(p->mapped, id);
        }
    }
    return out;
}

// ---- Keys ---------------------------------------------------------------------------------------

void ComeBack::keep(DPNID id, const QByteArray& key) {
    if (id == 0 || key.size() != kReturnKeyBytes) {
        return;
    }
    if (keys_.size() >= kMaxKeysKept && keys_.count(id) == 0) {
        // Room goes to players here over those gone.
        const auto gone = std::find_if(keys_.begin(), keys_.end(), [this](const auto& k) {
            return s_.roster.present(k.first) == nullptr;
        });
        if (gone == keys_.end()) {
            return;
        }
        keys_.erase(gone);
    }
    keys_[id] = key;
}

void ComeBack::becamePlayer() {
    Roster& r = s_.roster;
    if (!std::exchange(keepKey_, false)) {
        key_ = ReturnKey();
    }
    keep(r.localId, key_.publicKey());
    if (const LinkId host = r.hostLink(); host != 0 && !r.isHost()) {
        s_.links.send(host, net::msg::OwnKey{key_.publicKey()});
    }
}

void ComeBack::onKeyWord(DPNID from, const net::ControlMessage& m) {
    if (const auto* own = std::get_if<net::msg::OwnKey>(&m)) {
        onOwnKey(from, *own);
    } else if (const auto* of = std::get_if<net::msg::KeyOf>(&m)) {
        onKeyOf(*of);
    }
}

void ComeBack::onOwnKey(DPNID from, const net::msg::OwnKey& m) {
    const Player* p = s_.roster.present(from);
    if (p == nullptr || m.key.size() != kReturnKeyBytes) {
        return;
    }
    const auto known = keys_.find(from);
    if (known == keys_.end() || known->second != m.key) {
        keep(from, m.key);
        s_.broadcast(net::msg::KeyOf{from, m.key}, from);
    }
    // Whoever may host one day must be able to check anyone's return.
    if (toldAll_.insert(from).second) {
        for (const auto& [id, key] : keys_) {
            if (id != from) {
                s_.links.send(p->link, net::msg::KeyOf{id, key});
            }
        }
    }
}

void ComeBack::onKeyOf(const net::msg::KeyOf& m) {
    if (m.playerId != s_.roster.localId) {
        keep(m.playerId, m.key);
    }
}

void ComeBack::refuse(LinkId link, HRESULT code) {
    s_.links.send(link, net::joinRefuse(code));
    s_.drop(link, Drop::AwaitClose);
}

void ComeBack::onReturn(LinkId link, const net::msg::Return& m) {
    Roster& r = s_.roster;
    Link* state = s_.links.find(link);
    const auto key = keys_.find(m.playerId);
    if (state == nullptr || !r.inSession || trip_ || m.playerId == r.localId ||
        key == keys_.end()) {
        refuse(link, DPNERR_NOTALLOWED);
        return;
    }
    if (m.proof.isEmpty()) {
        // One challenge a link: the proof must answer it.
        if (state->challenge.isEmpty()) {
            state->challenge = newChallenge();
            s_.links.send(link, net::msg::JoinChallenge{state->challenge, r.desc.instance});
        }
        return;
    }
    const bool proven = provesReturn(key->second, m.proof, state->challenge, r.desc.instance,
                                     m.playerId, r.localId);
    state->challenge.clear();
    if (!proven) {
        qCDebug(lcSession) << "a return as" << m.playerId << "without its proof refused";
        refuse(link, DPNERR_NOTALLOWED);
        return;
    }
    if (!r.isHost()) {
        if (const LinkId host = r.hostLink(); host != 0) {
            const Endpoint at = s_.links.endpointOf(host);
            s_.links.send(link, net::msg::HostAt{at.ipv4, at.port});
        }
        refuse(link, DPNERR_NOTHOST);
        return;
    }
    qCDebug(lcSession) << "player" << m.playerId << "comes back";
    // It is the player: what of it is still here is a link it has lost.
    if (r.present(m.playerId) != nullptr) {
        members_.removePlayer(m.playerId, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
    }
    toldAll_.erase(m.playerId);
    meet_.retell(m.playerId);
    state->returnOf = m.playerId;  // HostJoin gives it its id back
}

// ---- Our own way back ---------------------------------------------------------------------------

bool ComeBack::cutOff() {
    Roster& r = s_.roster;
    if (trip_) {
        return true;
    }
    Trip t;
    t.addresses = returnAddresses(r);
    if (budgetMs_ <= 0 || t.addresses.empty()) {
        return false;
    }
    const Player* self = r.present(r.localId);
    t.id = r.localId;
    t.oldHost = r.hostId;
    t.name = self != nullptr ? self->name : r.localName;
    t.instance = r.desc.instance;
    t.application = r.desc.application;
    t.code = meet_.sessionCode();
    t.until = s_.now() + budgetMs_;
    // Every link goes without a word: the others are out of reach, and whoever answers later
    // proves itself anew. The roster stays as it was until we are back; nobody hosts here.
    std::vector<LinkId> all;
    for (const auto& [link, state] : s_.links.all()) {
        all.push_back(link);
    }
    for (LinkId link : all) {
        s_.drop(link, Drop::Silently);
    }
    for (auto& [id, p] : r.players) {
        p.link = 0;
    }
    r.hostId = 0;
    r.relayedPairs.clear();
    r.expectations.clear();
    s_.dials.clear();
    trip_ = std::move(t);
    tryNext();
    return true;
}

void ComeBack::start(DPNHANDLE handle, const ReturnTicket& ticket, int budgetMs) {
    Trip t;
    t.fresh = true;
    t.handle = handle;
    t.id = ticket.id;
    t.name = ticket.name;
    t.instance = ticket.instance;
    t.application = ticket.application;
    t.addresses = ticket.addresses;
    if (t.addresses.size() > kMaxReturnAddresses) {
        t.addresses.resize(kMaxReturnAddresses);
    }
    if (ticket.code != 0 && ticket.code <= orvel::meet::kCodeMask) {
        t.code = MeetLink::SessionCode{{ticket.code}, {ticket.meetAt.ipv4, ticket.meetAt.port}};
    }
    t.until = s_.now() + budgetMs;
    key_ = ReturnKey(ticket.keySeed);
    trip_ = std::move(t);
    tryNext();
}

void ComeBack::tryFirst(ReturnAddress at) {
    if (!trip_ || at.at.ipv4 == 0 || at.at.port == 0 || at.player == 0) {
        return;
    }
    std::vector<ReturnAddress>& to = trip_->addresses;
    std::erase_if(to, [&at](const ReturnAddress& a) { return a.at == at.at; });
    const size_t next = trip_->next % (to.size() + 1);
    to.insert(to.begin() + static_cast<std::ptrdiff_t>(next), at);
    if (to.size() > kMaxReturnAddresses) {
        to.pop_back();
    }
    trip_->next = next;
}

void ComeBack::onHostAt(const net::msg::HostAt& m) {
    // Only a hint toward a player we know there: whoever sent it may lie, and a proof made for
    // a stranger's address could be handed on to the host as ours.
    if (!trip_) {
        return;
    }
    const Endpoint at{m.ipv4, m.port};
    const auto known = std::find_if(trip_->addresses.begin(), trip_->addresses.end(),
                                    [at](const ReturnAddress& a) { return a.at == at; });
    if (known != trip_->addresses.end()) {
        tryFirst(*known);
    }
}

void ComeBack::askMeetingPoint() {
    Trip& t = *trip_;
    if (!t.code || t.next == 0 || s_.now() < t.lookupAt) {
        return;  // the addresses we knew have the first word
    }
    t.lookupAt = s_.now() + kLookupAgainMs;
    const bool asked = meet_.lookupFor(t.code->code, t.code->point,
                                       [this](std::optional<Endpoint> host) { onFound(host); });
    if (asked) {
        qCDebug(lcSession) << "asking the meeting point where the host is now";
    }
}

void ComeBack::onFound(std::optional<Endpoint> host) {
    if (!trip_ || !host || host->ipv4 == 0 || host->port == 0) {
        return;
    }
    // The code names no player: whoever holds it now is one we knew, most likely the one we
    // knew at that address, else the host and those next in line, in turn. A proof made for one
    // passes with that one alone.
    Trip& t = *trip_;
    std::vector<DPNID> players;
    for (const ReturnAddress& a : t.addresses) {
        if (a.at == *host) {
            players.push_back(a.player);
        }
    }
    for (const ReturnAddress& a : t.addresses) {
        players.push_back(a.player);
    }
    t.found.clear();
    for (DPNID id : players) {
        const auto same = [id](const ReturnAddress& a) { return a.player == id; };
        if (id != 0 && id != t.id && std::none_of(t.found.begin(), t.found.end(), same)) {
            t.found.push_back({*host, id});
        }
    }
}

void ComeBack::tryNext() {
    askMeetingPoint();
    Trip& t = *trip_;
    const bool byCode = !t.found.empty();
    const ReturnAddress to = byCode ? t.found.front() : t.addresses[t.next++ % t.addresses.size()];
    if (byCode) {
        t.found.erase(t.found.begin());
    }
    const Endpoint at = to.at;
    t.tryPlayer = to.player;
    t.tryLinkMs = byCode ? kTryByCodeMs : kTryLinkMs;
    t.tryAt = 0;
    t.tryStarted = s_.now();
    t.tryLink = s_.links.connectTo(at.ipv4, at.port);
    if (t.tryLink == 0) {
        t.tryAt = t.tryStarted + kTryGapMs;
        return;
    }
    qCDebug(lcSession) << "trying to come back through" << at.ipv4 << at.port;
    auto request =
        std::get<net::msg::JoinRequest>(net::joinRequest(t.application, t.instance, t.name));
    request.lanIpv4 = localAddressToward(at.ipv4);
    request.lanPort = s_.links.localPort();
    request.mappedIpv4 = s_.roster.mapped.ipv4;
    request.mappedPort = s_.roster.mapped.port;
    ReturnJoin back;
    back.claim.playerId = t.id;
    back.to = t.tryPlayer;
    back.prove = [this](const QByteArray& challenge, const QUuid& instance) {
        return trip_ && instance == trip_->instance
                   ? key_.prove(challenge, instance, trip_->id, trip_->tryPlayer)
                   : QByteArray();
    };
    back.done = [this](std::map<DPNID, Player> before, const std::vector<DPNID>& order) {
        returned(std::move(before), order);
    };
    back.failed = [this](HRESULT why) { tryFailed(why); };
    joiner_.begin(t.handle, t.tryLink, at.ipv4, std::move(request), QString(), false,
                  std::move(back));
    if (byCode) {
        meet_.joiningByCode(t.code->code, at);  // the meeting point relays if no link forms
    }
    s_.links.flush();
}

void ComeBack::tryFailed(HRESULT why) {
    if (!trip_) {
        return;
    }
    qCDebug(lcSession) << "a try to come back failed with" << hresultHex(why);
    trip_->last = why;
    trip_->tryAt = std::max(s_.now(), trip_->tryStarted + kTryGapMs);
}

bool ComeBack::hold(DPNID target, const QByteArray& data, int32_t flags) {
    if (!trip_ || trip_->fresh || target == s_.roster.localId ||
        (target != DPNID_ALL_PLAYERS_GROUP && s_.roster.present(target) == nullptr)) {
        return false;
    }
    if ((flags & DPNSEND_GUARANTEED) != 0 && held_.size() < kMaxHeldSends &&
        heldBytes_ + data.size() <= kMaxHeldBytes) {
        held_.push_back({target, data, flags});
        heldBytes_ += data.size();
    }
    return true;
}

void ComeBack::returned(std::map<DPNID, Player> before, const std::vector<DPNID>& order) {
    const Trip t = std::move(*trip_);
    trip_.reset();
    keepKey_ = true;
    code_ = t.code;
    Roster& r = s_.roster;
    qCWarning(lcSession) << "back in the session as player" << r.localId;
    // What changed while we were away, as the events of a running session would have told it.
    for (auto& [id, p] : before) {
        if (id != r.localId && !p.gone && r.present(id) == nullptr) {
            p.gone = true;
            p.link = 0;
            r.players[id] = p;
            members_.destroyPlayer(id, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
        }
    }
    const auto isNew = [&before](DPNID id) {
        const auto it = before.find(id);
        return it == before.end() || it->second.gone;
    };
    if (isNew(r.localId)) {
        s_.events.createPlayer(r.localId);
    }
    for (DPNID id : order) {
        if (isNew(id)) {
            s_.events.createPlayer(id);
        } else if (before.at(id).name != r.players.at(id).name) {
            s_.events.infoNotify(id);
        }
    }
    if (t.oldHost != 0 && t.oldHost != r.hostId) {
        s_.events.hostMigrate(r.hostId);
    }
    if (t.fresh) {
        s_.events.connectComplete(t.handle, DPN_OK);
    }
    heldBytes_ = 0;
    for (const Held& h : std::exchange(held_, {})) {
        if (resend) {
            resend(h);
        }
    }
}

void ComeBack::lost() {
    const Trip t = std::move(*trip_);
    trip_.reset();
    held_.clear();
    heldBytes_ = 0;
    qCWarning(lcSession) << "could not come back: the session is lost";
    if (t.fresh) {
        s_.leave();
        s_.events.connectComplete(t.handle, failureOr(t.last, DPNERR_NORESPONSE));
        return;
    }
    members_.endSession(DPNERR_CONNECTIONLOST, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
}

void ComeBack::checkDeadline(qint64 now) {
    if (!trip_) {
        return;
    }
    Trip& t = *trip_;
    if (joiner_.active()) {
        // A join under way that the host has accepted gets its own time to finish.
        const Link* link = s_.links.find(t.tryLink);
        if (now >= t.until && !joiner_.accepted()) {
            joiner_.fail(DPNERR_CONNECTIONLOST);
        } else if ((link == nullptr || !link->connected) && now >= t.tryStarted + t.tryLinkMs) {
            joiner_.fail(DPNERR_NORESPONSE);
        }
        return;
    }
    if (now >= t.until) {
        lost();
    } else if (t.tryAt != 0 && now >= t.tryAt) {
        tryNext();
    }
}

qint64 ComeBack::deadline() const {
    if (!trip_) {
        return 0;
    }
    if (!joiner_.active()) {
        return trip_->tryAt != 0 ? std::min(trip_->tryAt, trip_->until) : trip_->until;
    }
    const Link* link = s_.links.find(trip_->tryLink);
    if (link == nullptr || !link->connected) {
        return std::min(trip_->tryStarted + trip_->tryLinkMs, trip_->until);
    }
    return joiner_.accepted() ? 0 : trip_->until;
}

ReturnTicket ComeBack::ticket() const {
    ReturnTicket t;
    const Roster& r = s_.roster;
    std::optional<MeetLink::SessionCode> code;
    if (trip_) {
        t.instance = trip_->instance;
        t.application = trip_->application;
        t.id = trip_->id;
        t.name = trip_->name;
        t.addresses = trip_->addresses;
        code = trip_->code;
    } else if (r.inSession) {
        const Player* self = r.present(r.localId);
        t.instance = r.desc.instance;
        t.application = r.desc.application;
        t.id = r.localId;
        t.name = self != nullptr ? self->name : r.localName;
        t.addresses = returnAddresses(r);
        code = meet_.sessionCode() ? meet_.sessionCode() : code_;
    }
    if (code) {
        t.code = code->code.bits;
        t.meetAt = {code->point.ip, code->point.port};
    }
    t.keySeed = key_.secret();
    return t;
}

void ComeBack::reset() {
    trip_.reset();
    held_.clear();
    heldBytes_ = 0;
    keys_.clear();
    toldAll_.clear();
    keepKey_ = false;
    code_.reset();
}

}  // namespace dx8
