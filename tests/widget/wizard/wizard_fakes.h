#pragma once

// Test doubles of the platform objects the wizard talks to: a peer and a client that record
// their calls and complete connects the way the platform does (later, from the event loop), a
// lobbied application, and a callback that records what was forwarded to it.

#include <QStringList>
#include <QTimer>
#include <optional>
#include <vector>

#include "platform/dx8/directx8.h"
#include "platform/dx8/event_adapters.h"
#include "net/paths/session_address_source.h"
#include "stub_peer.h"

namespace wizard_test {

struct AddressSeen {
    bool given = false;
    QString url;
};

inline AddressSeen seen(const dx8::DirectPlay8Address* address) {
    return address != nullptr ? AddressSeen{true, address->GetURL()} : AddressSeen{};
}

// What a peer and a client share.
struct FakePlatform {
    QStringList calls;
    std::vector<dx8::DPN_SERVICE_PROVIDER_INFO> providers;
    dx8::DirectPlay8Event* handler = nullptr;
    dx8::DPNHANDLE nextHandle = 0x100;

    std::optional<dx8::HRESULT> failEnumHosts;
    std::optional<dx8::HRESULT> failCancel;
    std::optional<dx8::HRESULT> failConnect;
    std::optional<dx8::HRESULT> failSetInfo;
    // The result the platform reports for a connect; none = the test delivers it itself.
    std::optional<dx8::HRESULT> connectResult = dx8::DPN_OK;

    dx8::DPN_APPLICATION_DESC enumDesc;
    AddressSeen enumHost, enumDevice;
    int32_t enumRetryCount = 0, enumRetryInterval = 0, enumTimeOut = 0, enumFlags = 0;
    dx8::DPNHANDLE cancelledHandle = 0;
    int32_t cancelFlags = -1;
    dx8::DPN_APPLICATION_DESC connectDesc;
    AddressSeen connectHost, connectDevice;
    int32_t connectFlags = -1;
    int connects = 0;
    dx8::DPN_PLAYER_INFO info;
    int32_t infoFlags = 0;

    dx8::DPN_SERVICE_PROVIDER_INFO provider(int32_t index) {
        calls << QStringLiteral("GetServiceProvider %1").arg(index);
        if (index < 1 || static_cast<size_t>(index) > providers.size()) {
            dx8::raise(dx8::DPNERR_DOESNOTEXIST);
        }
        return providers[static_cast<size_t>(index - 1)];
    }
    dx8::DPNHANDLE enumHosts(const dx8::DPN_APPLICATION_DESC& desc,
                             const dx8::DirectPlay8Address* host,
                             const dx8::DirectPlay8Address* device, int32_t count, int32_t interval,
                             int32_t timeOut, int32_t flags) {
        calls << QStringLiteral("EnumHosts");
        // As the platform does: no address and leave to ask, so the player is asked first.
        if (host == nullptr && (flags & dx8::DPNENUMHOSTS_OKTOQUERYFORADDRESSING) != 0 &&
            !dx8::sessionAddressSource().ask()) {
            dx8::raise(dx8::DPNERR_USERCANCEL);
        }
        if (failEnumHosts) {
            dx8::raise(*failEnumHosts);
        }
        enumDesc = desc;
        enumHost = seen(host);
        enumDevice = seen(device);
        enumRetryCount = count;
        enumRetryInterval = interval;
        enumTimeOut = timeOut;
        enumFlags = flags;
        return nextHandle++;
    }
    void cancel(dx8::DPNHANDLE handle, int32_t flags) {
        calls << QStringLiteral("CancelAsyncOperation");
        if (failCancel) {
            dx8::raise(*failCancel);
        }
        cancelledHandle = handle;
        cancelFlags = flags;
    }
    dx8::DPNHANDLE connect(const dx8::DPN_APPLICATION_DESC& desc,
                           const dx8::DirectPlay8Address* host,
                           const dx8::DirectPlay8Address* device, int32_t flags) {
        calls << QStringLiteral("Connect");
        if (failConnect) {
            dx8::raise(*failConnect);
        }
        ++connects;
        connectDesc = desc;
        connectHost = seen(host);
        connectDevice = seen(device);
        connectFlags = flags;
        const dx8::DPNHANDLE handle = nextHandle++;
        if (connectResult) {
            const dx8::HRESULT result = *connectResult;
            QTimer::singleShot(0, [this, handle, result] {
                dx8::DPNMSG_CONNECT_COMPLETE done;
                done.AsyncOpHandle = handle;
                done.hResultCode = result;
                bool reject = false;
                if (handler != nullptr) {
                    handler->DirectPlay8Event_ConnectComplete(done, reject);
                }
            });
        }
        return handle;
    }
    void setInfo(const dx8::DPN_PLAYER_INFO& player, int32_t flags, const char* name) {
        calls << QString::fromLatin1(name);
        if (failSetInfo) {
            dx8::raise(*failSetInfo);
        }
        info = player;
        infoFlags = flags;
    }
};

// The calls a peer and a client share, recorded alike.
template <class Interface>
class FakeSession : public Interface, public FakePlatform {
public:
    void RegisterMessageHandler(dx8::DirectPlay8Event* h) override {
        calls << QStringLiteral("RegisterMessageHandler");
        handler = h;
    }
    void UnRegisterMessageHandler() override { handler = nullptr; }
    int32_t GetCountServiceProviders(int32_t) override {
        return static_cast<int32_t>(providers.size());
    }
    dx8::DPN_SERVICE_PROVIDER_INFO GetServiceProvider(int32_t lIndex) override {
        return provider(lIndex);
    }
    dx8::DPNHANDLE EnumHosts(const dx8::DPN_APPLICATION_DESC& appDesc,
                             const dx8::DirectPlay8Address* addrHost,
                             const dx8::DirectPlay8Address* deviceInfo, int32_t lRetryCount,
                             int32_t lRetryInterval, int32_t lTimeOut, int32_t lFlags,
                             const QByteArray&, int32_t) override {
        return enumHosts(appDesc, addrHost, deviceInfo, lRetryCount, lRetryInterval, lTimeOut,
                         lFlags);
    }
    void CancelAsyncOperation(dx8::DPNHANDLE hAsyncHandle, int32_t lFlags) override {
        cancel(hAsyncHandle, lFlags);
    }
    dx8::DPNHANDLE Connect(const dx8::DPN_APPLICATION_DESC& appDesc,
                           const dx8::DirectPlay8Address* address,
                           const dx8::DirectPlay8Address* deviceInfo, int32_t lFlags,
                           const QByteArray&, int32_t) override {
        return connect(appDesc, address, deviceInfo, lFlags);
    }
    void Close(int32_t) override { calls << QStringLiteral("Close"); }
    void RegisterLobby(dx8::DPNHANDLE, dx8::DirectPlay8LobbiedApplication*,
                       int32_t lFlags) override {
        calls << QStringLiteral("RegisterLobby %1").arg(lFlags);
    }
};

class FakePeer : public FakeSession<orvel::testing::StubPeer> {
public:
    std::optional<dx8::HRESULT> failHost;
    dx8::DPN_APPLICATION_DESC hostDesc;
    AddressSeen hostDevice;
    int32_t hostFlags = -1;

