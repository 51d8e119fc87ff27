#include "net/session/session_core.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QRandomGenerator>

#include "common/shown_text.h"
#include "net/paths/address_text.h"
#include "net/paths/nat_paths.h"
#include "net/paths/session_address_source.h"

Q_LOGGING_CATEGORY(lcSession, "orvel.session", QtCriticalMsg)

namespace dx8 {

namespace {

constexpr int kMaxSendBytes = 256 * 1024;
constexpr int kDefaultEnumIntervalMs = 1000;
constexpr int kDefaultEnumCount = 5;
constexpr int kDefaultEnumTimeoutMs = 1500;

const QString kProviderName = QStringLiteral("DirectPlay8 TCP/IP Service Provider");

}  // namespace

SessionCore::SessionCore(bool clientOnly, QObject* parent)
    : QObject(parent),
      clientOnly_(clientOnly),
      events_(new SessionEvents(this)),
      links_(std::make_unique<EnetLinks>(*this, clock_)),
      roles_(
          *links_, *events_, [this] { return now(); }, [this] { leaveSession(false); }),
      roster_(roles_.roster()),
      joiner_(roles_.joiner()) {
    clock_.start();
    // What the program sent while we were cut off goes once we are back; it was looped back
    // and completed already.
    roles_.comeBack().resend = [this](const ComeBack::Held& h) {
        try {
            sendTo(h.target, h.data, 0, h.flags | DPNSEND_NOLOOPBACK | DPNSEND_NOCOMPLETE);
        } catch (const DxError& e) {
            qCDebug(lcSession) << "a send held while cut off is dropped" << hresultHex(e.code());
        }
    };
}

SessionCore::~SessionCore() {
    searches_.clear();
    joiner_.abandon();
    if (roster_.inSession) {
        leaveSession(true);
    }
    links_->close();
}

DPNHANDLE SessionCore::newHandle() {
    const DPNHANDLE h = nextHandle_;
    nextHandle_ = nextHandle_ >= 0x7FFFFFF0 ? 1 : nextHandle_ + 1;
    return h;
}

DPN_SERVICE_PROVIDER_INFO SessionCore::serviceProvider(int32_t index) const {
    if (index != 1) {
        raise(DPNERR_DOESNOTEXIST);
    }
    DPN_SERVICE_PROVIDER_INFO info;
    info.Guid = DP8SP_TCPIP;
    info.Name = kProviderName;
    return info;
}

// ---- Discovery at the session port ----------------------------------------------------------

std::optional<QByteArray> SessionCore::queryArrived(const uint8_t* data, size_t size, uint32_t ip,
                                                    uint16_t port) {
    auto answer = responder_.answer(data, size, ip, now(), roster_);
    if (answer) {
        events_->enumHostsQuery(hostUrl(ip, port));
    }
    return answer;
}

void SessionCore::searchFinished(DPNHANDLE handle, HRESULT result) {
    const auto it = searches_.find(handle);
    if (it == searches_.end()) {
        return;
    }
    it->second->stop();
    // The search may be the caller; it goes once the current call has returned.
    QMetaObject::invokeMethod(
        this, [this, handle] { searches_.erase(handle); }, Qt::QueuedConnection);
    events_->asyncOpComplete(handle, result);
}

// ---- Player information ------------------------------------------------------------------------

DPNHANDLE SessionCore::setLocalInfo(const DPN_PLAYER_INFO& info, int32_t flags) {
    roster_.localName = info.Name;
    roles_.members().rename(roster_.localName);
    if (flags & DPNOP_SYNC) {
        return 0;
    }
    const DPNHANDLE handle = newHandle();
    events_->asyncOpComplete(handle, DPN_OK);
    return handle;
}

DPN_PLAYER_INFO SessionCore::playerInfo(DPNID id, int32_t flags) const {
    Q_UNUSED(flags);
    DPN_PLAYER_INFO info;
    info.lSize = 1;
    info.lInfoFlags = DPNINFO_NAME;
    if (id != 0 && id == roster_.localId) {
        // In a session, the name the host made unique for us.
        const Player* self = roster_.present(id);
        info.Name = self != nullptr ? self->name : roster_.localName;
        info.lPlayerFlags = DPNPLAYER_LOCAL | (id == roster_.hostId ? DPNPLAYER_HOST : 0);
        return info;
    }
    const auto it = roster_.players.find(id);
    if (id == 0 || it == roster_.players.end()) {
        raise(DPNERR_INVALIDPLAYER);
    }
    info.Name = it->second.name;
    info.lPlayerFlags = id == roster_.hostId ? DPNPLAYER_HOST : 0;
    return info;
}

// ---- Hosting ------------------------------------------------------------------------------------

void SessionCore::host(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* device,
                       int32_t flags) {
    if (clientOnly_) {
        raise(DPNERR_UNSUPPORTED);
    }
    if (roster_.inSession) {
        raise(isHost() ? DPNERR_HOSTING : DPNERR_ALREADYCONNECTED);
    }
    if (joiner_.active()) {
        raise(DPNERR_CONNECTING);
    }
    if ((flags & ~DPNHOST_OKTOQUERYFORADDRESSING) != 0 ||
        (desc.lFlags & DPNSESSION_CLIENT_SERVER) != 0) {
        raise(DPNERR_INVALIDFLAGS);
    }
    if (desc.lMaxPlayers < 0) {
        raise(DPNERR_INVALIDPARAM);
    }
    const QUuid application = parseGuid(desc.guidApplication);
    if (application.isNull()) {
        raise(DPNERR_INVALIDAPPLICATION);
    }
    if (!providerOk(device)) {
        raise(DPNERR_INVALIDDEVICEADDRESS);
    }
    uint32_t bindIp = 0;
    const QString bindName = hostnameOf(device);
    if (!bindName.isEmpty()) {
        const auto ip = resolveIpv4(bindName);
        if (!ip) {
            raise(DPNERR_INVALIDDEVICEADDRESS);
        }
        bindIp = *ip;
    }
    const int port = portOf(device).value_or(kDefaultSessionPort);
    if (!links_->open(bindIp, port, false)) {
        raise(DPNERR_INVALIDDEVICEADDRESS, "no free session port");
    }
    Roster& r = roster_;
    ++r.generation;
    r.desc = net::SessionDesc{QUuid::createUuid(), application, desc.lMaxPlayers,
                              desc.lFlags & DPNSESSION_MIGRATE_HOST, desc.SessionName};
    r.password = desc.Password;
    r.idSalt = QRandomGenerator::system()->generate();
    r.nextSeq = 0;
    uint32_t seq = 0;
    r.localId = r.allocateId(seq);
    r.localSeq = seq;
    r.hostId = r.localId;
    r.players.clear();
    r.players[r.localId] =
        Player::self(r.localId, seq, orvel::playerName(r.localName), sessionPort());
    r.inSession = true;
    roles_.comeBack().becamePlayer();
    qCDebug(lcSession) << "hosting" << r.desc.name << "on port" << sessionPort();
    events_->createPlayer(r.localId);
    roles_.meet().checkDeadline(now());  // registers at once where a meeting point is set
}

// ---- Searching and joining ----------------------------------------------------------------------

DPNHANDLE SessionCore::enumHosts(const DPN_APPLICATION_DESC& desc,
                                 const DirectPlay8Address* hostAddr,
                                 const DirectPlay8Address* device, int32_t retryCount,
                                 int32_t retryInterval, int32_t timeOut, int32_t flags) {
    if (!providerOk(device) || !providerOk(hostAddr)) {
        raise(DPNERR_INVALIDDEVICEADDRESS);
    }
    QUuid application;
    if (!desc.guidApplication.trimmed().isEmpty()) {
        application = parseGuid(desc.guidApplication);
        if (application.isNull()) {
            raise(DPNERR_INVALIDAPPLICATION);
        }
    }
    SessionAddressSource& source = sessionAddressSource();
    QString hostText = hostnameOf(hostAddr);
    int port = portOf(hostAddr).value_or(0);
    if (hostText.isEmpty()) {
        const auto typed = (flags & DPNENUMHOSTS_OKTOQUERYFORADDRESSING) != 0
                               ? source.ask()
                               : std::optional<QString>(QString());
        if (!typed) {
            raise(DPNERR_USERCANCEL);
        }
        const auto [h, p] = splitHostPort(*typed);
        if (p < 0) {
            raise(DPNERR_INVALIDHOSTADDRESS);
        }
        hostText = h;
        if (p > 0) {
            port = p;
        }
    }
    std::vector<HostSearch::Target> targets;
    const auto range = [port](uint32_t ip) {
        return port > 0 ? HostSearch::Target{ip, static_cast<uint16_t>(port),
                                             static_cast<uint16_t>(port)}
                        : HostSearch::Target{ip, static_cast<uint16_t>(kDefaultSessionPort),
                                             static_cast<uint16_t>(kLastSessionPort)};
    };
    const auto code = MeetLink::codeIn(hostText);
    const auto point = code ? MeetLink::point() : std::nullopt;
    if (code && !point) {
        raise(DPNERR_INVALIDHOSTADDRESS, "the meeting point has no address");
    } else if (!hostText.isEmpty() && !code) {
        const auto ip = resolveIpv4(hostText);
        if (!ip) {
            raise(DPNERR_INVALIDHOSTADDRESS);
        }
        targets.push_back(range(*ip));
    } else if (!code) {
        targets.push_back(range(QHostAddress(QHostAddress::LocalHost).toIPv4Address()));
        if (!source.searchLoopbackOnly()) {
            for (const QNetworkInterface& nif : QNetworkInterface::allInterfaces()) {
                const auto f = nif.flags();
                if (!(f & QNetworkInterface::IsUp) || !(f & QNetworkInterface::IsRunning) ||
                    !(f & QNetworkInterface::CanBroadcast) || (f & QNetworkInterface::IsLoopBack)) {
                    continue;
                }
                for (const QNetworkAddressEntry& e : nif.addressEntries()) {
                    bool v4 = false;
                    const uint32_t b = e.broadcast().toIPv4Address(&v4);
                    if (v4 && b != 0) {
                        targets.push_back(range(b));
                    }
                }
            }
        }
    }
    const int rounds = retryCount < 0 ? -1 : (retryCount == 0 ? kDefaultEnumCount : retryCount);
    const int interval = retryInterval <= 0 ? kDefaultEnumIntervalMs : retryInterval;
    const int wait = timeOut < 0 ? -1 : (timeOut == 0 ? kDefaultEnumTimeoutMs : timeOut);
    const DPNHANDLE handle = newHandle();
    auto search = std::make_unique<HostSearch>(
        application, std::move(targets), rounds, interval, wait,
        [this](DPNMSG_ENUM_HOSTS_RESPONSE r) { events_->enumHostsResponse(std::move(r)); },
        [this, handle](HRESULT result) { searchFinished(handle, result); });
    HostSearch* raw = search.get();
    if (code) {
        raw->byCode(*code, *point);
    }
    searches_[handle] = std::move(search);
    if (!raw->start()) {
        searches_.erase(handle);
        raise(DPNERR_GENERIC, "no socket for the search");
    }
    return handle;
}

void SessionCore::cancel(DPNHANDLE handle, int32_t flags) {
    if (handle != 0) {
        if (cancelComeBack(handle)) {
            return;
        }
        if (searches_.count(handle) != 0) {
            searchFinished(handle, DPNERR_USERCANCEL);
            return;
        }
        if (joiner_.active() && joiner_.handle() == handle) {
            joiner_.fail(DPNERR_USERCANCEL);
            return;
        }
        if (lookup_ && lookup_->handle == handle) {
            cancelLookup(DPNERR_USERCANCEL);
            return;
        }
        if (handle > 0 && handle < nextHandle_) {
            return;  // already complete; its completion is on its way
        }
        raise(DPNERR_INVALIDHANDLE);
    }
    if (flags & (DPNCANCEL_ENUM | DPNCANCEL_ALL_OPERATIONS)) {
        std::vector<DPNHANDLE> running;
        for (const auto& [h, s] : searches_) {
            running.push_back(h);
        }
        for (DPNHANDLE h : running) {
            searchFinished(h, DPNERR_USERCANCEL);
        }
    }
    if ((flags & (DPNCANCEL_CONNECT | DPNCANCEL_ALL_OPERATIONS)) && joiner_.active()) {
        joiner_.fail(DPNERR_USERCANCEL);
    }
    if (flags & (DPNCANCEL_CONNECT | DPNCANCEL_ALL_OPERATIONS)) {
        cancelLookup(DPNERR_USERCANCEL);
    }
}

DPNHANDLE SessionCore::connect(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* hostAddr,
                               const DirectPlay8Address* device, int32_t flags) {
    if (roster_.inSession) {
        raise(isHost() ? DPNERR_HOSTING : DPNERR_ALREADYCONNECTED);
    }
    if (joiner_.active() || lookup_) {
        raise(DPNERR_CONNECTING);
    }
    PendingJoin join;
    join.handle = newHandle();
    join.sync = (flags & DPNOP_SYNC) != 0;
    join.password = desc.Password;
    syncOutcome_.reset();
    joiner_.syncResult.reset();
    auto failLater = [&](HRESULT code) {
        if (join.sync) {
            raise(code);
        }
        events_->connectComplete(join.handle, code);
        return join.handle;
    };
    if (!providerOk(device) || !providerOk(hostAddr)) {
        return failLater(DPNERR_INVALIDDEVICEADDRESS);
    }
    if (!desc.guidApplication.trimmed().isEmpty()) {
        join.application = parseGuid(desc.guidApplication);
    }
    if (!desc.guidInstance.trimmed().isEmpty()) {
        join.instance = parseGuid(desc.guidInstance);
    }
    QString hostText = hostnameOf(hostAddr);
    int port = portOf(hostAddr).value_or(0);
    if (hostText.isEmpty()) {
        const auto typed = (flags & DPNCONNECT_OKTOQUERYFORADDRESSING) != 0
                               ? sessionAddressSource().ask()
                               : std::optional<QString>(QString());
        if (!typed) {
            return failLater(DPNERR_USERCANCEL);
        }
        const auto [h, p] = splitHostPort(*typed);
        hostText = h;
        if (p > 0) {
            port = p;
        }
    }
    if (hostText.isEmpty()) {
        return failLater(DPNERR_INVALIDHOSTADDRESS);
    }
    const auto code = MeetLink::codeIn(hostText);
    const auto ip = code ? std::optional<uint32_t>(0) : resolveIpv4(hostText);
    if (!ip) {
        return failLater(DPNERR_INVALIDHOSTADDRESS);
    }
    if (!links_->open(0, portOf(device).value_or(kDefaultSessionPort), true)) {
        return failLater(DPNERR_GENERIC);
    }
    if (!code) {
        const Endpoint host{*ip, static_cast<uint16_t>(port == 0 ? kDefaultSessionPort : port)};
        if (!startJoin(join, host, std::nullopt)) {
            return failLater(DPNERR_GENERIC);
        }
        return join.handle;
    }
    // The meeting point names the host, from the port the join goes out of; the join goes on
    // when it answers.
    // The answer comes inside the links' own work; the join goes on once that is done.
    const DPNHANDLE handle = join.handle;
    const bool asked =
        roles_.meet().lookup(*code, [this, handle, code = *code](const MeetLink::Found& f) {
            QMetaObject::invokeMethod(
                this, [this, handle, code, f] { lookedUp(handle, code, f); },
                Qt::QueuedConnection);
        });
    if (!asked) {
        links_->close();
        return failLater(DPNERR_INVALIDHOSTADDRESS);
    }
    lookup_ = std::move(join);
    return lookup_->handle;
}

void SessionCore::lookedUp(DPNHANDLE handle, orvel::meet::Code code, const MeetLink::Found& f) {
    if (!lookup_ || lookup_->handle != handle) {
        return;  // cancelled, or closed, meanwhile
    }
    const PendingJoin join = std::move(*lookup_);
    lookup_.reset();
    if (!f.host || !links_->isOpen() || joiner_.active() || roster_.inSession) {
        links_->close();
        endJoin(join, f.host ? DPNERR_USERCANCEL : f.failure);
    } else if (!startJoin(join, *f.host, code)) {
        endJoin(join, DPNERR_GENERIC);
    }
}

bool SessionCore::startJoin(const PendingJoin& join, Endpoint host,
                            std::optional<orvel::meet::Code> code) {
    ++roster_.generation;
    const LinkId hostLink = links_->connectTo(host.ipv4, host.port);
    if (hostLink == 0) {
        links_->close();
        return false;
    }
    auto request = std::get<net::msg::JoinRequest>(
        net::joinRequest(join.application, join.instance, roster_.localName));
    request.lanIpv4 = localAddressToward(host.ipv4);
    request.lanPort = links_->localPort();
    request.mappedIpv4 = roster_.mapped.ipv4;
    request.mappedPort = roster_.mapped.port;
    joiner_.begin(join.handle, hostLink, host.ipv4, std::move(request), join.password, join.sync);
    if (code) {
        roles_.meet().joiningByCode(*code, host);
    }
    links_->flush();
    links_->scheduleService();
    return true;
}

void SessionCore::endJoin(const PendingJoin& join, HRESULT result) {
    if (join.sync) {
        syncOutcome_ = result;
    } else {
        events_->connectComplete(join.handle, result);
    }
}

bool SessionCore::connectUnderWay(DPNHANDLE handle) const {
    return (lookup_ && lookup_->handle == handle) ||
           (joiner_.active() && joiner_.handle() == handle);
}

HRESULT SessionCore::connectOutcome() const {
    return syncOutcome_.value_or(joiner_.syncResult.value_or(DPNERR_GENERIC));
}

bool SessionCore::cancelLookup(HRESULT result) {
    if (!lookup_) {
        return false;
    }
    const PendingJoin join = std::move(*lookup_);
    lookup_.reset();
    roles_.meet().dropLookup();
    links_->close();
    endJoin(join, result);
    return true;
}

// ---- Sending and leaving ----------------------------------------------------------------------

DPNHANDLE SessionCore::sendTo(DPNID target, const QByteArray& data, int32_t timeOut,
                              int32_t flags) {
    Q_UNUSED(timeOut);
    if (!roster_.inSession || !links_->isOpen()) {
        raise(DPNERR_NOCONNECTION);
    }
    if (data.size() > kMaxSendBytes) {
        raise(DPNERR_SENDTOOLARGE);
    }
    std::vector<Player*> to;
    bool toSelf = false;
    const bool held = roles_.comeBack().hold(target, data, flags);
    if (target == DPNID_ALL_PLAYERS_GROUP) {
        for (auto& [id, p] : roster_.players) {
            if (!held && !p.gone && id != roster_.localId && p.link != 0) {
                to.push_back(&p);
            }
        }
        toSelf = (flags & DPNSEND_NOLOOPBACK) == 0;
    } else if (target == roster_.localId) {
        toSelf = true;
    } else if (!held) {
        Player* p = roster_.present(target);
        if (p == nullptr || p->link == 0) {
            raise(DPNERR_INVALIDPLAYER);
        }
        to.push_back(p);
    }
    std::vector<LinkId> links;
    std::vector<std::pair<const Player*, LinkId>> relayed;
    const bool guaranteed = (flags & DPNSEND_GUARANTEED) != 0;
    for (Player* p : to) {
        if (const LinkId via = relayVia(roster_, *p, guaranteed, now())) {
            relayed.emplace_back(p, via);
            // Only what went while relayed holds the next lines back; the grace never stretches.
            if (guaranteed && p->path == PathKind::Relayed) {
                p->relayGuaranteedUntil = now() + kRelayGraceMs;
            }
        } else {
            links.push_back(p->link);
        }
    }
    if (!links.empty() && !links_->sendData(links, data, flags)) {
        raise(DPNERR_OUTOFMEMORY);
    }
    for (const auto& [p, via] : relayed) {
        if (!links_->sendData({via}, wrapRelayed(p->id, data), flags, net::kChannelRelay)) {
            raise(DPNERR_OUTOFMEMORY);
        }
    }
    if (toSelf) {
        events_->receive(roster_.localId, data);
    }
    if (flags & DPNSEND_SYNC) {
        return 0;
    }
    const DPNHANDLE handle = newHandle();
    if ((flags & DPNSEND_NOCOMPLETE) == 0) {
        events_->sendComplete(handle);
    }
    return handle;
}

DPNHANDLE SessionCore::sendToHost(const QByteArray& data, int32_t timeOut, int32_t flags) {
    if (!roster_.inSession) {
        raise(DPNERR_NOCONNECTION);
    }
    return sendTo(roster_.hostId, data, timeOut, flags | DPNSEND_NOLOOPBACK);
}

void SessionCore::leaveSession(bool announce) {
    if (links_->isOpen()) {
        const bool goodbye = announce && roster_.inSession;
        roles_.meet().leaving();
        if (goodbye) {
            const bool ends = isHost() && !roster_.migrates();
            roles_.context().broadcast(ends ? net::terminate(DPNERR_HOSTTERMINATEDSESSION)
                                            : net::leaving());
        }
        links_->closeAll(goodbye);
    }
    links_->close();
    roles_.reset();
}

void SessionCore::close(int32_t flags) {
    Q_UNUSED(flags);
    for (auto& [h, s] : searches_) {
        s->stop();
    }
    searches_.clear();
    joiner_.abandon();
    // A join still waiting for the meeting point ends cancelled, told after the close.
    std::optional<PendingJoin> lookup = std::exchange(lookup_, std::nullopt);
    roles_.meet().dropLookup();
    leaveSession(roster_.inSession);
    events_->discardPending();
    if (lookup) {
        endJoin(*lookup, DPNERR_USERCANCEL);
    }
}


void SessionCore::setMappedEndpoint(Endpoint mapped) {
    roles_.members().mappingChanged(mapped);
}

Reachability SessionCore::reachability() const {
    Reachability out;
    out.observed = roster_.observed;
    out.mapped = roster_.mapped;
    for (const Player* p : roster_.presentInJoinOrder()) {
        if (p->link != 0) {
            int rtt = links_->has(p->link) ? links_->roundTripMs(p->link) : kUnknownRoundTrip;
            if (p->path == PathKind::Relayed) {
                // Ours to the host and the host's to it, once the host has said.
                const bool known = rtt != kUnknownRoundTrip && p->hostLegMs != kUnknownRoundTrip;
                rtt = known ? rtt + p->hostLegMs : kUnknownRoundTrip;
            }
            out.players.push_back({p->id, p->name, roles_.meet().pathOf(*p), rtt});
        }
    }
    return out;
}

}  // namespace dx8
