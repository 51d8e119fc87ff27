// The DirectPlay 8 peer and client: thin faces over one SessionCore each, and the session's
// extras for those who hold a face.
#include <memory>

#include "platform/dx8/directx8.h"
#include "platform/dx8/play/session_core.h"

namespace dx8 {

namespace {

// The calls a peer and a client share, each passed to the session core.
template <typename Interface>
class SessionFace : public Interface {
public:
    explicit SessionFace(bool clientOnly) : core_(std::make_unique<SessionCore>(clientOnly)) {}

    void RegisterMessageHandler(DirectPlay8Event* handler) override {
        if (handler == nullptr) {
            raise(DPNERR_INVALIDPARAM);
        }
        if (core_->handler() != nullptr && core_->handler() != handler) {
            raise(DPNERR_ALREADYINITIALIZED);
        }
        core_->setHandler(handler);
    }
    void UnRegisterMessageHandler() override { core_->setHandler(nullptr); }
    int32_t GetCountServiceProviders(int32_t) override { return core_->serviceProviderCount(); }
    DPN_SERVICE_PROVIDER_INFO GetServiceProvider(int32_t lIndex) override {
        return core_->serviceProvider(lIndex);
    }
    DPNHANDLE EnumHosts(const DPN_APPLICATION_DESC& appDesc, const DirectPlay8Address* addrHost,
                        const DirectPlay8Address* deviceInfo, int32_t lRetryCount,
                        int32_t lRetryInterval, int32_t lTimeOut, int32_t lFlags, const QByteArray&,
                        int32_t) override {
        return core_->enumHosts(appDesc, addrHost, deviceInfo, lRetryCount, lRetryInterval,
                                lTimeOut, lFlags);
    }
    void CancelAsyncOperation(DPNHANDLE hAsyncHandle, int32_t lFlags) override {
        core_->cancel(hAsyncHandle, lFlags);
    }
    DPNHANDLE Connect(const DPN_APPLICATION_DESC& appDesc, const DirectPlay8Address* address,
                      const DirectPlay8Address* deviceInfo, int32_t lFlags, const QByteArray&,
                      int32_t) override {
        return core_->connect(appDesc, address, deviceInfo, lFlags);
    }
    void Close(int32_t lFlags) override { core_->close(lFlags); }
    void RegisterLobby(DPNHANDLE dpnHandle, DirectPlay8LobbiedApplication* lobbyApp,
                       int32_t lFlags) override {
        core_->registerLobby(dpnHandle, lobbyApp, lFlags);
    }

    const SessionCore* core() const { return core_.get(); }
    SessionCore* core() { return core_.get(); }

protected:
    std::unique_ptr<SessionCore> core_;
};

class Peer final : public SessionFace<DirectPlay8Peer> {
public:
    Peer() : SessionFace(false) {}

    DPNHANDLE SetPeerInfo(const DPN_PLAYER_INFO& playerInfo, int32_t lFlags) override {
        return core_->setLocalInfo(playerInfo, lFlags);
    }
    DPN_PLAYER_INFO GetPeerInfo(DPNID idPeer, int32_t lFlags) override {
        return core_->playerInfo(idPeer, lFlags);
    }
    void Host(const DPN_APPLICATION_DESC& appDesc, const DirectPlay8Address* address,
              int32_t lFlags) override {
        try {
            core_->host(appDesc, address, lFlags);
        } catch (const DxError& e) {
            core_->tellLobby(DPLSESSION_COULDNOTCONNECT, e.code());
            throw;
        }
        core_->tellLobby(DPLSESSION_CONNECTED, DPN_OK);
    }
    DPNHANDLE SendTo(DPNID idSend, const QByteArray& buffer, int32_t lTimeOut,
                     int32_t lFlags) override {
        return core_->sendTo(idSend, buffer, lTimeOut, lFlags);
    }
};

class Client final : public SessionFace<DirectPlay8Client> {
public:
    Client() : SessionFace(true) {}

