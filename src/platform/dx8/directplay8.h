#pragma once

// DirectPlay 8 stand-in: the peer, the client, addresses and the event interface.
//
// Every operation that fails raises dx8::DxError with its result code. Notifications reach the
// registered DirectPlay8Event on the GUI thread, one at a time and in order: a notification is
// never delivered while a handler of the same object is still running (for example inside a
// message box); it waits and follows. A DxError thrown by a handler is the handler's failure and
// is returned to the platform, which reports it through the "orvel.session" log category only.

#include <QMap>
#include <QString>
#include <memory>

#include "platform/dx8/dx8_types.h"

namespace dx8 {

class DirectPlay8LobbiedApplication;

// The notifications of a DirectPlay 8 peer or client, in the order of the platform's interface.
// fRejectMsg is passed by reference; what a handler leaves there goes back to the platform.
class DirectPlay8Event {
public:
    virtual ~DirectPlay8Event() = default;
    virtual void DirectPlay8Event_AddRemovePlayerGroup(int32_t lMsgID, DPNID lPlayerID,
                                                       DPNID lGroupID, bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_AppDesc(bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_AsyncOpComplete(DPNMSG_ASYNC_OP_COMPLETE& dpnotify,
                                                  bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_ConnectComplete(DPNMSG_CONNECT_COMPLETE& dpnotify,
                                                  bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_CreateGroup(DPNID lGroupID, DPNID lOwnerID, bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_CreatePlayer(DPNID lPlayerID, bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_DestroyGroup(DPNID lGroupID, int32_t lReason,
                                               bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_DestroyPlayer(DPNID lPlayerID, int32_t lReason,
                                                bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_EnumHostsQuery(DPNMSG_ENUM_HOSTS_QUERY& dpnotify,
                                                 bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_EnumHostsResponse(DPNMSG_ENUM_HOSTS_RESPONSE& dpnotify,
                                                    bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_HostMigrate(DPNID lNewHostID, bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_IndicateConnect(DPNMSG_INDICATE_CONNECT& dpnotify,
                                                  bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_IndicatedConnectAborted(bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_InfoNotify(int32_t lMsgID, int32_t lNotifyID,
                                             bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_Receive(DPNMSG_RECEIVE& dpnotify, bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_SendComplete(DPNMSG_SEND_COMPLETE& dpnotify,
                                               bool& fRejectMsg) = 0;
    virtual void DirectPlay8Event_TerminateSession(DPNMSG_TERMINATE_SESSION& dpnotify,
                                                   bool& fRejectMsg) = 0;
};

// An address: a service provider plus components such as "hostname" and "port", written as a
// URL "x-directplay:/provider=%7B...%7D;hostname=10.0.0.2;port=2302".
class DirectPlay8Address {
public:
    DirectPlay8Address() = default;

    // Replaces the whole address; raises DPNERR_INVALIDURL for text that is no such URL.
    void BuildFromURL(const QString& url);
    QString GetURL() const;

    void SetSP(const QString& providerGuid);
    QString GetSP() const;  // empty when none was set

    void AddComponentString(const QString& key, const QString& value);
    void AddComponentLong(const QString& key, int32_t value);
    // Raise DPNERR_DOESNOTEXIST when the key is absent.
    QString GetComponentString(const QString& key) const;
    int32_t GetComponentLong(const QString& key) const;
    bool HasComponent(const QString& key) const;

    void Clear();
    bool IsEmpty() const { return components_.isEmpty(); }

private:
    QMap<QString, QString> components_;  // keys in lower case
};

// What a peer and a client do alike: handle notifications, name their service providers, search
// for sessions, join one, and take a lobby's connection.
class DirectPlay8Session {
public:
    virtual ~DirectPlay8Session() = default;

    virtual void RegisterMessageHandler(DirectPlay8Event* handler) = 0;
    virtual void UnRegisterMessageHandler() = 0;

    virtual int32_t GetCountServiceProviders(int32_t lFlags) = 0;
    // lIndex counts from 1.
    virtual DPN_SERVICE_PROVIDER_INFO GetServiceProvider(int32_t lIndex) = 0;

    // addrHost may be null (search without an address). Returns the operation's handle.
    virtual DPNHANDLE EnumHosts(const DPN_APPLICATION_DESC& appDesc,
                                const DirectPlay8Address* addrHost,
                                const DirectPlay8Address* deviceInfo, int32_t lRetryCount,
                                int32_t lRetryInterval, int32_t lTimeOut, int32_t lFlags,
                                const QByteArray& userData, int32_t lUserDataSize) = 0;
    virtual void CancelAsyncOperation(DPNHANDLE hAsyncHandle, int32_t lFlags) = 0;
    virtual DPNHANDLE Connect(const DPN_APPLICATION_DESC& appDesc,
                              const DirectPlay8Address* address,
                              const DirectPlay8Address* deviceInfo, int32_t lFlags,
                              const QByteArray& userData, int32_t lUserDataSize) = 0;
    virtual void Close(int32_t lFlags) = 0;

    virtual void RegisterLobby(DPNHANDLE dpnHandle, DirectPlay8LobbiedApplication* lobbyApp,
                               int32_t lFlags) = 0;
};

// A DirectPlay 8 peer: one player of a peer-to-peer session.
class DirectPlay8Peer : public DirectPlay8Session {
public:
    virtual DPNHANDLE SetPeerInfo(const DPN_PLAYER_INFO& playerInfo, int32_t lFlags) = 0;
    virtual DPN_PLAYER_INFO GetPeerInfo(DPNID idPeer, int32_t lFlags) = 0;

    virtual void Host(const DPN_APPLICATION_DESC& appDesc, const DirectPlay8Address* address,
                      int32_t lFlags) = 0;
    virtual DPNHANDLE SendTo(DPNID idSend, const QByteArray& buffer, int32_t lTimeOut,
                             int32_t lFlags) = 0;
};

// A DirectPlay 8 client. It can search for and join sessions, but never host one.
class DirectPlay8Client : public DirectPlay8Session {
public:
    virtual DPNHANDLE SetClientInfo(const DPN_PLAYER_INFO& playerInfo, int32_t lFlags) = 0;
    virtual DPNHANDLE Send(const QByteArray& buffer, int32_t lTimeOut, int32_t lFlags) = 0;
};

}  // namespace dx8
