// The DirectPlay 8 peer and client: thin faces over one SessionCore each, and the session's
// extras for those who hold a face.
#include <memory>

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>

#include "net/session/session_core.h"
#include "platform/dx8/directx8.h"
#include "platform/dx8/lobby/directplay8_lobby.h"
#include "platform/dx8/play/peer_extras.h"

Q_DECLARE_LOGGING_CATEGORY(lcSession)

namespace dx8 {

namespace {

// The calls a peer and a client share, each passed to the session core.
template <typename Interface>
class SessionFace : public Interface {
public:
    explicit SessionFace(bool clientOnly) : core_(std::make_unique<SessionCore>(clientOnly)) {
        core_->setConnectObserver([this](HRESULT result) {
            tellLobby(result == DPN_OK ? DPLSESSION_CONNECTED : DPLSESSION_COULDNOTCONNECT,
                      result);
        });
    }

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
        const DPNHANDLE handle = core_->connect(appDesc, address, deviceInfo, lFlags);
        if ((lFlags & DPNOP_SYNC) == 0) {
            return handle;
        }
        // A synchronous Connect keeps the event loop going until the join has an outcome:
        // the engine itself never waits.
        while (core_->connectUnderWay(handle)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            50);
        }
        const HRESULT result = core_->connectOutcome();
        if (result != DPN_OK) {
            raise(result);
        }
        return 0;
    }
    void Close(int32_t lFlags) override { core_->close(lFlags); }
    void RegisterLobby(DPNHANDLE dpnHandle, DirectPlay8LobbiedApplication* lobbyApp,
                       int32_t lFlags) override {
        if (lFlags == DPNLOBBY_REGISTER) {
            if (lobbyApp == nullptr || dpnHandle == 0) {
                raise(DPNERR_INVALIDPARAM);
            }
            if (lobby_.application != nullptr) {
                raise(DPNERR_ALREADYREGISTERED);
            }
            lobby_ = {dpnHandle, lobbyApp};
            return;
        }
        if (lFlags == DPNLOBBY_UNREGISTER) {
            if (lobby_.application == nullptr) {
                raise(DPNERR_NOTREGISTERED);
            }
            lobby_ = {};
            return;
        }
        raise(DPNERR_INVALIDFLAGS);
    }

    const SessionCore* core() const { return core_.get(); }
    SessionCore* core() { return core_.get(); }
    LobbyRegistration lobby() const { return lobby_; }

protected:
    // Tells the lobby connection registered with us, if any, how its session went.
    void tellLobby(int32_t status, HRESULT result) {
        if (lobby_.application == nullptr) {
            return;
        }
        try {
            lobby_.application->UpdateStatus(lobby_.handle, status, 0, result);
        } catch (const DxError& e) {
            // The lobby client has gone; the session is ours to run all the same.
            qCDebug(lcSession) << "telling the lobby failed" << hresultHex(e.code());
        }
    }

    std::unique_ptr<SessionCore> core_;
    LobbyRegistration lobby_;
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
            tellLobby(DPLSESSION_COULDNOTCONNECT, e.code());
            throw;
        }
        tellLobby(DPLSESSION_CONNECTED, DPN_OK);
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
    return p != nullptr ? p->lobby()
                        : LobbyRegistration{};
}

LobbyRegistration lobbyRegistrationOf(const DirectPlay8Client* client) {
    const auto* c = dynamic_cast<const Client*>(client);
    return c != nullptr ? c->lobby()
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