    DPNHANDLE SetClientInfo(const DPN_PLAYER_INFO& playerInfo, int32_t lFlags) override {
        return core_->setLocalInfo(playerInfo, lFlags);
    }
    DPNHANDLE Send(const QByteArray& buffer, int32_t lTimeOut, int32_t lFlags) override {
        return core_->sendToHost(buffer, lTimeOut, lFlags);
    }
};

}  // namespace

uint16_t sessionPortOf(const DirectPlay8Peer* peer) {
    const auto* p = dynamic_cast<const Peer*>(peer);
    return p != nullptr ? p->core()->sessionPort() : 0;
}

Reachability reachabilityOf(const DirectPlay8Peer* peer) {
    const auto* p = dynamic_cast<const Peer*>(peer);
    return p != nullptr ? p->core()->reachability() : Reachability{};
}

MeetStatus meetStatusOf(const DirectPlay8Peer* peer) {
    const auto* p = dynamic_cast<const Peer*>(peer);
    return p != nullptr ? p->core()->meetStatus() : MeetStatus{};
}

void setMappedEndpointOf(DirectPlay8Peer* peer, uint32_t ipv4, uint16_t port) {
    auto* p = dynamic_cast<Peer*>(peer);
    if (p != nullptr) {
        p->core()->setMappedEndpoint({ipv4, port});
    }
}

ReturnTicket returnTicketOf(const DirectPlay8Peer* peer) {
    const auto* p = dynamic_cast<const Peer*>(peer);
    return p != nullptr ? p->core()->returnTicket() : ReturnTicket{};
}

DPNHANDLE comeBackWith(DirectPlay8Peer* peer, const ReturnTicket& ticket, int budgetMs) {
    auto* p = dynamic_cast<Peer*>(peer);
    if (p == nullptr) {
        raise(DPNERR_INVALIDOBJECT);
    }
    return p->core()->comeBack(ticket, budgetMs);
}

void setComeBackMsOf(DirectPlay8Peer* peer, int ms) {
    if (auto* p = dynamic_cast<Peer*>(peer)) {
        p->core()->setComeBackMs(ms);
    }
}

WireStats wireStatsOf(const DirectPlay8Peer* peer) {
    const auto* p = dynamic_cast<const Peer*>(peer);
    return p != nullptr ? p->core()->wireStats() : WireStats{};
}

JoinProgress joinProgressOf(const DirectPlay8Peer* peer) {
    const auto* p = dynamic_cast<const Peer*>(peer);
    return p != nullptr ? p->core()->joinProgress() : JoinProgress{};
}

QString sessionNameOf(const DirectPlay8Peer* peer) {
    const auto* p = dynamic_cast<const Peer*>(peer);
    return p != nullptr ? p->core()->sessionName() : QString();
}

LobbyRegistration lobbyRegistrationOf(const DirectPlay8Peer* peer) {
    const auto* p = dynamic_cast<const Peer*>(peer);
    return p != nullptr ? LobbyRegistration{p->core()->lobbyHandle(), p->core()->lobbyApplication()}
                        : LobbyRegistration{};
}

LobbyRegistration lobbyRegistrationOf(const DirectPlay8Client* client) {
    const auto* c = dynamic_cast<const Client*>(client);
    return c != nullptr ? LobbyRegistration{c->core()->lobbyHandle(), c->core()->lobbyApplication()}
                        : LobbyRegistration{};
}

uint16_t sessionPortOf(const DirectPlay8Client* client) {
    const auto* c = dynamic_cast<const Client*>(client);
    return c != nullptr ? c->core()->sessionPort() : 0;
}

std::shared_ptr<DirectPlay8Peer> DirectX8::DirectPlayPeerCreate() {
    return std::make_shared<Peer>();
}

std::shared_ptr<DirectPlay8Client> DirectX8::DirectPlayClientCreate() {
    return std::make_shared<Client>();
}

std::shared_ptr<DirectPlay8Address> DirectX8::DirectPlayAddressCreate() {
    return std::make_shared<DirectPlay8Address>();
}

}  // namespace dx8
