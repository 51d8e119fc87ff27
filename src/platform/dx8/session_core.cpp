#include "platform/dx8/session_core.h"

#include "common/command_line.h"

#include <arpa/inet.h>
#include <enet/enet.h>
#include <enet/time.h>

#include <QApplication>
#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QInputDialog>
#include <QLoggingCategory>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>

Q_LOGGING_CATEGORY(lcSession, "orvel.session", QtCriticalMsg)

namespace dx8 {

namespace {

// ENet is serviced when its socket has data and when its next resend, ping or timeout falls
// due; these bound the wait between two services.
constexpr qint64 kMaxServiceGapMs = 1000;
constexpr qint64 kBusyServiceMs = 10;  // data queued that ENet could not send yet
constexpr int kUnverifiedMs = 5000;    // a stranger must say who it is within this
constexpr int kConnectMs = 15000;      // a whole join, joiner side
constexpr int kMeshWaitMs = 12000;     // host side: the joiner links to every player
constexpr int kAckWaitMs = 3000;       // host side: players confirm the new player
constexpr int kExpectMs = 15000;       // player side: a joiner announced by the host
constexpr int kClosingMs = 3000;
constexpr int kLeaveFlushMs = 300;  // Close waits this long at most for the goodbyes to go out
constexpr size_t kMaxQueuedJoins = 8;
constexpr int kMaxUnverified = 16;
constexpr size_t kMaxExpectations = 32;
constexpr size_t kMaxPeers = 64;
constexpr int kMaxSendBytes = 256 * 1024;
constexpr size_t kMaxEarlyData = 256;
constexpr int kDefaultEnumIntervalMs = 1000;
constexpr int kDefaultEnumCount = 5;
constexpr int kDefaultEnumTimeoutMs = 1500;
// Liveness: a silent link is given up after 3 to 5 s, well inside the 10 s promised to callers.
constexpr enet_uint32 kTimeoutLimit = 32;
constexpr enet_uint32 kTimeoutMinMs = 3000;
constexpr enet_uint32 kTimeoutMaxMs = 5000;
// Discovery answers per source address and overall (tokens per second, burst).
constexpr double kQueryRatePerSender = 5, kQueryBurstPerSender = 10;
constexpr double kQueryRateAll = 50, kQueryBurstAll = 100;
constexpr int kMaxBuckets = 4096;

const QString kProviderName = QStringLiteral("DirectPlay8 TCP/IP Service Provider");

void ensureEnet() {
    static const bool ok = enet_initialize() == 0;
    if (!ok) {
        raise(DPNERR_GENERIC, "network layer unavailable");
    }
}

QHash<ENetHost*, SessionCore*>& hostRegistry() {
    static QHash<ENetHost*, SessionCore*> registry;
    return registry;
}

uint32_t peerIp(const ENetPeer* peer) {
    return ntohl(peer->address.host);
}
bool isLoopback(uint32_t ip) {
    return (ip >> 24) == 127;
}

QString guidText(const QUuid& id) {
    return id.toString(QUuid::WithBraces).toUpper();
}
QUuid parseGuid(const QString& text) {
    return QUuid::fromString(QStringView(text).trimmed());
}

QString hostUrl(uint32_t ip, uint16_t port) {
    DirectPlay8Address a;
    a.SetSP(DP8SP_TCPIP);
    a.AddComponentString(DPNA_KEY_HOSTNAME, QHostAddress(ip).toString());
    a.AddComponentLong(DPNA_KEY_PORT, port);
    return a.GetURL();
}

QString deviceUrl() {
    DirectPlay8Address a;
    a.SetSP(DP8SP_TCPIP);
    return a.GetURL();
}

bool providerOk(const DirectPlay8Address* a) {
    if (a == nullptr) {
        return true;
    }
    const QString sp = a->GetSP();
    return sp.isEmpty() || parseGuid(sp) == parseGuid(DP8SP_TCPIP);
}

// A failure code stays as it is; anything else a peer sends in its place becomes a generic one.
HRESULT failureOr(HRESULT code, HRESULT fallback) {
    return code < 0 ? code : fallback;
}

std::optional<uint32_t> resolveIpv4(const QString& host) {
    QHostAddress address;
    if (address.setAddress(host)) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            return address.toIPv4Address();
        }
        return std::nullopt;
    }
    const QHostInfo info = QHostInfo::fromName(host);
    for (const QHostAddress& a : info.addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            return a.toIPv4Address();
        }
    }
    return std::nullopt;
}

// "host", "host:port"; the port is 0 when none is given, -1 when it is malformed.
std::pair<QString, int> splitHostPort(const QString& text) {
    if (const auto a = orvel::cli::parseHostPort(text, 0, nullptr, true)) {
        return {a->host, a->port};
    }
    return {QString(), -1};
}

std::optional<int> portOf(const DirectPlay8Address* a) {
    if (a == nullptr || !a->HasComponent(DPNA_KEY_PORT)) {
        return std::nullopt;
    }
    bool ok = false;
    const int port = a->GetComponentString(DPNA_KEY_PORT).toInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

QString hostnameOf(const DirectPlay8Address* a) {
    if (a == nullptr || !a->HasComponent(DPNA_KEY_HOSTNAME)) {
        return {};
    }
    return a->GetComponentString(DPNA_KEY_HOSTNAME).trimmed();
}

}  // namespace

// ---- Host search
// ----------------------------------------------------------------------------------

// One running EnumHosts: queries go out from a socket of its own to every target port each
// round; answers come back to it.
class HostSearch {
public:
    struct Target {
        uint32_t ip = 0;
        uint16_t firstPort = 0;
        uint16_t lastPort = 0;
    };

    HostSearch(SessionCore* core, DPNHANDLE handle, QUuid application, std::vector<Target> targets,
               int rounds, int intervalMs, int timeoutMs)
        : core_(core),
          handle_(handle),
          application_(application),
          targets_(std::move(targets)),
          roundsLeft_(rounds),
          intervalMs_(intervalMs),
          timeoutMs_(timeoutMs),
          nonce_(QRandomGenerator::global()->generate()) {
        clock_.start();
        QObject::connect(&socket_, &QUdpSocket::readyRead, &socket_, [this] { readAnswers(); });
        QObject::connect(&timer_, &QTimer::timeout, &socket_, [this] { round(); });
        timer_.setSingleShot(true);
    }

    bool start() {
        if (!socket_.bind(QHostAddress::AnyIPv4, 0)) {
            return false;
        }
        round();
        return true;
    }

    void stop() {
        stopped_ = true;
        timer_.stop();
        socket_.close();
    }

private:
    void round() {
        if (stopped_) {
            return;
        }
        if (roundsLeft_ == 0) {
            // All queries are out and the wait for late answers is over.
            stop();
            core_->searchFinished(handle_, DPN_OK);
            return;
        }
        net::DiscoveryQuery q;
        q.application = application_;
        q.nonce = nonce_;
        q.sentMs = static_cast<uint32_t>(clock_.elapsed());
        const QByteArray datagram = net::encodeQuery(q);
        for (const Target& t : targets_) {
            const QHostAddress to(t.ip);
            for (int port = t.firstPort; port <= t.lastPort; ++port) {
                socket_.writeDatagram(datagram, to, static_cast<quint16>(port));
            }
        }
        if (roundsLeft_ > 0) {
            --roundsLeft_;
        }
        if (roundsLeft_ == 0 && timeoutMs_ < 0) {
            return;  // answers are listened for until the search is cancelled
        }
        timer_.start(roundsLeft_ == 0 ? timeoutMs_ : intervalMs_);
    }

    void readAnswers() {
        while (!stopped_ && socket_.hasPendingDatagrams()) {
            const QNetworkDatagram d = socket_.receiveDatagram(net::kMaxAnswerSize + 1);
            const QByteArray bytes = d.data();
            const auto answer =
                net::decodeAnswer(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                  static_cast<size_t>(bytes.size()));
            if (!answer || answer->nonce != nonce_) {
                continue;
            }
            if (!application_.isNull() && answer->application != application_) {
                continue;
            }
            bool v4 = false;
            const uint32_t ip = d.senderAddress().toIPv4Address(&v4);
            if (!v4 || d.senderPort() <= 0) {
                continue;
            }
            const uint32_t elapsed = static_cast<uint32_t>(clock_.elapsed()) - answer->sentMs;
            DPNMSG_ENUM_HOSTS_RESPONSE r;
            r.ApplicationDescription.lSize = 1;
            r.ApplicationDescription.lFlags = answer->flags;
            r.ApplicationDescription.guidInstance = guidText(answer->instance);
            r.ApplicationDescription.guidApplication = guidText(answer->application);
            r.ApplicationDescription.lMaxPlayers = answer->maxPlayers;
            r.ApplicationDescription.lCurrentPlayers = answer->currentPlayers;
            r.ApplicationDescription.SessionName = answer->sessionName;
            r.lRoundTripLatencyMS = elapsed > 60000 ? 60000 : static_cast<int32_t>(elapsed);
            r.AddressSenderUrl = hostUrl(ip, static_cast<uint16_t>(d.senderPort()));
            r.AddressDeviceUrl = deviceUrl();
            core_->postSearchAnswer(handle_, std::move(r));
        }
    }

