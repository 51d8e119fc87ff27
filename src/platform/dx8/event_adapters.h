#pragma once

// Bases for event handlers that care about a few notifications only: one where every
// notification does nothing, and one that hands every notification on to a target. A handler
// derives from one and overrides what it handles.

#include "platform/dx8/directx8.h"

namespace dx8 {

// Every notification is ignored and fRejectMsg is left as the platform passed it.
class DirectPlay8EventAdapter : public DirectPlay8Event {
public:
    void DirectPlay8Event_AddRemovePlayerGroup(int32_t, DPNID, DPNID, bool&) override {}
    void DirectPlay8Event_AppDesc(bool&) override {}
    void DirectPlay8Event_AsyncOpComplete(DPNMSG_ASYNC_OP_COMPLETE&, bool&) override {}
    void DirectPlay8Event_ConnectComplete(DPNMSG_CONNECT_COMPLETE&, bool&) override {}
    void DirectPlay8Event_CreateGroup(DPNID, DPNID, bool&) override {}
    void DirectPlay8Event_CreatePlayer(DPNID, bool&) override {}
    void DirectPlay8Event_DestroyGroup(DPNID, int32_t, bool&) override {}
    void DirectPlay8Event_DestroyPlayer(DPNID, int32_t, bool&) override {}
    void DirectPlay8Event_EnumHostsQuery(DPNMSG_ENUM_HOSTS_QUERY&, bool&) override {}
    void DirectPlay8Event_EnumHostsResponse(DPNMSG_ENUM_HOSTS_RESPONSE&, bool&) override {}
    void DirectPlay8Event_HostMigrate(DPNID, bool&) override {}
    void DirectPlay8Event_IndicateConnect(DPNMSG_INDICATE_CONNECT&, bool&) override {}
    void DirectPlay8Event_IndicatedConnectAborted(bool&) override {}
    void DirectPlay8Event_InfoNotify(int32_t, int32_t, bool&) override {}
    void DirectPlay8Event_Receive(DPNMSG_RECEIVE&, bool&) override {}
    void DirectPlay8Event_SendComplete(DPNMSG_SEND_COMPLETE&, bool&) override {}
    void DirectPlay8Event_TerminateSession(DPNMSG_TERMINATE_SESSION&, bool&) override {}
};

// Every notification goes on to the target, arguments and fRejectMsg untouched; with no target
// it is dropped. An override that does its own work calls the base to pass the notification on.
class DirectPlay8EventForwarder : public DirectPlay8Event {
public:
    void setForwardTarget(DirectPlay8Event* target) { target_ = target; }
    DirectPlay8Event* forwardTarget() const { return target_; }

    void DirectPlay8Event_AddRemovePlayerGroup(int32_t lMsgID, DPNID lPlayerID, DPNID lGroupID,
                                               bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_AddRemovePlayerGroup, lMsgID, lPlayerID,
                lGroupID, fRejectMsg);
    }
    void DirectPlay8Event_AppDesc(bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_AppDesc, fRejectMsg);
    }
    void DirectPlay8Event_AsyncOpComplete(DPNMSG_ASYNC_OP_COMPLETE& n, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_AsyncOpComplete, n, fRejectMsg);
    }
    void DirectPlay8Event_ConnectComplete(DPNMSG_CONNECT_COMPLETE& n, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_ConnectComplete, n, fRejectMsg);
    }
    void DirectPlay8Event_CreateGroup(DPNID lGroupID, DPNID lOwnerID, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_CreateGroup, lGroupID, lOwnerID, fRejectMsg);
    }
    void DirectPlay8Event_CreatePlayer(DPNID lPlayerID, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_CreatePlayer, lPlayerID, fRejectMsg);
    }
    void DirectPlay8Event_DestroyGroup(DPNID lGroupID, int32_t lReason, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_DestroyGroup, lGroupID, lReason, fRejectMsg);
    }
    void DirectPlay8Event_DestroyPlayer(DPNID lPlayerID, int32_t lReason,
                                        bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_DestroyPlayer, lPlayerID, lReason, fRejectMsg);
    }
    void DirectPlay8Event_EnumHostsQuery(DPNMSG_ENUM_HOSTS_QUERY& n, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_EnumHostsQuery, n, fRejectMsg);
    }
    void DirectPlay8Event_EnumHostsResponse(DPNMSG_ENUM_HOSTS_RESPONSE& n,
                                            bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_EnumHostsResponse, n, fRejectMsg);
    }
    void DirectPlay8Event_HostMigrate(DPNID lNewHostID, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_HostMigrate, lNewHostID, fRejectMsg);
    }
    void DirectPlay8Event_IndicateConnect(DPNMSG_INDICATE_CONNECT& n, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_IndicateConnect, n, fRejectMsg);
    }
    void DirectPlay8Event_IndicatedConnectAborted(bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_IndicatedConnectAborted, fRejectMsg);
    }
    void DirectPlay8Event_InfoNotify(int32_t lMsgID, int32_t lNotifyID, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_InfoNotify, lMsgID, lNotifyID, fRejectMsg);
    }
    void DirectPlay8Event_Receive(DPNMSG_RECEIVE& n, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_Receive, n, fRejectMsg);
    }
    void DirectPlay8Event_SendComplete(DPNMSG_SEND_COMPLETE& n, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_SendComplete, n, fRejectMsg);
    }
    void DirectPlay8Event_TerminateSession(DPNMSG_TERMINATE_SESSION& n, bool& fRejectMsg) override {
        forward(&DirectPlay8Event::DirectPlay8Event_TerminateSession, n, fRejectMsg);
    }

private:
    template <typename... Params, typename... Args>
    void forward(void (DirectPlay8Event::*notification)(Params...), Args&... args) {
        if (target_ != nullptr) {
            (target_->*notification)(args...);
        }
    }

    DirectPlay8Event* target_ = nullptr;
};

// Every lobby notification is ignored.
class DirectPlay8LobbyEventAdapter : public DirectPlay8LobbyEvent {
public:
    void DirectPlay8LobbyEvent_Connect(DPL_MESSAGE_CONNECT&, bool&) override {}
    void DirectPlay8LobbyEvent_ConnectionSettings(DPL_MESSAGE_CONNECTION_SETTINGS&) override {}
    void DirectPlay8LobbyEvent_Disconnect(DPNHANDLE, int32_t) override {}
    void DirectPlay8LobbyEvent_Receive(DPL_MESSAGE_RECEIVE&, bool&) override {}
    void DirectPlay8LobbyEvent_SessionStatus(int32_t, DPNHANDLE) override {}
};

}  // namespace dx8
