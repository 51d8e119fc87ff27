#pragma once
// A peer that goes nowhere: it records every send, knows the players a test gives it, and can be
// told to fail its sends. Doubles that need more derive from it.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <map>
#include <optional>
#include <vector>

#include "platform/dx8/directplay8.h"

namespace orvel::testing {

class StubPeer : public dx8::DirectPlay8Peer {
public:
    struct Sent {
        dx8::DPNID target;
        QByteArray data;
        int32_t timeout;
        int32_t flags;
    };
    std::vector<Sent> sends;  // every attempt, the failed ones too
    std::optional<dx8::HRESULT> failSend;
    std::map<dx8::DPNID, dx8::DPN_PLAYER_INFO> players;

    void addPlayer(dx8::DPNID id, const QString& name, bool local = false) {
        dx8::DPN_PLAYER_INFO info;
        info.lInfoFlags = dx8::DPNINFO_NAME;
        info.Name = name;
        info.lPlayerFlags = local ? dx8::DPNPLAYER_LOCAL : 0;
        players[id] = info;
    }

    dx8::DPNHANDLE SendTo(dx8::DPNID idSend, const QByteArray& buffer, int32_t lTimeOut,
                          int32_t lFlags) override {
        sends.push_back({idSend, buffer, lTimeOut, lFlags});
        if (failSend) {
            dx8::raise(*failSend);
        }
        return 0x200;
    }
    dx8::DPN_PLAYER_INFO GetPeerInfo(dx8::DPNID idPeer, int32_t lFlags) override {
        EXPECT_EQ(lFlags, 0);
        const auto it = players.find(idPeer);
        if (it == players.end()) {
            dx8::raise(dx8::DPNERR_INVALIDPLAYER);
        }
        return it->second;
    }
    void RegisterMessageHandler(dx8::DirectPlay8Event*) override {}
    void UnRegisterMessageHandler() override {}
    int32_t GetCountServiceProviders(int32_t) override { return 0; }
    dx8::DPN_SERVICE_PROVIDER_INFO GetServiceProvider(int32_t) override {
        dx8::raise(dx8::DPNERR_DOESNOTEXIST);
    }
    dx8::DPNHANDLE SetPeerInfo(const dx8::DPN_PLAYER_INFO&, int32_t) override { return 0; }
    void Host(const dx8::DPN_APPLICATION_DESC&, const dx8::DirectPlay8Address*, int32_t) override {}
    dx8::DPNHANDLE EnumHosts(const dx8::DPN_APPLICATION_DESC&, const dx8::DirectPlay8Address*,
                             const dx8::DirectPlay8Address*, int32_t, int32_t, int32_t, int32_t,
                             const QByteArray&, int32_t) override {
        return 0;
    }
    void CancelAsyncOperation(dx8::DPNHANDLE, int32_t) override {}
    dx8::DPNHANDLE Connect(const dx8::DPN_APPLICATION_DESC&, const dx8::DirectPlay8Address*,
                           const dx8::DirectPlay8Address*, int32_t, const QByteArray&,
                           int32_t) override {
        return 0;
    }
    void Close(int32_t) override {}
    void RegisterLobby(dx8::DPNHANDLE, dx8::DirectPlay8LobbiedApplication*, int32_t) override {}
};

}  // namespace orvel::testing