    dx8::DPNHANDLE SetPeerInfo(const dx8::DPN_PLAYER_INFO& p, int32_t lFlags) override {
        setInfo(p, lFlags, "SetPeerInfo");
        return 0;
    }
    dx8::DPN_PLAYER_INFO GetPeerInfo(dx8::DPNID, int32_t) override { return info; }
    void Host(const dx8::DPN_APPLICATION_DESC& appDesc, const dx8::DirectPlay8Address* address,
              int32_t lFlags) override {
        calls << QStringLiteral("Host");
        if (failHost) {
            dx8::raise(*failHost);
        }
        hostDesc = appDesc;
        hostDevice = seen(address);
        hostFlags = lFlags;
    }
};

class FakeClient : public FakeSession<dx8::DirectPlay8Client> {
public:
    dx8::DPNHANDLE SetClientInfo(const dx8::DPN_PLAYER_INFO& p, int32_t lFlags) override {
        setInfo(p, lFlags, "SetClientInfo");
        return 0;
    }
    dx8::DPNHANDLE Send(const QByteArray&, int32_t, int32_t) override { return 0; }
};

class FakeLobby : public dx8::DirectPlay8LobbiedApplication {
public:
    QStringList calls;
    dx8::DirectPlay8LobbyEvent* handler = nullptr;
    dx8::DPL_PROGRAM_DESC program;
    int32_t programFlags = -1;
    std::optional<bool> available;
    std::optional<dx8::HRESULT> failAvailable;

    void RegisterMessageHandler(dx8::DirectPlay8LobbyEvent* h) override {
        calls << QStringLiteral("RegisterMessageHandler");
        handler = h;
    }
    void UnRegisterMessageHandler() override { handler = nullptr; }
    void RegisterProgram(const dx8::DPL_PROGRAM_DESC& desc, int32_t lFlags) override {
        calls << QStringLiteral("RegisterProgram");
        program = desc;
        programFlags = lFlags;
    }
    void UnRegisterProgram(const QString&, int32_t) override {
        calls << QStringLiteral("UnRegisterProgram");
    }
    void SetAppAvailable(bool fAvailable, int32_t lFlags) override {
        calls << QStringLiteral("SetAppAvailable %1 %2").arg(fAvailable).arg(lFlags);
        if (failAvailable) {
            dx8::raise(*failAvailable);
        }
        available = fAvailable;
    }
    dx8::DPL_CONNECTION_SETTINGS GetConnectionSettings(dx8::DPNHANDLE, int32_t) override {
        dx8::raise(dx8::DPNERR_INVALIDHANDLE);
    }
    void UpdateStatus(dx8::DPNHANDLE, int32_t lStatus, int32_t, dx8::HRESULT) override {
        calls << QStringLiteral("UpdateStatus %1").arg(lStatus);
    }
    void Close() override { calls << QStringLiteral("Close"); }
};

// Notes by name the notifications the wizard's tests look at; fails on request.
class RecordingCallback : public dx8::DirectPlay8EventAdapter {
public:
    QStringList events;
    QString failOn;  // the event name whose handler raises
    std::vector<dx8::HRESULT> connectResults;
    std::vector<QByteArray> received;

    void DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& n, bool& r) override {
        connectResults.push_back(n.hResultCode);
        note("ConnectComplete", r);
    }
    void DirectPlay8Event_CreatePlayer(dx8::DPNID, bool& r) override { note("CreatePlayer", r); }
    void DirectPlay8Event_EnumHostsResponse(dx8::DPNMSG_ENUM_HOSTS_RESPONSE&, bool& r) override {
        note("EnumHostsResponse", r);
    }
    void DirectPlay8Event_Receive(dx8::DPNMSG_RECEIVE& n, bool& r) override {
        received.push_back(n.ReceivedData);
        note("Receive", r);
    }

private:
    void note(const char* name, bool&) {
        events << QString::fromLatin1(name);
        if (failOn == QLatin1String(name)) {
            dx8::raise(dx8::E_FAIL);
        }
    }
};

}  // namespace wizard_test
