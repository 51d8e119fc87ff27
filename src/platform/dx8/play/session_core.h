#pragma once

// The engine behind DirectPlay8Peer and DirectPlay8Client: one player's side of a full-mesh
// session on ENet. It keeps the public calls and hands the work to one role each: the links
// (EnetLinks), the roster, the host's side of a join (HostJoin), the joiner's (Joiner), the
// players' side of a running session (Members), and discovery. It runs on the GUI thread, and
// every notification goes through SessionEvents.

#include <QElapsedTimer>
#include <QObject>
#include <map>
#include <memory>
#include <optional>

#include "platform/dx8/directplay8.h"
#include "platform/dx8/play/discovery.h"
#include "platform/dx8/play/enet_links.h"
#include "platform/dx8/play/host_join.h"
#include "platform/dx8/play/joiner.h"
#include "platform/dx8/play/members.h"
#include "platform/dx8/play/path_upgrades.h"
#include "platform/dx8/play/roster.h"
#include "platform/dx8/play/session_context.h"
#include "platform/dx8/play/session_events.h"

namespace dx8 {

// The UDP port a peer's or client's session runs on (0 outside a session or for another kind of
// object): for tools and tests that need to tell others where to join.
uint16_t sessionPortOf(const DirectPlay8Peer* peer);
uint16_t sessionPortOf(const DirectPlay8Client* client);

WireStats wireStatsOf(const DirectPlay8Peer* peer);

// How this player is reached and reaches the others, for windows and tools.
struct PlayerPath {
    DPNID id = 0;
    QString name;
    PathKind path = PathKind::Direct;
    int rttMs = -1;  // -1: not measured yet
};
struct Reachability {
    Endpoint observed;  // where the host of our last join saw us (0: not joined or hosting)
    Endpoint mapped;    // what our router forwards to us (0: nothing)
    std::vector<PlayerPath> players;  // the present remote players, in join order
};
Reachability reachabilityOf(const DirectPlay8Peer* peer);
// What the router forwards to this peer's session port, for those who join later.
void setMappedEndpointOf(DirectPlay8Peer* peer, uint32_t ipv4, uint16_t port);

// The lobby connection a peer or client holds through RegisterLobby (handle 0 and no
// application when none), for tests and tools that check it was given back.
struct LobbyRegistration {
    DPNHANDLE handle = 0;
    DirectPlay8LobbiedApplication* application = nullptr;
};
LobbyRegistration lobbyRegistrationOf(const DirectPlay8Peer* peer);
LobbyRegistration lobbyRegistrationOf(const DirectPlay8Client* client);

class SessionCore : public QObject, public LinkListener {
    Q_OBJECT
public:
    explicit SessionCore(bool clientOnly, QObject* parent = nullptr);
    ~SessionCore() override;

    void setHandler(DirectPlay8Event* handler) { events_->setHandler(handler); }
    DirectPlay8Event* handler() const { return events_->handler(); }

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
    uint16_t sessionPort() const { return links_->localPort(); }
    bool inSession() const { return roster_.inSession; }
    bool isHost() const { return roster_.isHost(); }
    DPNID localId() const { return roster_.localId; }

    WireStats wireStats() const { return links_->wireStats(); }
    Reachability reachability() const;
    // What our router forwards to us; the players hear of a change.
    void setMappedEndpoint(Endpoint mapped);

protected:
    // What the links report.
    bool takesVisitors() const override;
    void linkUp(LinkId link, Link& state) override;
    void linkDown(LinkId link, const Link& state) override;
    void dataArrived(LinkId link, const Link& state, const QByteArray& data) override;
    void relayArrived(LinkId link, const Link& state, const QByteArray& packet,
                      bool guaranteed) override;
    void controlArrived(LinkId link, const net::ControlMessage& m) override;
    std::optional<QByteArray> queryArrived(const uint8_t* data, size_t size, uint32_t ip,
                                           uint16_t port) override;
    void deadlinesDue() override;
    qint64 earliestDeadline() const override;

private:
    // Whether losing the link to this player means we are the one cut off.
    bool cutOff(DPNID lost) const;
    void searchFinished(DPNHANDLE handle, HRESULT result);
    void leaveSession(bool announce);
    DPNHANDLE newHandle();
    qint64 now() const { return clock_.elapsed(); }

    const bool clientOnly_;
    QElapsedTimer clock_;
    DPNHANDLE nextHandle_ = 1;
    Roster roster_;
    SessionEvents* events_;
    std::unique_ptr<EnetLinks> links_;
    SessionContext context_;
    HostJoin hostJoin_;
    Joiner joiner_;
    Members members_;
    PathUpgrades upgrades_;
    QueryResponder responder_;
    std::map<DPNHANDLE, std::unique_ptr<HostSearch>> searches_;

    DPNHANDLE lobbyHandle_ = 0;
    DirectPlay8LobbiedApplication* lobbyApp_ = nullptr;
};

}  // namespace dx8
