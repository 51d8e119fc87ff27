#pragma once

// The engine behind DirectPlay8Peer and DirectPlay8Client: one player's side of a full-mesh
// session on ENet. ENet carries the packets, reliability and liveness; this class keeps the
// players, the host role, joins, migration and discovery. It runs on the GUI thread: ENet's
// socket is watched with a QSocketNotifier, a single-shot timer wakes ENet when it next has
// something to do (a resend, a ping, a timeout) or a deadline of ours falls due, and every
// notification goes through a SerialDispatcher.

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QUuid>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/dx8/directplay8.h"
#include "platform/dx8/serial_dispatcher.h"
#include "platform/dx8/session_protocol.h"

struct _ENetHost;
struct _ENetPeer;
struct _ENetEvent;
class QSocketNotifier;
class QTimer;

namespace dx8 {

class HostSearch;

// The UDP port a peer's or client's session runs on (0 outside a session or for another kind of
// object): for tools and tests that need to tell others where to join.
uint16_t sessionPortOf(const DirectPlay8Peer* peer);
uint16_t sessionPortOf(const DirectPlay8Client* client);

// What went over the wire in the current session, for benchmarks: UDP datagrams and their
// payload bytes (ENet's headers included, IP and UDP headers not), and the most common size of
// received datagrams of at least 100 bytes (an application message of that size plus framing).
struct WireStats {
    uint64_t sentDatagrams = 0;
    uint64_t sentBytes = 0;
    uint64_t receivedDatagrams = 0;
    uint64_t receivedBytes = 0;
    int commonLargeDatagram = 0;
};
WireStats wireStatsOf(const DirectPlay8Peer* peer);

// The lobby connection a peer or client holds through RegisterLobby (handle 0 and no
// application when none), for tests and tools that check it was given back.
struct LobbyRegistration {
    DPNHANDLE handle = 0;
    DirectPlay8LobbiedApplication* application = nullptr;
};
LobbyRegistration lobbyRegistrationOf(const DirectPlay8Peer* peer);
LobbyRegistration lobbyRegistrationOf(const DirectPlay8Client* client);

class SessionCore : public QObject {
    Q_OBJECT
public:
    explicit SessionCore(bool clientOnly, QObject* parent = nullptr);
    ~SessionCore() override;

    void setHandler(DirectPlay8Event* handler) { handler_ = handler; }
    DirectPlay8Event* handler() const { return handler_; }

    int32_t serviceProviderCount() const { return 1; }
    DPN_SERVICE_PROVIDER_INFO serviceProvider(int32_t index) const;

    DPNHANDLE setLocalInfo(const DPN_PLAYER_INFO& info, int32_t flags);
    DPN_PLAYER_INFO playerInfo(DPNID id, int32_t flags) const;

    void host(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* device, int32_t flags);
    DPNHANDLE enumHosts(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* hostAddr,
                        const DirectPlay8Address* device, int32_t retryCount, int32_t retryInterval,
                        int32_t timeOut, int32_t flags);
    void cancel(DPNHANDLE handle, int32_t flags);
    DPNHANDLE connect(const DPN_APPLICATION_DESC& desc, const DirectPlay8Address* hostAddr,
                      const DirectPlay8Address* device, int32_t flags);
    DPNHANDLE sendTo(DPNID target, const QByteArray& data, int32_t timeOut, int32_t flags);
    DPNHANDLE sendToHost(const QByteArray& data, int32_t timeOut, int32_t flags);
    void close(int32_t flags);

    void registerLobby(DPNHANDLE handle, DirectPlay8LobbiedApplication* lobbyApp, int32_t flags);
    DPNHANDLE lobbyHandle() const { return lobbyHandle_; }
    DirectPlay8LobbiedApplication* lobbyApplication() const { return lobbyApp_; }

    // The UDP port the session runs on; 0 outside a session.
    uint16_t sessionPort() const;
    bool inSession() const { return inSession_; }
    bool isHost() const { return inSession_ && localId_ == hostId_; }
    DPNID localId() const { return localId_; }

    WireStats wireStats() const;

    // Called by a running search; public for HostSearch only.
    void postSearchAnswer(DPNHANDLE handle, DPNMSG_ENUM_HOSTS_RESPONSE response);
    void searchFinished(DPNHANDLE handle, HRESULT result);

private:
    enum class LinkKind {
        Unverified,  // someone connected; nothing said yet
        Joiner,      // host side: a joiner's link while it joins (and then a player)
        MeshIn,      // a joiner linked to us with a valid token; waits for PlayerAdded
        ToHost,      // joiner side: the link to the host during a join
        MeshOut,     // joiner side: a link to a present player during a join
        Player,      // a player of the session
        Closing,     // on its way out; nothing it sends counts
    };
    struct Link {
        LinkKind kind = LinkKind::Unverified;
        DPNID playerId = 0;
        qint64 deadline = 0;  // ms on clock_; 0 = none
        bool connected = false;
        bool acked = false;                        // MeshOut: the player accepted our hello
        std::optional<net::ControlMessage> hello;  // an early MeshHello waiting for its Expect
    };
    struct Player {
        DPNID id = 0;
        uint32_t seq = 0;
        QString name;
        _ENetPeer* link = nullptr;  // null for the local player
        bool gone = false;          // destroyed; kept until DestroyPlayer was delivered
        uint32_t ipv4 = 0;
        uint16_t port = 0;
    };
    struct Expectation {
        DPNID id = 0;
        uint64_t token = 0;
        qint64 deadline = 0;
    };
    // Host side: the one join in progress.
    struct PendingJoin {
        _ENetPeer* link = nullptr;
        DPNID id = 0;
        uint32_t seq = 0;
        QString name;
        bool adding = false;  // JoinReady came; waiting for the players' AddedAck
        std::set<DPNID> awaitingAck;
        qint64 deadline = 0;
    };
    struct QueuedJoin {
        _ENetPeer* link = nullptr;
        net::ControlMessage request;
    };
    // Joiner side: the connect in progress.
    struct ConnectOp {
        DPNHANDLE handle = 0;
        _ENetPeer* hostLink = nullptr;
        uint32_t hostIp = 0;
        uint16_t hostPort = 0;
        net::ControlMessage request;
        std::optional<net::ControlMessage> accept;
        std::set<DPNID> meshPending;
        qint64 deadline = 0;
        bool sync = false;
        std::optional<HRESULT> syncResult;
        std::vector<std::pair<DPNID, QByteArray>> earlyData;
    };