    SessionCore* core_;
    DPNHANDLE handle_;
    QUuid application_;
    std::vector<Target> targets_;
    int roundsLeft_;  // -1: no end
    int intervalMs_;
    int timeoutMs_;  // -1: no end
    uint32_t nonce_;
    bool stopped_ = false;
    QElapsedTimer clock_;
    QUdpSocket socket_;
    QTimer timer_;
};

// ---- Construction -----------------------------------------------------------------------------

SessionCore::SessionCore(bool clientOnly, QObject* parent)
    : QObject(parent), clientOnly_(clientOnly), dispatcher_(new SerialDispatcher(this)) {
    clock_.start();
    ticker_ = new QTimer(this);
    ticker_->setTimerType(Qt::PreciseTimer);
    ticker_->setSingleShot(true);
    QObject::connect(ticker_, &QTimer::timeout, this, &SessionCore::onTick);
}

SessionCore::~SessionCore() {
    searches_.clear();
    connect_.reset();
    if (inSession_) {
        leaveSession(true);
    }
    closeHost();
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

// ---- Notifications ------------------------------------------------------------------------------

void SessionCore::post(std::function<void(DirectPlay8Event&)> call) {
    const QPointer<SessionCore> self(this);
    dispatcher_->post([self, call = std::move(call)] {
        if (self && self->handler_) {
            call(*self->handler_);
        }
    });
}

void SessionCore::postDestroyPlayer(DPNID id, int32_t reason) {
    const QPointer<SessionCore> self(this);
    const uint64_t generation = generation_;
    dispatcher_->post([self, id, reason, generation] {
        // The record stays readable (GetPeerInfo) until its DestroyPlayer has been delivered.
        struct Forget {
            const QPointer<SessionCore>& core;
            DPNID id;
            uint64_t generation;
            ~Forget() {
                if (core && core->generation_ == generation) {
                    const auto it = core->players_.find(id);
                    if (it != core->players_.end() && it->second.gone) {
                        core->players_.erase(it);
                    }
                }
            }
        } forget{self, id, generation};
        if (self && self->handler_) {
            bool reject = false;
            self->handler_->DirectPlay8Event_DestroyPlayer(id, reason, reject);
        }
    });
}

void SessionCore::postSearchAnswer(DPNHANDLE handle, DPNMSG_ENUM_HOSTS_RESPONSE response) {
    Q_UNUSED(handle);
    post([response = std::move(response)](DirectPlay8Event& h) mutable {
        bool reject = false;
        h.DirectPlay8Event_EnumHostsResponse(response, reject);
    });
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
    post([handle, result](DirectPlay8Event& h) {
        DPNMSG_ASYNC_OP_COMPLETE m;
        m.AsyncOpHandle = handle;
        m.hResultCode = result;
        bool reject = false;
        h.DirectPlay8Event_AsyncOpComplete(m, reject);
    });
}

// ---- ENet plumbing ------------------------------------------------------------------------------

bool SessionCore::openHost(uint32_t bindIp, int firstPort, bool anyPortFallback) {
    ensureEnet();
    closeHost();
    ENetAddress address;
    address.host = bindIp == 0 ? ENET_HOST_ANY : htonl(bindIp);
    const int lastPort = (firstPort >= kDefaultSessionPort && firstPort <= kLastSessionPort)
                             ? kLastSessionPort
                             : firstPort;
    ENetHost* host = nullptr;
    for (int port = firstPort; port <= lastPort && host == nullptr; ++port) {
        address.port = static_cast<enet_uint16>(port);
        host = enet_host_create(&address, kMaxPeers, net::kChannelCount, 0, 0);
    }
    if (host == nullptr && anyPortFallback) {
        address.port = ENET_PORT_ANY;
        host = enet_host_create(&address, kMaxPeers, net::kChannelCount, 0, 0);
    }
    if (host == nullptr) {
        return false;
    }
    host->intercept = &SessionCore::intercept;
    host->maximumPacketSize = kMaxSendBytes + 4096;
    host->maximumWaitingData = 4 * 1024 * 1024;
    enet_ = host;
    hostRegistry().insert(host, this);
    notifier_ =
        new QSocketNotifier(static_cast<qintptr>(host->socket), QSocketNotifier::Read, this);
    QObject::connect(notifier_, &QSocketNotifier::activated, this, &SessionCore::onReadable);
    // What went over the wire counts per session.
    std::fill(receivedSizes_.begin(), receivedSizes_.end(), 0);
    scheduleService();
    return true;
}

void SessionCore::closeHost() {
    if (enet_ == nullptr) {
        return;
    }
    // closeHost may run inside the notifier's own signal; let it go once that has returned.
    notifier_->setEnabled(false);
    notifier_->deleteLater();
    notifier_ = nullptr;
    ticker_->stop();
    tickDue_ = 0;
    hostRegistry().remove(enet_);
    enet_host_flush(enet_);
    enet_host_destroy(enet_);
    enet_ = nullptr;
    links_.clear();
}

WireStats SessionCore::wireStats() const {
    WireStats w;
    if (enet_ != nullptr) {
        w.sentDatagrams = enet_->totalSentPackets;
        w.sentBytes = enet_->totalSentData;
        w.receivedDatagrams = enet_->totalReceivedPackets;
        w.receivedBytes = enet_->totalReceivedData;
    }
    uint32_t best = 0;
    for (size_t size = 100; size < receivedSizes_.size(); ++size) {
        if (receivedSizes_[size] > best) {
            best = receivedSizes_[size];
            w.commonLargeDatagram = static_cast<int>(size);
        }
    }
    return w;
}

uint16_t SessionCore::sessionPort() const {
    return enet_ != nullptr ? enet_->address.port : 0;
}

void SessionCore::pump() {
    // A Receive handler may run inside this loop and release the peer, or close its session.
    const QPointer<SessionCore> self(this);
    ENetEvent event;
    for (int i = 0; i < 4096 && self && enet_ != nullptr; ++i) {
        if (enet_host_service(enet_, &event, 0) <= 0) {
            break;
        }
        switch (event.type) {
            case ENET_EVENT_TYPE_CONNECT:
                handleConnect(event.peer);
                break;
            case ENET_EVENT_TYPE_DISCONNECT:
                handleDisconnect(event.peer);
                break;
            case ENET_EVENT_TYPE_RECEIVE: {
                ENetPacket* packet = event.packet;
                if (event.channelID == net::kChannelData) {
                    const QByteArray data(reinterpret_cast<const char*>(packet->data),
                                          static_cast<qsizetype>(packet->dataLength));
                    enet_packet_destroy(packet);
                    handleData(event.peer, data);
                } else {
                    const auto m = net::decodeControl(packet->data, packet->dataLength);
                    enet_packet_destroy(packet);
                    if (m) {
                        handleControl(event.peer, *m);
                    } else {
                        qCDebug(lcSession) << "undecodable control message dropped";
                        const auto it = links_.find(event.peer);
                        if (it != links_.end() && it->second.kind == LinkKind::Unverified) {
                            dropLink(event.peer, Drop::Now);
                        }
                    }
                }
                break;
            }
            case ENET_EVENT_TYPE_NONE:
                break;
        }
    }
}

void SessionCore::onReadable() {
    const QPointer<SessionCore> self(this);
    pump();
    if (self) {
        scheduleService();
    }
}

void SessionCore::onTick() {
    const QPointer<SessionCore> self(this);
    tickDue_ = 0;
    pump();
    if (self) {
        checkDeadlines();
    }
    if (self) {
        scheduleService();
    }
}

qint64 SessionCore::msUntilServiceDue() const {
    qint64 wait = kMaxServiceGapMs;
    const enet_uint32 t = enet_time_get();
    const auto until = [t](enet_uint32 at) -> qint64 {
        return ENET_TIME_LESS(at, t) ? 0 : static_cast<qint64>(at - t);
    };
    for (size_t i = 0; i < enet_->peerCount; ++i) {
        const ENetPeer& p = enet_->peers[i];
        if (p.state == ENET_PEER_STATE_DISCONNECTED) {
            continue;
        }
        if (p.state == ENET_PEER_STATE_ZOMBIE || !enet_list_empty(&p.acknowledgements) ||
            !enet_list_empty(&p.outgoingCommands)) {
            wait = std::min(wait, kBusyServiceMs);
        }
        if (!enet_list_empty(&p.sentReliableCommands)) {
            wait = std::min(wait, until(p.nextTimeout));  // a resend, or giving up on the peer
        } else if (p.state == ENET_PEER_STATE_CONNECTED) {
            wait = std::min(wait, until(p.lastReceiveTime + p.pingInterval));
        }
    }
    const qint64 n = now();
    const auto by = [&](qint64 deadline) {
        if (deadline != 0) {
            wait = std::min(wait, std::max<qint64>(deadline - n, 0));
        }
    };
    for (const auto& [peer, link] : links_) {
        if (waitsOnDeadline(peer, link)) {
            by(link.deadline);
        }
    }
    for (const Expectation& e : expectations_) {
        by(e.deadline);
    }
    if (join_) {
        by(join_->deadline);
    }
    if (connect_) {
        by(connect_->deadline);
    }
    // Both clocks count whole milliseconds: one more keeps a wake from finding nothing due yet.
    return wait + 1;
}

void SessionCore::scheduleService() {
    if (enet_ == nullptr) {
        ticker_->stop();
        tickDue_ = 0;
        return;
    }
    const qint64 wait = msUntilServiceDue();
    const qint64 due = now() + wait;
    // Restarting a timer for the same moment would only cost; an earlier wake reschedules.
    if (ticker_->isActive() && tickDue_ != 0 && tickDue_ <= due && due - tickDue_ <= 1) {
        return;
    }
    tickDue_ = due;
    ticker_->start(static_cast<int>(wait));
}

void SessionCore::sendControl(ENetPeer* peer, const net::ControlMessage& m) {
    if (peer == nullptr || enet_ == nullptr) {
        return;
    }
    const QByteArray bytes = net::encodeControl(m);
    ENetPacket* packet = enet_packet_create(bytes.constData(), static_cast<size_t>(bytes.size()),
                                            ENET_PACKET_FLAG_RELIABLE);
    if (packet == nullptr) {
        return;
    }
    if (enet_peer_send(peer, net::kChannelControl, packet) < 0) {
        enet_packet_destroy(packet);
        return;
    }
    enet_host_flush(enet_);
    scheduleService();  // its resend, should it be lost
}

void SessionCore::broadcastControl(const net::ControlMessage& m, DPNID except) {
    for (const auto& [id, p] : players_) {
        if (!p.gone && p.link != nullptr && id != except) {
            sendControl(p.link, m);
        }
    }
}

// A link is never closed from both ends at once: ENet acknowledges neither side's disconnect
// then, and the side whose disconnect went unanswered repeats it to the address for seconds,
// where the next program to take that port would receive it as the end of its own links. So the
// side that leaves closes, the other answers; and a link whose other end is gone, or that is
// given up on, is forgotten without another datagram to its address.
void SessionCore::dropLink(ENetPeer* peer, Drop how) {
    const auto it = links_.find(peer);
    if (it == links_.end()) {
        return;
    }
    switch (how) {
        case Drop::Now:
            links_.erase(it);
            enet_peer_disconnect_now(peer, 0);
            break;
        case Drop::AwaitClose:
            it->second.kind = LinkKind::Closing;
            it->second.deadline = now() + kClosingMs;
            break;
        case Drop::Silently:
            links_.erase(it);
            enet_peer_reset(peer);
            break;
    }
}

ENetPeer* SessionCore::connectTo(uint32_t ipv4, uint16_t port) {
    if (enet_ == nullptr || ipv4 == 0 || port == 0) {
        return nullptr;
    }
    ENetAddress address;
    address.host = htonl(ipv4);
    address.port = port;
    ENetPeer* peer = enet_host_connect(enet_, &address, net::kChannelCount, 0);
    if (peer != nullptr) {
        enet_peer_timeout(peer, kTimeoutLimit, kTimeoutMinMs, kTimeoutMaxMs);
    }
    return peer;
}

// A program reaches us from one address over one link only. A new link from an address that has
// one already means the port has a new owner (the old one quit or died before its link ended
// here): whatever the old link still sends, and what arrives for it, would mix with the new one.
void SessionCore::retireLinksAt(ENetPeer* fresh) {
    std::vector<ENetPeer*> stale;
    for (const auto& [peer, link] : links_) {
        if (peer != fresh && link.kind != LinkKind::ToHost && link.kind != LinkKind::MeshOut &&
            peer->address.host == fresh->address.host &&
            peer->address.port == fresh->address.port) {
            stale.push_back(peer);
        }
    }
    for (ENetPeer* peer : stale) {
        if (links_.count(peer) == 0) {
            continue;  // went with an earlier one
        }
        qCDebug(lcSession) << "a new link from" << QHostAddress(peerIp(peer)).toString()
                           << peer->address.port << "replaces an old one";
        enet_peer_reset(peer);
        handleDisconnect(peer);
    }
}

void SessionCore::handleConnect(ENetPeer* peer) {
    enet_peer_timeout(peer, kTimeoutLimit, kTimeoutMinMs, kTimeoutMaxMs);
    // Unreliable data is never thinned out by ENet's throttle: every car state counts.
    enet_peer_throttle_configure(peer, ENET_PEER_PACKET_THROTTLE_INTERVAL, 0, 0);
    const auto it = links_.find(peer);
    if (it == links_.end()) {
        const QPointer<SessionCore> self(this);
        retireLinksAt(peer);
        if (!self || enet_ == nullptr) {
            return;
        }
        // Someone new. Only a running session takes visitors, and not too many at once.
        const auto unverified = std::count_if(links_.begin(), links_.end(), [](const auto& l) {
            return l.second.kind == LinkKind::Unverified;
        });
        // A joiner that has its answer already takes links: the next joiner may be quicker
        // than the host's word that this join is complete.
        const bool open = inSession_ || (connect_ && connect_->accept);
        if (!open || unverified >= kMaxUnverified) {
            enet_peer_disconnect_now(peer, 0);
            return;
        }
        Link link;
        link.kind = LinkKind::Unverified;
        link.deadline = now() + kUnverifiedMs;
        link.connected = true;
        links_.emplace(peer, std::move(link));
        return;
    }
    Link& link = it->second;
    link.connected = true;
    if (link.kind == LinkKind::ToHost && connect_) {
        sendControl(peer, connect_->request);
    } else if (link.kind == LinkKind::MeshOut && connect_ && connect_->accept) {
        net::ControlMessage hello;
        hello.type = net::Ctl::MeshHello;
        hello.playerId = localId_;
        hello.token = connect_->accept->token;
        sendControl(peer, hello);
    }
}

void SessionCore::handleDisconnect(ENetPeer* peer) {
    const auto it = links_.find(peer);
    if (it == links_.end()) {
        return;
    }
    const Link link = it->second;
    links_.erase(it);
    switch (link.kind) {
        case LinkKind::Unverified:
        case LinkKind::MeshIn:
        case LinkKind::Closing:
            break;
        case LinkKind::Joiner:
            if (join_ && join_->link == peer) {
                join_->link = nullptr;
                abortJoin(0);
            }
            joinQueue_.erase(std::remove_if(joinQueue_.begin(), joinQueue_.end(),
                                            [peer](const QueuedJoin& q) { return q.link == peer; }),
                             joinQueue_.end());
            break;
        case LinkKind::ToHost:
            if (connect_) {
                connect_->hostLink = nullptr;
                failConnect(link.connected ? DPNERR_CONNECTIONLOST : DPNERR_NORESPONSE);
            }
            break;
        case LinkKind::MeshOut:
            if (connect_) {
                failConnect(DPNERR_PLAYERNOTREACHABLE);
            }
            break;
        case LinkKind::Player: {
            const auto p = players_.find(link.playerId);
            if (p != players_.end()) {
                p->second.link = nullptr;
            }
            removePlayer(link.playerId, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
            break;
        }
    }
}

void SessionCore::handleData(ENetPeer* peer, const QByteArray& data) {
    const auto it = links_.find(peer);
    if (it == links_.end()) {
        return;
    }
    const Link& link = it->second;
    if (link.kind == LinkKind::Player) {
        // The sender is the player this link belongs to, whatever the bytes say.
        const DPNID from = link.playerId;
        const auto p = players_.find(from);
        if (p == players_.end() || p->second.gone) {
            return;
        }
        // Data is the bulk of the traffic: delivered straight away when nothing else is due.
        const QPointer<SessionCore> self(this);
        dispatcher_->postOrRun([self, from, data] {
            if (self && self->handler_) {
                DPNMSG_RECEIVE m;
                m.idSender = from;
                m.ReceivedData = data;
                m.lDataSize = static_cast<int32_t>(data.size());
                bool reject = false;
                self->handler_->DirectPlay8Event_Receive(m, reject);
            }
        });
    } else if (connect_ && connect_->accept &&
               (link.kind == LinkKind::ToHost || link.kind == LinkKind::MeshOut) &&
               connect_->earlyData.size() < kMaxEarlyData) {
        // A player may start sending before our own join has completed; hold it until then.
        connect_->earlyData.emplace_back(link.playerId, data);
    }
}

void SessionCore::handleControl(ENetPeer* peer, const net::ControlMessage& m) {
    auto it = links_.find(peer);
    if (it == links_.end()) {
        return;
    }
    Link& link = it->second;
    switch (link.kind) {
        case LinkKind::Unverified:
            if (m.type == net::Ctl::JoinRequest) {
                onJoinRequest(peer, m);
            } else if (m.type == net::Ctl::MeshHello) {
                onMeshHello(peer, m);
            } else {
                dropLink(peer, Drop::Now);
            }
            return;
        case LinkKind::Joiner:
            if (!join_ || join_->link != peer) {
                return;
            }
            if (m.type == net::Ctl::JoinReady) {
                onJoinReady(peer);
            } else if (m.type == net::Ctl::JoinFail) {
                abortJoin(0);
            }
            return;
        case LinkKind::ToHost:
            if (!connect_) {
                return;
            }
            switch (m.type) {
                case net::Ctl::JoinRefuse:
                    failConnect(failureOr(m.result, DPNERR_HOSTREJECTEDCONNECTION));
                    return;
                case net::Ctl::JoinAccept:
                    if (!connect_->accept) {
                        onAccept(m);
                    }
                    return;
                case net::Ctl::JoinDone:
                    if (connect_->accept && connect_->meshPending.empty()) {
                        onJoinDone();
                    }
                    return;
                case net::Ctl::PlayerRemoved: {
                    if (!connect_->accept || m.playerId == connect_->accept->hostId) {
                        return;
                    }
                    auto& players = connect_->accept->players;
                    players.erase(std::remove_if(players.begin(), players.end(),
                                                 [&](const net::PlayerEntry& e) {
                                                     return e.id == m.playerId;
                                                 }),
                                  players.end());
                    for (auto& [p, l] : links_) {
                        if (l.kind == LinkKind::MeshOut && l.playerId == m.playerId) {
                            dropLink(p, m.reason == DPNDESTROYPLAYERREASON_NORMAL ? Drop::AwaitClose
                                                                                  : Drop::Silently);
                            break;
                        }
                    }
                    if (connect_->meshPending.erase(m.playerId) > 0) {
                        meshLinkReady(0);
                    }
                    return;
                }
                case net::Ctl::Terminate:
                    failConnect(DPNERR_HOSTTERMINATEDSESSION);
                    return;
                default:
                    return;
            }
        case LinkKind::MeshOut:
            if (m.type == net::Ctl::MeshAck && connect_ && !link.acked) {
                link.acked = true;
                meshLinkReady(link.playerId);
            }
            return;
        case LinkKind::MeshIn:
        case LinkKind::Closing:
            return;
        case LinkKind::Player:
            break;
    }

    const DPNID from = link.playerId;
    const bool fromHost = from == hostId_;
    switch (m.type) {
        case net::Ctl::Leaving:
            removePlayer(from, DPNDESTROYPLAYERREASON_NORMAL);
            break;
        case net::Ctl::Info: {
            const auto p = players_.find(from);
            if (p == players_.end() || p->second.gone) {
                break;
            }
            p->second.name = m.name;
            post([from](DirectPlay8Event& h) {
                bool reject = false;
                h.DirectPlay8Event_InfoNotify(DPN_MSGID_PEER_INFO, static_cast<int32_t>(from),
                                              reject);
            });
            break;
        }
        case net::Ctl::AddedAck:
            if (isHost() && join_ && join_->adding && m.playerId == join_->id) {
                join_->awaitingAck.erase(from);
                if (join_->awaitingAck.empty()) {
                    finishJoin();
                }
            }
            break;
        case net::Ctl::Expect:
            if (fromHost) {
                onExpect(m);
            }
            break;
        case net::Ctl::PlayerAdded:
            if (fromHost) {
                onPlayerAdded(m);
            }
            break;
        case net::Ctl::PlayerRemoved:
            if (!fromHost) {
                // The player next in line says the host is gone: it has taken over already, so
                // follow it now rather than once our own link to the old host gives up.
                if (m.playerId == hostId_ && (desc_.flags & DPNSESSION_MIGRATE_HOST) != 0 &&
                    successorOf(hostId_) == from) {
                    removePlayer(hostId_, m.reason == DPNDESTROYPLAYERREASON_NORMAL
                                              ? DPNDESTROYPLAYERREASON_NORMAL
                                              : DPNDESTROYPLAYERREASON_CONNECTIONLOST);
                }
                break;
            }
            if (m.playerId == localId_) {
                endSession(DPNERR_CONNECTIONLOST, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
                break;
            }
            expectations_.erase(
                std::remove_if(expectations_.begin(), expectations_.end(),
                               [&](const Expectation& e) { return e.id == m.playerId; }),
                expectations_.end());
            for (auto& [p, l] : links_) {
                if (l.kind == LinkKind::MeshIn && l.playerId == m.playerId) {
                    dropLink(p, Drop::AwaitClose);
                    break;
                }
            }
            removePlayer(m.playerId, m.reason == DPNDESTROYPLAYERREASON_NORMAL
                                         ? DPNDESTROYPLAYERREASON_NORMAL
                                         : DPNDESTROYPLAYERREASON_CONNECTIONLOST);
            break;
        case net::Ctl::Terminate:
            if (fromHost) {
                endSession(failureOr(m.result, DPNERR_HOSTTERMINATEDSESSION),
                           DPNDESTROYPLAYERREASON_SESSIONTERMINATED);
            }
            break;
        default:
            break;
    }
}

bool SessionCore::waitsOnDeadline(const ENetPeer* peer, const Link& link) const {
    const bool waits = link.kind == LinkKind::Unverified || link.kind == LinkKind::MeshIn ||
                       link.kind == LinkKind::Closing ||
                       (link.kind == LinkKind::Joiner && !(join_ && join_->link == peer));
    return waits && link.deadline != 0;
}

void SessionCore::checkDeadlines() {
    const qint64 t = now();
    std::vector<std::pair<ENetPeer*, LinkKind>> expired;
    for (const auto& [peer, link] : links_) {
        if (waitsOnDeadline(peer, link) && t > link.deadline) {
            expired.emplace_back(peer, link.kind);
        }
    }
    for (const auto& [peer, kind] : expired) {
        if (kind == LinkKind::Joiner) {
            net::ControlMessage refuse;
            refuse.type = net::Ctl::JoinRefuse;
            refuse.result = DPNERR_TIMEDOUT;
            sendControl(peer, refuse);
            joinQueue_.erase(std::remove_if(joinQueue_.begin(), joinQueue_.end(),
                                            [peer](const QueuedJoin& q) { return q.link == peer; }),
                             joinQueue_.end());
        }
        // A link that was closing has had its chance; the others still have someone to tell.
        dropLink(peer, kind == LinkKind::Closing ? Drop::Silently : Drop::Now);
    }
    expectations_.erase(std::remove_if(expectations_.begin(), expectations_.end(),
                                       [t](const Expectation& e) { return t > e.deadline; }),
                        expectations_.end());
    if (join_ && t > join_->deadline) {
        if (join_->adding) {
            finishJoin();
        } else {
            abortJoin(DPNERR_PLAYERNOTREACHABLE);
        }
    }
    if (connect_ && t > connect_->deadline) {
        failConnect(connect_->accept ? DPNERR_PLAYERNOTREACHABLE : DPNERR_NORESPONSE);
    }
}

// ---- Discovery answers
// ----------------------------------------------------------------------------

int SessionCore::intercept(ENetHost* host, ENetEvent* event) {
    Q_UNUSED(event);
    SessionCore* core = hostRegistry().value(host);
    if (core != nullptr && host->receivedDataLength < core->receivedSizes_.size()) {
        ++core->receivedSizes_[host->receivedDataLength];
    }
    if (!net::looksLikeQuery(host->receivedData, host->receivedDataLength)) {
        return 0;
    }
    if (core != nullptr) {
        core->answerQuery(host->receivedData, host->receivedDataLength, &host->receivedAddress);
    }
    return 1;
}

bool SessionCore::admitQuery(uint32_t sourceIp) {
    const qint64 t = now();
    auto take = [t](Bucket& b, double rate, double burst) {
        b.tokens = std::min(burst, b.tokens + (t - b.at) * rate / 1000.0);
        b.at = t;
        if (b.tokens < 1.0) {
            return false;
        }
        b.tokens -= 1.0;
        return true;
    };
    if (queryBuckets_.size() > kMaxBuckets) {
        queryBuckets_.clear();
    }
    auto it = queryBuckets_.find(sourceIp);
    if (it == queryBuckets_.end()) {
        it = queryBuckets_.insert(sourceIp, Bucket{kQueryBurstPerSender, t});
    }
    if (allQueries_.at == 0 && allQueries_.tokens == 0) {
        allQueries_ = Bucket{kQueryBurstAll, t};
    }
    return take(it.value(), kQueryRatePerSender, kQueryBurstPerSender) &&
           take(allQueries_, kQueryRateAll, kQueryBurstAll);
}

void SessionCore::answerQuery(const uint8_t* data, size_t size, const void* from) {
    if (!isHost() || enet_ == nullptr) {
        return;
    }
    const auto query = net::decodeQuery(data, size);
    if (!query) {
        return;
    }
    if (!query->application.isNull() && query->application != desc_.application) {
        return;
    }
    const auto* address = static_cast<const ENetAddress*>(from);
    const uint32_t ip = ntohl(address->host);
    if (!admitQuery(ip)) {
        return;
    }
    net::DiscoveryAnswer a;
    a.nonce = query->nonce;
    a.sentMs = query->sentMs;
    a.instance = desc_.instance;
    a.application = desc_.application;
    a.maxPlayers = desc_.maxPlayers;
    a.currentPlayers = activePlayers();
    a.flags = desc_.flags;
    a.passwordRequired = !password_.isEmpty();
    a.sessionName = desc_.name;
    QByteArray bytes = net::encodeAnswer(a);
    ENetBuffer buffer;
    buffer.data = bytes.data();
    buffer.dataLength = static_cast<size_t>(bytes.size());
    enet_socket_send(enet_->socket, address, &buffer, 1);

    const QString sender = hostUrl(ip, address->port);
    post([sender](DirectPlay8Event& h) {
        DPNMSG_ENUM_HOSTS_QUERY m;
        m.AddressSenderUrl = sender;
        m.AddressDeviceUrl = deviceUrl();
        bool reject = false;
        h.DirectPlay8Event_EnumHostsQuery(m, reject);
    });
}

// ---- Player information ------------------------------------------------------------------------

DPNHANDLE SessionCore::setLocalInfo(const DPN_PLAYER_INFO& info, int32_t flags) {
    localName_ = info.Name;
    if (inSession_) {
        const auto self = players_.find(localId_);
        if (self != players_.end()) {
            self->second.name = localName_;
        }
        net::ControlMessage m;
        m.type = net::Ctl::Info;
        m.name = localName_;
        broadcastControl(m);
    }
    if (flags & DPNOP_SYNC) {
        return 0;
    }
    const DPNHANDLE handle = newHandle();
    post([handle](DirectPlay8Event& h) {
        DPNMSG_ASYNC_OP_COMPLETE m;
        m.AsyncOpHandle = handle;
        bool reject = false;
        h.DirectPlay8Event_AsyncOpComplete(m, reject);
    });
    return handle;
}

DPN_PLAYER_INFO SessionCore::playerInfo(DPNID id, int32_t flags) const {
    Q_UNUSED(flags);
    DPN_PLAYER_INFO info;
    info.lSize = 1;
    info.lInfoFlags = DPNINFO_NAME;
    if (id != 0 && id == localId_) {
        info.Name = localName_;
        info.lPlayerFlags = DPNPLAYER_LOCAL | (id == hostId_ ? DPNPLAYER_HOST : 0);
        return info;
    }
    const auto it = players_.find(id);
    if (id == 0 || it == players_.end()) {
        raise(DPNERR_INVALIDPLAYER);
    }
    info.Name = it->second.name;
    info.lPlayerFlags = id == hostId_ ? DPNPLAYER_HOST : 0;
    return info;
}

// ---- Hosting ------------------------------------------------------------------------------------

void SessionCore::host(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* device,
                       int32_t flags) {
    if (clientOnly_) {
        raise(DPNERR_UNSUPPORTED);
    }
    if (inSession_) {
        raise(isHost() ? DPNERR_HOSTING : DPNERR_ALREADYCONNECTED);
    }
    if (connect_) {
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
    if (!openHost(bindIp, port, false)) {
        raise(DPNERR_INVALIDDEVICEADDRESS, "no free session port");
    }
    ++generation_;
    desc_ = net::SessionDesc{QUuid::createUuid(), application, desc.lMaxPlayers,
                             desc.lFlags & DPNSESSION_MIGRATE_HOST, desc.SessionName};
    password_ = desc.Password;
    idSalt_ = QRandomGenerator::system()->generate();
    nextSeq_ = 0;
    uint32_t seq = 0;
    localId_ = allocateId(seq);
    localSeq_ = seq;
    hostId_ = localId_;
    players_.clear();
    players_[localId_] = Player{localId_, seq, localName_, nullptr, false, 0, sessionPort()};
    inSession_ = true;
    qCDebug(lcSession) << "hosting" << desc_.name << "on port" << sessionPort();
    const DPNID id = localId_;
    post([id](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_CreatePlayer(id, reject);
    });
}

DPNID SessionCore::allocateId(uint32_t& seq) {
    // Multiplying by an odd number is a bijection, so distinct join numbers give distinct ids.
    for (;;) {
        seq = nextSeq_++;
        const DPNID id = idSalt_ + seq * 0x9E3779B1u;
        if (id != 0) {
            return id;
        }
    }
}

int SessionCore::activePlayers() const {
    return static_cast<int>(std::count_if(players_.begin(), players_.end(),
                                          [](const auto& p) { return !p.second.gone; }));
}

void SessionCore::onJoinRequest(ENetPeer* peer, const net::ControlMessage& m) {
    auto refuse = [&](HRESULT code) {
        net::ControlMessage r;
        r.type = net::Ctl::JoinRefuse;
        r.result = code;
        sendControl(peer, r);
        dropLink(peer, Drop::AwaitClose);
    };
    if (!isHost()) {
        refuse(DPNERR_NOTHOST);
        return;
    }
    if (m.version != net::kProtocolVersion) {
        refuse(DPNERR_INVALIDAPPLICATION);
        return;
    }
    if (!m.application.isNull() && m.application != desc_.application) {
        refuse(DPNERR_INVALIDAPPLICATION);
        return;
    }
    if (!m.instance.isNull() && m.instance != desc_.instance) {
        refuse(DPNERR_INVALIDINSTANCE);
        return;
    }
    if (!password_.isEmpty() && m.password != password_) {
        refuse(DPNERR_INVALIDPASSWORD);
        return;
    }
    Link& link = links_[peer];
    link.kind = LinkKind::Joiner;
    if (join_) {
        if (joinQueue_.size() >= kMaxQueuedJoins) {
            refuse(DPNERR_HOSTREJECTEDCONNECTION);
            return;
        }
        link.deadline = now() + kConnectMs;
        joinQueue_.push_back(QueuedJoin{peer, m});
        return;
    }
    startJoin(peer, m);
}

void SessionCore::startJoin(ENetPeer* peer, const net::ControlMessage& m) {
    if (desc_.maxPlayers > 0 && activePlayers() >= desc_.maxPlayers) {
        net::ControlMessage r;
        r.type = net::Ctl::JoinRefuse;
        r.result = DPNERR_SESSIONFULL;
        sendControl(peer, r);
        dropLink(peer, Drop::AwaitClose);
        nextQueuedJoin();
        return;
    }
    PendingJoin join;
    join.link = peer;
    join.id = allocateId(join.seq);
    join.name = m.name;
    join.deadline = now() + kMeshWaitMs;
    const uint64_t token = QRandomGenerator::system()->generate64();
    links_[peer].playerId = join.id;
    links_[peer].deadline = join.deadline;

    net::ControlMessage accept;
    accept.type = net::Ctl::JoinAccept;
    accept.playerId = join.id;
    accept.hostId = hostId_;
    accept.seq = join.seq;
    accept.nextSeq = nextSeq_;
    accept.idSalt = idSalt_;
    accept.token = token;
    accept.desc = desc_;
    for (const Player* p : presentInJoinOrder()) {
        net::PlayerEntry e;
        e.id = p->id;
        e.seq = p->seq;
        e.name = p->name;
        if (p->link != nullptr) {
            e.ipv4 = peerIp(p->link);
            e.port = p->link->address.port;
        } else {
            e.ipv4 = 0;  // the host itself: where the joiner reached it
            e.port = sessionPort();
        }
        accept.players.push_back(std::move(e));
    }
    sendControl(peer, accept);

    net::ControlMessage expect;
    expect.type = net::Ctl::Expect;
    expect.playerId = join.id;
    expect.token = token;
    expect.ipv4 = peerIp(peer);
    expect.port = peer->address.port;
    broadcastControl(expect);

    const QString joiner = hostUrl(peerIp(peer), peer->address.port);
    join_ = std::move(join);
    post([joiner](DirectPlay8Event& h) {
        DPNMSG_INDICATE_CONNECT m;
        m.AddressPlayerUrl = joiner;
        m.AddressDeviceUrl = deviceUrl();
        bool reject = false;
        h.DirectPlay8Event_IndicateConnect(m, reject);
    });
}

void SessionCore::onJoinReady(ENetPeer* peer) {
    if (!join_ || join_->adding) {
        return;
    }
    PendingJoin& join = *join_;
    join.adding = true;
    join.deadline = now() + kAckWaitMs;
    Link& link = links_[peer];
    link.kind = LinkKind::Player;
    link.deadline = 0;
    players_[join.id] =
        Player{join.id, join.seq, join.name, peer, false, peerIp(peer), peer->address.port};
    const DPNID id = join.id;
    post([id](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_CreatePlayer(id, reject);
    });
    net::ControlMessage added;
    added.type = net::Ctl::PlayerAdded;
    added.playerId = join.id;
    added.seq = join.seq;
    added.name = join.name;
    for (const auto& [pid, p] : players_) {
        if (!p.gone && p.link != nullptr && pid != join.id) {
            sendControl(p.link, added);
            join.awaitingAck.insert(pid);
        }
    }
    if (join.awaitingAck.empty()) {
        finishJoin();
    }
}

void SessionCore::finishJoin() {
    if (!join_) {
        return;
    }
    net::ControlMessage done;
    done.type = net::Ctl::JoinDone;
    sendControl(join_->link, done);
    join_.reset();
    nextQueuedJoin();
}

void SessionCore::abortJoin(HRESULT refuse) {
    if (!join_) {
        return;
    }
    const PendingJoin join = std::move(*join_);
    join_.reset();
    if (join.link != nullptr) {
        if (refuse != 0) {
            net::ControlMessage r;
            r.type = net::Ctl::JoinRefuse;
            r.result = refuse;
            sendControl(join.link, r);
        }
        dropLink(join.link, Drop::AwaitClose);
    }
    // The players drop what they were told to expect.
    net::ControlMessage removed;
    removed.type = net::Ctl::PlayerRemoved;
    removed.playerId = join.id;
    removed.reason = DPNDESTROYPLAYERREASON_NORMAL;
    broadcastControl(removed);
    post([](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_IndicatedConnectAborted(reject);
    });
    nextQueuedJoin();
}

void SessionCore::nextQueuedJoin() {
    while (!join_ && !joinQueue_.empty()) {
        QueuedJoin next = std::move(joinQueue_.front());
        joinQueue_.pop_front();
        if (links_.count(next.link) != 0 && links_[next.link].kind == LinkKind::Joiner) {
            startJoin(next.link, next.request);
        }
    }
}

// ---- Player side ------------------------------------------------------------------------------

void SessionCore::onExpect(const net::ControlMessage& m) {
    if (expectations_.size() >= kMaxExpectations) {
        expectations_.erase(expectations_.begin());
    }
    expectations_.push_back(Expectation{m.playerId, m.token, now() + kExpectMs});
    // The joiner's hello may have come first.
    for (auto& [peer, link] : links_) {
        if (link.kind == LinkKind::Unverified && link.hello && link.hello->playerId == m.playerId) {
            const net::ControlMessage hello = *link.hello;
            onMeshHello(peer, hello);
            break;
        }
    }
}

void SessionCore::onMeshHello(ENetPeer* peer, const net::ControlMessage& m) {
    Link& link = links_[peer];
    if (m.playerId == 0 || players_.count(m.playerId) != 0) {
        dropLink(peer, Drop::Now);
        return;
    }
    const auto e = std::find_if(
        expectations_.begin(), expectations_.end(),
        [&](const Expectation& x) { return x.id == m.playerId && x.token == m.token; });
    if (e == expectations_.end()) {
        link.hello = m;  // wait for the host's word until the link's deadline
        return;
    }
    expectations_.erase(e);
    link.kind = LinkKind::MeshIn;
    link.playerId = m.playerId;
    link.hello.reset();
    link.deadline = now() + kExpectMs;
    net::ControlMessage ack;
    ack.type = net::Ctl::MeshAck;
    sendControl(peer, ack);
}

void SessionCore::onPlayerAdded(const net::ControlMessage& m) {
    for (auto& [peer, link] : links_) {
        if (link.kind == LinkKind::MeshIn && link.playerId == m.playerId) {
            link.kind = LinkKind::Player;
            link.deadline = 0;
            players_[m.playerId] =
                Player{m.playerId, m.seq, m.name, peer, false, peerIp(peer), peer->address.port};
            nextSeq_ = std::max(nextSeq_, m.seq + 1);
            const DPNID id = m.playerId;
            post([id](DirectPlay8Event& h) {
                bool reject = false;
                h.DirectPlay8Event_CreatePlayer(id, reject);
            });
            break;
        }
    }
    net::ControlMessage ack;
    ack.type = net::Ctl::AddedAck;
    ack.playerId = m.playerId;
    const auto host = players_.find(hostId_);
    if (host != players_.end() && host->second.link != nullptr) {
        sendControl(host->second.link, ack);
    }
}

void SessionCore::removePlayer(DPNID id, int32_t reason) {
    const auto it = players_.find(id);
    if (it == players_.end() || it->second.gone || id == localId_) {
        return;
    }
    if (id == hostId_ && (desc_.flags & DPNSESSION_MIGRATE_HOST) == 0) {
        endSession(reason == DPNDESTROYPLAYERREASON_NORMAL ? DPNERR_HOSTTERMINATEDSESSION
                                                           : DPNERR_CONNECTIONLOST,
                   DPNDESTROYPLAYERREASON_SESSIONTERMINATED);
        return;
    }
    Player& p = it->second;
    p.gone = true;
    if (p.link != nullptr) {
        // One who leaves closes the link itself; one lost is not sent anything more.
        dropLink(p.link,
                 reason == DPNDESTROYPLAYERREASON_NORMAL ? Drop::AwaitClose : Drop::Silently);
        p.link = nullptr;
    }
    postDestroyPlayer(id, reason);
    if (isHost()) {
        net::ControlMessage removed;
        removed.type = net::Ctl::PlayerRemoved;
        removed.playerId = id;
        removed.reason = static_cast<uint8_t>(reason);
        broadcastControl(removed);
        if (join_) {
            sendControl(join_->link, removed);
            join_->awaitingAck.erase(id);
            if (join_->adding && join_->awaitingAck.empty()) {
                finishJoin();
            }
        }
    }
    if (id == hostId_) {
        hostGone(id, reason);
    }
}

std::vector<const SessionCore::Player*> SessionCore::presentInJoinOrder() const {
    std::vector<const Player*> present;
    for (const auto& [id, p] : players_) {
        if (!p.gone) {
            present.push_back(&p);
        }
    }
    std::sort(present.begin(), present.end(),
              [](const Player* a, const Player* b) { return a->seq < b->seq; });
    return present;
}

// The earliest-joined remaining player takes over from a host that goes; every peer reaches
// the same choice.
DPNID SessionCore::successorOf(DPNID host) const {
    for (const Player* p : presentInJoinOrder()) {
        if (p->id != host) {
            return p->id;
        }
    }
    return 0;
}

void SessionCore::hostGone(DPNID oldHost, int32_t reason) {
    const DPNID newHost = successorOf(oldHost);
    if (newHost == 0) {
        return;
    }
    hostId_ = newHost;
    qCDebug(lcSession) << "host role moves to" << newHost;
    post([newHost](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_HostMigrate(newHost, reject);
    });
    if (newHost == localId_) {
        // Players whose own link to the old host has not given up yet would go on taking its
        // word and ignore ours, joins included: tell them it is gone, ahead of anything else.
        net::ControlMessage removed;
        removed.type = net::Ctl::PlayerRemoved;
        removed.playerId = oldHost;
        removed.reason = static_cast<uint8_t>(reason);
        broadcastControl(removed);
    }
}

void SessionCore::endSession(HRESULT result, int32_t reason) {
    post([result](DirectPlay8Event& h) {
        DPNMSG_TERMINATE_SESSION m;
        m.hResultCode = result;
        bool reject = false;
        h.DirectPlay8Event_TerminateSession(m, reject);
    });
    for (const Player* p : presentInJoinOrder()) {
        postDestroyPlayer(p->id, reason);
    }
    leaveSession(false);
}

void SessionCore::leaveSession(bool announce) {
    if (enet_ != nullptr) {
        if (announce && inSession_) {
            net::ControlMessage bye;
            if (isHost() && (desc_.flags & DPNSESSION_MIGRATE_HOST) == 0) {
                bye.type = net::Ctl::Terminate;
                bye.result = DPNERR_HOSTTERMINATEDSESSION;
            } else {
                bye.type = net::Ctl::Leaving;
            }
            broadcastControl(bye);
            for (const auto& [peer, link] : links_) {
                enet_peer_disconnect_later(peer, 0);
            }
            // Give the goodbyes a moment to be acknowledged; ENet's events are of no use now.
            QElapsedTimer waited;
            waited.start();
            ENetEvent event;
            while (enet_->connectedPeers > 0 && waited.elapsed() < kLeaveFlushMs) {
                const int r = enet_host_service(enet_, &event, 10);
                if (r < 0) {
                    break;
                }
                if (r > 0 && event.type == ENET_EVENT_TYPE_RECEIVE) {
                    enet_packet_destroy(event.packet);
                }
            }
        } else {
            for (const auto& [peer, link] : links_) {
                enet_peer_disconnect_now(peer, 0);
            }
        }
    }
    closeHost();
    inSession_ = false;
    players_.clear();
    expectations_.clear();
    join_.reset();
    joinQueue_.clear();
    localId_ = 0;
    hostId_ = 0;
    desc_ = {};
    password_.clear();
    ++generation_;
}

// ---- Joining ----------------------------------------------------------------------------------

std::optional<QString> SessionCore::askForAddress(bool allowed) const {
    if (!allowed) {
        return QString();
    }
    if (qEnvironmentVariableIsSet("ORVEL_ENUM_ADDRESS")) {
        return qEnvironmentVariable("ORVEL_ENUM_ADDRESS").trimmed();
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return QString();  // nobody to ask
    }
    bool ok = false;
    const QString text =
        QInputDialog::getText(nullptr, QStringLiteral("Session address"),
                              QStringLiteral("host name or IP, blank to search the local network"),
                              QLineEdit::Normal, QString(), &ok);
    if (!ok) {
        return std::nullopt;
    }
    return text.trimmed();
}

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
    QString hostText = hostnameOf(hostAddr);
    int port = portOf(hostAddr).value_or(0);
    if (hostText.isEmpty()) {
        const auto typed = askForAddress((flags & DPNENUMHOSTS_OKTOQUERYFORADDRESSING) != 0);
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
    if (!hostText.isEmpty()) {
        const auto ip = resolveIpv4(hostText);
        if (!ip) {
            raise(DPNERR_INVALIDHOSTADDRESS);
        }
        targets.push_back(range(*ip));
    } else {
        targets.push_back(range(QHostAddress(QHostAddress::LocalHost).toIPv4Address()));
        const QString scope = qEnvironmentVariable("ORVEL_DISCOVERY").trimmed().toLower();
        if (scope != QStringLiteral("loopback")) {
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
    auto search = std::make_unique<HostSearch>(this, handle, application, std::move(targets),
                                               rounds, interval, wait);
    HostSearch* raw = search.get();
    searches_[handle] = std::move(search);
    if (!raw->start()) {
        searches_.erase(handle);
        raise(DPNERR_GENERIC, "no socket for the search");
    }
    return handle;
}

void SessionCore::cancel(DPNHANDLE handle, int32_t flags) {
    if (handle != 0) {
        if (searches_.count(handle) != 0) {
            searchFinished(handle, DPNERR_USERCANCEL);
            return;
        }
        if (connect_ && connect_->handle == handle) {
            failConnect(DPNERR_USERCANCEL);
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
    if ((flags & (DPNCANCEL_CONNECT | DPNCANCEL_ALL_OPERATIONS)) && connect_) {
        failConnect(DPNERR_USERCANCEL);
    }
}

DPNHANDLE SessionCore::connect(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* hostAddr,
                               const DirectPlay8Address* device, int32_t flags) {
    if (inSession_) {
        raise(isHost() ? DPNERR_HOSTING : DPNERR_ALREADYCONNECTED);
    }
    if (connect_) {
        raise(DPNERR_CONNECTING);
    }
    const DPNHANDLE handle = newHandle();
    const bool sync = (flags & DPNOP_SYNC) != 0;
    auto failLater = [&](HRESULT code) {
        if (sync) {
            raise(code);
        }
        post([handle, code](DirectPlay8Event& h) {
            DPNMSG_CONNECT_COMPLETE m;
            m.AsyncOpHandle = handle;
            m.hResultCode = code;
            bool reject = false;
            h.DirectPlay8Event_ConnectComplete(m, reject);
        });
        return handle;
    };
    if (!providerOk(device) || !providerOk(hostAddr)) {
        return failLater(DPNERR_INVALIDDEVICEADDRESS);
    }
    QUuid application;
    QUuid instance;
    if (!desc.guidApplication.trimmed().isEmpty()) {
        application = parseGuid(desc.guidApplication);
    }
    if (!desc.guidInstance.trimmed().isEmpty()) {
        instance = parseGuid(desc.guidInstance);
    }
    QString hostText = hostnameOf(hostAddr);
    int port = portOf(hostAddr).value_or(0);
    if (hostText.isEmpty()) {
        const auto typed = askForAddress((flags & DPNCONNECT_OKTOQUERYFORADDRESSING) != 0);
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
    const auto ip = resolveIpv4(hostText);
    if (!ip) {
        return failLater(DPNERR_INVALIDHOSTADDRESS);
    }
    if (port == 0) {
        port = kDefaultSessionPort;
    }
    if (!openHost(0, portOf(device).value_or(kDefaultSessionPort), true)) {
        return failLater(DPNERR_GENERIC);
    }
    ++generation_;
    ENetPeer* hostLink = connectTo(*ip, static_cast<uint16_t>(port));
    if (hostLink == nullptr) {
        closeHost();
        return failLater(DPNERR_GENERIC);
    }
    Link link;
    link.kind = LinkKind::ToHost;
    links_[hostLink] = link;
    ConnectOp op;
    op.handle = handle;
    op.hostLink = hostLink;
    op.hostIp = *ip;
    op.hostPort = static_cast<uint16_t>(port);
    op.request.type = net::Ctl::JoinRequest;
    op.request.application = application;
    op.request.instance = instance;
    op.request.name = localName_;
    op.request.password = desc.Password;
    op.deadline = now() + kConnectMs;
    op.sync = sync;
    connect_ = std::move(op);
    enet_host_flush(enet_);
    scheduleService();
    if (!sync) {
        return handle;
    }
    // Synchronous: keep the event loop going until the join has an outcome.
    syncResult_.reset();
    while (connect_ && connect_->handle == handle) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    const HRESULT result = syncResult_.value_or(DPNERR_GENERIC);
    if (result != DPN_OK) {
        raise(result);
    }
    return 0;
}

void SessionCore::onAccept(const net::ControlMessage& m) {
    ConnectOp& op = *connect_;
    const bool hostListed =
        std::any_of(m.players.begin(), m.players.end(),
                    [&](const net::PlayerEntry& e) { return e.id == m.hostId; });
    const bool selfListed =
        std::any_of(m.players.begin(), m.players.end(),
                    [&](const net::PlayerEntry& e) { return e.id == m.playerId; });
    if (m.playerId == 0 || m.hostId == 0 || !hostListed || selfListed) {
        failConnect(DPNERR_GENERIC);
        return;
    }
    op.accept = m;
    localId_ = m.playerId;
    hostId_ = m.hostId;
    localSeq_ = m.seq;
    nextSeq_ = m.nextSeq;
    idSalt_ = m.idSalt;
    desc_ = m.desc;
    links_[op.hostLink].playerId = hostId_;
    for (const net::PlayerEntry& e : m.players) {
        if (e.id == m.hostId) {
            continue;
        }
        // A player the host reaches over its own loopback lives on the host's machine.
        uint32_t ip = e.ipv4;
        if (ip == 0 || (isLoopback(ip) && !isLoopback(op.hostIp))) {
            ip = op.hostIp;
        }
        ENetPeer* peer = connectTo(ip, e.port);
        if (peer == nullptr) {
            failConnect(DPNERR_PLAYERNOTREACHABLE);
            return;
        }
        Link link;
        link.kind = LinkKind::MeshOut;
        link.playerId = e.id;
        links_[peer] = link;
        op.meshPending.insert(e.id);
    }
    enet_host_flush(enet_);
    meshLinkReady(0);
}

void SessionCore::meshLinkReady(DPNID id) {
    if (!connect_ || !connect_->accept) {
        return;
    }
    connect_->meshPending.erase(id);
    if (connect_->meshPending.empty()) {
        net::ControlMessage ready;
        ready.type = net::Ctl::JoinReady;
        sendControl(connect_->hostLink, ready);
    }
}

void SessionCore::onJoinDone() {
    ConnectOp op = std::move(*connect_);
    connect_.reset();
    inSession_ = true;
    players_.clear();
    players_[localId_] = Player{localId_, localSeq_, localName_, nullptr, false, 0, sessionPort()};
    std::vector<DPNID> order;
    for (const net::PlayerEntry& e : op.accept->players) {
        ENetPeer* linkPeer = nullptr;
        for (auto& [peer, link] : links_) {
            if ((link.kind == LinkKind::ToHost || link.kind == LinkKind::MeshOut) &&
                link.playerId == e.id) {
                linkPeer = peer;
                link.kind = LinkKind::Player;
                link.deadline = 0;
                break;
            }
        }
        if (linkPeer == nullptr) {
            continue;
        }
        players_[e.id] =
            Player{e.id, e.seq, e.name, linkPeer, false, peerIp(linkPeer), linkPeer->address.port};
        order.push_back(e.id);
    }
    const DPNID self = localId_;
    post([self](DirectPlay8Event& h) {
        bool reject = false;
        h.DirectPlay8Event_CreatePlayer(self, reject);
    });
    for (DPNID id : order) {  // the host lists them in join order
        post([id](DirectPlay8Event& h) {
            bool reject = false;
            h.DirectPlay8Event_CreatePlayer(id, reject);
        });
    }
    const DPNHANDLE handle = op.handle;
    post([handle](DirectPlay8Event& h) {
        DPNMSG_CONNECT_COMPLETE m;
        m.AsyncOpHandle = handle;
        m.hResultCode = DPN_OK;
        bool reject = false;
        h.DirectPlay8Event_ConnectComplete(m, reject);
    });
    for (auto& [from, data] : op.earlyData) {
        if (players_.count(from) == 0) {
            continue;
        }
        post([from, data = std::move(data)](DirectPlay8Event& h) {
            DPNMSG_RECEIVE m;
            m.idSender = from;
            m.ReceivedData = data;
            m.lDataSize = static_cast<int32_t>(data.size());
            bool reject = false;
            h.DirectPlay8Event_Receive(m, reject);
        });
    }
    if (op.sync) {
        syncResult_ = DPN_OK;
    }
}

void SessionCore::failConnect(HRESULT result) {
    if (!connect_) {
        return;
    }
    ConnectOp op = std::move(*connect_);
    connect_.reset();
    if (op.accept && op.hostLink != nullptr && links_.count(op.hostLink) != 0) {
        net::ControlMessage fail;
        fail.type = net::Ctl::JoinFail;
        fail.result = result;
        sendControl(op.hostLink, fail);
    }
    leaveSession(false);
    qCDebug(lcSession) << "connect failed with" << hresultHex(result);
    if (op.sync) {
        syncResult_ = result;
    }
    const DPNHANDLE handle = op.handle;
    post([handle, result](DirectPlay8Event& h) {
        DPNMSG_CONNECT_COMPLETE m;
        m.AsyncOpHandle = handle;
        m.hResultCode = result;
        bool reject = false;
        h.DirectPlay8Event_ConnectComplete(m, reject);
    });
}

// ---- Sending and leaving ----------------------------------------------------------------------

DPNHANDLE SessionCore::sendTo(DPNID target, const QByteArray& data, int32_t timeOut,
                              int32_t flags) {
    Q_UNUSED(timeOut);
    if (!inSession_ || enet_ == nullptr) {
        raise(DPNERR_NOCONNECTION);
    }
    if (data.size() > kMaxSendBytes) {
        raise(DPNERR_SENDTOOLARGE);
    }
    std::vector<ENetPeer*> peers;
    bool toSelf = false;
    if (target == DPNID_ALL_PLAYERS_GROUP) {
        for (const auto& [id, p] : players_) {
            if (!p.gone && p.link != nullptr) {
                peers.push_back(p.link);
            }
        }
        toSelf = (flags & DPNSEND_NOLOOPBACK) == 0;
    } else if (target == localId_) {
        toSelf = true;
    } else {
        const auto it = players_.find(target);
        if (it == players_.end() || it->second.gone || it->second.link == nullptr) {
            raise(DPNERR_INVALIDPLAYER);
        }
        peers.push_back(it->second.link);
    }
    if (!peers.empty()) {
        enet_uint32 packetFlags = 0;
        if (flags & DPNSEND_GUARANTEED) {
            packetFlags = ENET_PACKET_FLAG_RELIABLE;
        } else if (flags & DPNSEND_NONSEQUENTIAL) {
            packetFlags = ENET_PACKET_FLAG_UNSEQUENCED;
        }
        ENetPacket* packet =
            enet_packet_create(data.constData(), static_cast<size_t>(data.size()), packetFlags);
        if (packet == nullptr) {
            raise(DPNERR_OUTOFMEMORY);
        }
        for (ENetPeer* peer : peers) {
            enet_peer_send(peer, net::kChannelData, packet);
        }
        if (packet->referenceCount == 0) {
            enet_packet_destroy(packet);
        }
        enet_host_flush(enet_);
        scheduleService();
    }
    if (toSelf) {
        const DPNID self = localId_;
        post([self, data](DirectPlay8Event& h) {
            DPNMSG_RECEIVE m;
            m.idSender = self;
            m.ReceivedData = data;
            m.lDataSize = static_cast<int32_t>(data.size());
            bool reject = false;
            h.DirectPlay8Event_Receive(m, reject);
        });
    }
    if (flags & DPNSEND_SYNC) {
        return 0;
    }
    const DPNHANDLE handle = newHandle();
    if ((flags & DPNSEND_NOCOMPLETE) == 0) {
        post([handle](DirectPlay8Event& h) {
            DPNMSG_SEND_COMPLETE m;
            m.AsyncOpHandle = handle;
            bool reject = false;
            h.DirectPlay8Event_SendComplete(m, reject);
        });
    }
    return handle;
}

DPNHANDLE SessionCore::sendToHost(const QByteArray& data, int32_t timeOut, int32_t flags) {
    if (!inSession_) {
        raise(DPNERR_NOCONNECTION);
    }
    return sendTo(hostId_, data, timeOut, flags | DPNSEND_NOLOOPBACK);
}

void SessionCore::close(int32_t flags) {
    Q_UNUSED(flags);
    for (auto& [h, s] : searches_) {
        s->stop();
    }
    searches_.clear();
    if (connect_) {
        const bool sync = connect_->sync;
        connect_.reset();
        if (sync) {
            syncResult_ = DPNERR_USERCANCEL;
        }
    }
    leaveSession(inSession_);
    dispatcher_->discardPending();
}

void SessionCore::registerLobby(DPNHANDLE handle, DirectPlay8LobbiedApplication* lobbyApp,
                                int32_t flags) {
    if (flags == DPNLOBBY_REGISTER) {
        if (lobbyApp == nullptr || handle == 0) {
            raise(DPNERR_INVALIDPARAM);
        }
        if (lobbyApp_ != nullptr) {
            raise(DPNERR_ALREADYREGISTERED);
        }
        lobbyHandle_ = handle;
        lobbyApp_ = lobbyApp;
        return;
    }
    if (flags == DPNLOBBY_UNREGISTER) {
        if (lobbyApp_ == nullptr) {
            raise(DPNERR_NOTREGISTERED);
        }
        lobbyHandle_ = 0;
        lobbyApp_ = nullptr;
        return;
    }
    raise(DPNERR_INVALIDFLAGS);
}

}  // namespace dx8