    // Notifications.
    void post(std::function<void(DirectPlay8Event&)> call);
    void postDestroyPlayer(DPNID id, int32_t reason);

    // How a link ends.
    enum class Drop {
        Now,         // tell the other side at once and forget the link
        AwaitClose,  // the other side closes it; forget it silently if it does not in time
        Silently,    // forget it without a word: the other side is gone or cut off
    };

    // ENet plumbing.
    bool openHost(uint32_t bindIp, int firstPort, bool anyPortFallback);
    void closeHost();
    void pump();
    void onReadable();
    void onTick();
    void scheduleService();
    qint64 msUntilServiceDue() const;
    void checkDeadlines();
    bool waitsOnDeadline(const _ENetPeer* peer, const Link& link) const;
    void retireLinksAt(_ENetPeer* fresh);
    void handleConnect(_ENetPeer* peer);
    void handleDisconnect(_ENetPeer* peer);
    void handleData(_ENetPeer* peer, const QByteArray& data);
    void handleControl(_ENetPeer* peer, const net::ControlMessage& m);
    void sendControl(_ENetPeer* peer, const net::ControlMessage& m);
    void dropLink(_ENetPeer* peer, Drop how);
    _ENetPeer* connectTo(uint32_t ipv4, uint16_t port);
    static int intercept(_ENetHost* host, _ENetEvent* event);
    void answerQuery(const uint8_t* data, size_t size, const void* from);
    bool admitQuery(uint32_t sourceIp);

    // Host side.
    void onJoinRequest(_ENetPeer* peer, const net::ControlMessage& m);
    void startJoin(_ENetPeer* peer, const net::ControlMessage& m);
    void onJoinReady(_ENetPeer* peer);
    void finishJoin();
    void abortJoin(HRESULT refuse);
    void nextQueuedJoin();
    DPNID allocateId(uint32_t& seq);
    int activePlayers() const;

    // Player side.
    void onExpect(const net::ControlMessage& m);
    void onMeshHello(_ENetPeer* peer, const net::ControlMessage& m);
    void onPlayerAdded(const net::ControlMessage& m);
    void removePlayer(DPNID id, int32_t reason);
    // The players not destroyed, earliest joined first.
    std::vector<const Player*> presentInJoinOrder() const;
    DPNID successorOf(DPNID host) const;
    void hostGone(DPNID oldHost, int32_t reason);
    void endSession(HRESULT result, int32_t reason);
    void leaveSession(bool announce);

    // Joiner side.
    void onAccept(const net::ControlMessage& m);
    void meshLinkReady(DPNID id);
    void onJoinDone();
    void failConnect(HRESULT result);

    DPNHANDLE newHandle();
    qint64 now() const { return clock_.elapsed(); }
    void broadcastControl(const net::ControlMessage& m, DPNID except = 0);
    std::optional<QString> askForAddress(bool allowed) const;

    const bool clientOnly_;
    DirectPlay8Event* handler_ = nullptr;
    SerialDispatcher* dispatcher_;
    QElapsedTimer clock_;
    DPNHANDLE nextHandle_ = 1;
    QString localName_;

    _ENetHost* enet_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* ticker_ = nullptr;
    qint64 tickDue_ = 0;  // when the timer is set to fire, on clock_
    std::map<_ENetPeer*, Link> links_;

    // The session.
    uint64_t generation_ = 0;
    bool inSession_ = false;
    net::SessionDesc desc_;
    QString password_;
    DPNID localId_ = 0;
    DPNID hostId_ = 0;
    uint32_t localSeq_ = 0;
    uint32_t nextSeq_ = 0;
    uint32_t idSalt_ = 0;
    std::map<DPNID, Player> players_;
    std::vector<Expectation> expectations_;
    std::optional<PendingJoin> join_;
    std::deque<QueuedJoin> joinQueue_;
    std::optional<ConnectOp> connect_;
    std::optional<HRESULT> syncResult_;  // outcome of a synchronous Connect

    // Discovery answers: per-sender and overall token buckets.
    struct Bucket {
        double tokens = 0;
        qint64 at = 0;
    };
    QHash<uint32_t, Bucket> queryBuckets_;
    Bucket allQueries_;

    std::map<DPNHANDLE, std::unique_ptr<HostSearch>> searches_;

    // Sizes of received datagrams up to 255 bytes, for wireStats().
    std::vector<uint32_t> receivedSizes_ = std::vector<uint32_t>(256, 0);

    DPNHANDLE lobbyHandle_ = 0;
    DirectPlay8LobbiedApplication* lobbyApp_ = nullptr;
};

}  // namespace dx8
