// The peer's calls inside one process: argument and state checks, the lobby registration, and
// a synchronous join between two peers of this process.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <functional>
#include <vector>

#include "dx_result.h"
#include "event_log.h"
#include "platform/dx8/directx8.h"
#include "platform/dx8/play/peer_extras.h"
#include "wait.h"

using namespace dx8;

namespace {

const QString kApp = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");

using orvel::testing::codeOf;

using orvel::testing::EventLog;
using orvel::testing::waitUntil;

TEST(PeerCalls, ProviderAndStateChecks) {
    DirectX8 root;
    auto peer = root.DirectPlayPeerCreate();
    EXPECT_EQ(peer->GetCountServiceProviders(0), 1);
    const DPN_SERVICE_PROVIDER_INFO sp = peer->GetServiceProvider(1);
    EXPECT_TRUE(sp.Name.contains(QStringLiteral("TCP/IP")));
    EXPECT_EQ(sp.Guid, DP8SP_TCPIP);
    EXPECT_EQ(codeOf([&] { peer->GetServiceProvider(2); }), DPNERR_DOESNOTEXIST);
    EXPECT_EQ(codeOf([&] { peer->SendTo(0, "x", 0, DPNSEND_NOLOOPBACK); }), DPNERR_NOCONNECTION);
    EXPECT_EQ(codeOf([&] { peer->GetPeerInfo(12345, 0); }), DPNERR_INVALIDPLAYER);
    EXPECT_EQ(codeOf([&] { peer->CancelAsyncOperation(999999, 0); }), DPNERR_INVALIDHANDLE);

    DPN_APPLICATION_DESC desc;
    desc.guidApplication = kApp;
    desc.lMaxPlayers = 6;
    desc.lFlags = DPNSESSION_CLIENT_SERVER;
    EXPECT_EQ(codeOf([&] { peer->Host(desc, nullptr, 0); }), DPNERR_INVALIDFLAGS);
    desc.lFlags = 0;
    desc.guidApplication = QStringLiteral("not a guid");
    EXPECT_EQ(codeOf([&] { peer->Host(desc, nullptr, 0); }), DPNERR_INVALIDAPPLICATION);
    desc.guidApplication = kApp;
    DirectPlay8Address other;
    other.SetSP(QStringLiteral("{00000000-0000-0000-0000-000000000001}"));
    EXPECT_EQ(codeOf([&] { peer->Host(desc, &other, 0); }), DPNERR_INVALIDDEVICEADDRESS);

    EventLog events;
    peer->RegisterMessageHandler(&events);
    DPN_PLAYER_INFO me;
    me.Name = QStringLiteral("Ann");
    peer->SetPeerInfo(me, DPNSETPEERINFO_SYNC);
    peer->Host(desc, nullptr, DPNHOST_OKTOQUERYFORADDRESSING);
    EXPECT_GE(sessionPortOf(peer.get()), kDefaultSessionPort);
    EXPECT_LE(sessionPortOf(peer.get()), kLastSessionPort);
    EXPECT_EQ(codeOf([&] { peer->Host(desc, nullptr, 0); }), DPNERR_HOSTING);
    ASSERT_TRUE(waitUntil([&] { return !events.lines.empty(); }));
    const DPNID self = events.idIn(0);
    const DPN_PLAYER_INFO info = peer->GetPeerInfo(self, 0);
    EXPECT_EQ(info.Name, QStringLiteral("Ann"));
    EXPECT_EQ(info.lPlayerFlags, DPNPLAYER_LOCAL | DPNPLAYER_HOST);
    // Without the no-loopback flag a message to everyone comes back to the sender too.
    peer->SendTo(DPNID_ALL_PLAYERS_GROUP, "echo", 0, 0);
    peer->SendTo(DPNID_ALL_PLAYERS_GROUP, "quiet", 0, DPNSEND_NOLOOPBACK);
    EXPECT_EQ(codeOf([&] { peer->SendTo(self + 1, "x", 0, 0); }), DPNERR_INVALIDPLAYER);
    EXPECT_EQ(codeOf([&] { peer->SendTo(0, QByteArray(300 * 1024, 'x'), 0, 0); }),
              DPNERR_SENDTOOLARGE);
    const std::string from = "Receive " + std::to_string(self);
    ASSERT_TRUE(waitUntil([&] { return events.has(from + " echo"); }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(events.has(from + " quiet"));
    peer->Close(0);
    EXPECT_EQ(sessionPortOf(peer.get()), 0);
    // Closed, the peer can host again.
    peer->Host(desc, nullptr, 0);
    EXPECT_GT(sessionPortOf(peer.get()), 0);
    peer->UnRegisterMessageHandler();
    peer->Close(0);
}

// One handler at a time; the platform reads it as it delivers, so one handed over (the wizard's
// way once in a session) gets every notification still queued, once, and the one before none.
TEST(PeerCalls, AHandlerHandedOverGetsWhatIsStillQueuedOnce) {
    DirectX8 root;
    auto peer = root.DirectPlayPeerCreate();
    EventLog before, after;
    peer->RegisterMessageHandler(&before);
    DPN_APPLICATION_DESC desc;
    desc.guidApplication = kApp;
    desc.lMaxPlayers = 6;
    peer->Host(desc, nullptr, 0);  // CreatePlayer for oneself is queued
    peer->SendTo(DPNID_ALL_PLAYERS_GROUP, "queued", 0, 0);
    EXPECT_EQ(codeOf([&] { peer->RegisterMessageHandler(&after); }), DPNERR_ALREADYINITIALIZED);
    peer->UnRegisterMessageHandler();
    peer->RegisterMessageHandler(&after);
    peer->SendTo(DPNID_ALL_PLAYERS_GROUP, "later", 0, 0);
    ASSERT_TRUE(waitUntil([&] { return after.lines.size() >= 3; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(before.lines.empty());
    ASSERT_EQ(after.lines.size(), 3u);
    EXPECT_EQ(after.lines[0].rfind("CreatePlayer ", 0), 0u);
    const std::string from = "Receive " + std::to_string(after.idIn(0));
    EXPECT_EQ(after.lines[1], from + " queued");
    EXPECT_EQ(after.lines[2], from + " later");
    peer->UnRegisterMessageHandler();
    peer->Close(0);
}

TEST(PeerCalls, LobbyRegistration) {
    DirectX8 root;
    auto peer = root.DirectPlayPeerCreate();
    auto* lobby = reinterpret_cast<DirectPlay8LobbiedApplication*>(&root);  // only kept
    EXPECT_EQ(codeOf([&] { peer->RegisterLobby(5, lobby, 3); }), DPNERR_INVALIDFLAGS);
    EXPECT_EQ(codeOf([&] { peer->RegisterLobby(5, lobby, 0); }), DPNERR_INVALIDFLAGS);
    EXPECT_EQ(codeOf([&] { peer->RegisterLobby(5, nullptr, DPNLOBBY_REGISTER); }),
              DPNERR_INVALIDPARAM);
    EXPECT_EQ(codeOf([&] { peer->RegisterLobby(5, lobby, DPNLOBBY_UNREGISTER); }),
              DPNERR_NOTREGISTERED);
    EXPECT_EQ(codeOf([&] { peer->RegisterLobby(5, lobby, DPNLOBBY_REGISTER); }), DPN_OK);
    EXPECT_EQ(codeOf([&] { peer->RegisterLobby(5, lobby, DPNLOBBY_REGISTER); }),
              DPNERR_ALREADYREGISTERED);
    EXPECT_EQ(codeOf([&] { peer->RegisterLobby(5, lobby, DPNLOBBY_UNREGISTER); }), DPN_OK);
}

TEST(PeerCalls, SynchronousJoinInOneProcess) {
    DirectX8 root;
    auto host = root.DirectPlayPeerCreate();
    auto joiner = root.DirectPlayPeerCreate();
    EventLog hostEvents, joinerEvents;
    host->RegisterMessageHandler(&hostEvents);
    joiner->RegisterMessageHandler(&joinerEvents);
    DPN_APPLICATION_DESC desc;
    desc.guidApplication = kApp;
    desc.lMaxPlayers = 2;
    host->Host(desc, nullptr, 0);
    DirectPlay8Address at;
    at.SetSP(DP8SP_TCPIP);
    at.AddComponentString(DPNA_KEY_HOSTNAME, QStringLiteral("127.0.0.1"));
    at.AddComponentLong(DPNA_KEY_PORT, sessionPortOf(host.get()));
    DPN_APPLICATION_DESC join;
    join.guidApplication = kApp;
    EXPECT_EQ(joiner->Connect(join, &at, nullptr, DPNOP_SYNC, {}, 0), 0);
    ASSERT_TRUE(waitUntil([&] { return joinerEvents.has("ConnectComplete 0x0"); }));
    EXPECT_EQ(joinerEvents.lines.front().rfind("CreatePlayer ", 0), 0u);
    ASSERT_TRUE(waitUntil([&] { return hostEvents.lines.size() >= 3; }));
    EXPECT_TRUE(hostEvents.has("IndicateConnect"));
    // Joining twice is refused at once; a third peer finds the session full.
    EXPECT_EQ(codeOf([&] { joiner->Connect(join, &at, nullptr, 0, {}, 0); }),
              DPNERR_ALREADYCONNECTED);
    auto third = root.DirectPlayPeerCreate();
    EXPECT_EQ(codeOf([&] { third->Connect(join, &at, nullptr, DPNOP_SYNC, {}, 0); }),
              DPNERR_SESSIONFULL);
    // The wrong application is refused with its own code.
    auto stranger = root.DirectPlayPeerCreate();
    DPN_APPLICATION_DESC wrong;
    wrong.guidApplication = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(codeOf([&] { stranger->Connect(wrong, &at, nullptr, DPNOP_SYNC, {}, 0); }),
              DPNERR_INVALIDAPPLICATION);
    // Nobody at a port: no answer, and the peer is still usable afterwards.
    host->UnRegisterMessageHandler();
    host->Close(0);
    ASSERT_TRUE(waitUntil([&] { return joinerEvents.has("TerminateSession 0x80158270"); }));
}

// A join by code waits for the meeting point's answer without holding up its caller, and ends
// cancelled however it is given up meanwhile; a second join is refused while it waits.
TEST(PeerCalls, AJoinByCodeWaitsForTheMeetingPointWithoutBlocking) {
    QUdpSocket silent;  // a meeting point that never answers
    ASSERT_TRUE(silent.bind(QHostAddress::LocalHost, 0));
    setMeetPoint(QStringLiteral("127.0.0.1:%1").arg(silent.localPort()));
    DirectX8 root;
    DPN_APPLICATION_DESC join;
    join.guidApplication = kApp;
    DirectPlay8Address byCode;
    byCode.SetSP(DP8SP_TCPIP);
    byCode.AddComponentString(DPNA_KEY_HOSTNAME, QStringLiteral("K7QX-M2P9"));
    const std::string cancelled = "ConnectComplete " + hresultHex(DPNERR_USERCANCEL).toStdString();
    const auto asked = [&] {
        const bool any = waitUntil([&] { return silent.hasPendingDatagrams(); });
        while (silent.hasPendingDatagrams()) {
            silent.receiveDatagram();
        }
        return any;
    };
    struct Case {
        const char* name;
        std::function<void(DirectPlay8Peer&, DPNHANDLE)> giveUp;
    };
    const Case cases[] = {
        {"cancelled by its handle", [](auto& p, DPNHANDLE h) { p.CancelAsyncOperation(h, 0); }},
        {"connects cancelled", [](auto& p, DPNHANDLE) { p.CancelAsyncOperation(0, DPNCANCEL_CONNECT); }},
        {"closed", [](auto& p, DPNHANDLE) { p.Close(0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto peer = root.DirectPlayPeerCreate();
        EventLog events;
        peer->RegisterMessageHandler(&events);
        const DPNHANDLE handle = peer->Connect(join, &byCode, nullptr, 0, {}, 0);
        EXPECT_NE(handle, 0);
        ASSERT_TRUE(asked());
        EXPECT_EQ(codeOf([&] { peer->Connect(join, &byCode, nullptr, 0, {}, 0); }),
                  DPNERR_CONNECTING);
        EXPECT_TRUE(events.lines.empty());
        c.giveUp(*peer, handle);
        ASSERT_TRUE(waitUntil([&] { return events.has(cancelled); }));
        EXPECT_EQ(events.lines.size(), 1u);
    }
    // A synchronous join waits in the peer's call, and a close ends it there.
    auto peer = root.DirectPlayPeerCreate();
    QTimer::singleShot(0, [&] { ASSERT_TRUE(asked()); peer->Close(0); });
    EXPECT_EQ(codeOf([&] { peer->Connect(join, &byCode, nullptr, DPNOP_SYNC, {}, 0); }),
              DPNERR_USERCANCEL);
    setMeetPoint({});
}

TEST(ClientCalls, JoinsAPeerSessionAndSendsToItsHost) {
    DirectX8 root;
    auto host = root.DirectPlayPeerCreate();
    auto client = root.DirectPlayClientCreate();
    EventLog hostEvents, clientEvents;
    host->RegisterMessageHandler(&hostEvents);
    client->RegisterMessageHandler(&clientEvents);
    DPN_APPLICATION_DESC desc;
    desc.guidApplication = kApp;
    host->Host(desc, nullptr, 0);
    EXPECT_EQ(codeOf([&] { client->Send("early", 0, 0); }), DPNERR_NOCONNECTION);
    DPN_PLAYER_INFO me;
    me.Name = QStringLiteral("Cli");
    client->SetClientInfo(me, DPNSETCLIENTINFO_SYNC);
    DirectPlay8Address at;
    at.BuildFromURL(QStringLiteral("x-directplay:/provider=%7BEBFE7BA0-628D-11D2-AE0F-"
                                   "006097B01411%7D;hostname=127.0.0.1;port=") +
                    QString::number(sessionPortOf(host.get())));
    client->Connect(desc, &at, nullptr, 0, {}, 0);
    ASSERT_TRUE(waitUntil([&] { return clientEvents.has("ConnectComplete 0x0"); }));
    // The host saw itself, the indication, then the client.
    ASSERT_TRUE(waitUntil([&] { return hostEvents.lines.size() >= 3; }));
    ASSERT_EQ(hostEvents.lines[2].rfind("CreatePlayer ", 0), 0u) << hostEvents.lines[2];
    const DPNID clientId = hostEvents.idIn(2);
    EXPECT_EQ(host->GetPeerInfo(clientId, 0).Name, QStringLiteral("Cli"));
    client->Send("to the host", 0, DPNSEND_GUARANTEED);
    const std::string cid = std::to_string(clientId);
    EXPECT_TRUE(waitUntil([&] { return hostEvents.has("Receive " + cid + " to the host"); }));
    client->Close(0);
    EXPECT_TRUE(waitUntil([&] { return hostEvents.has("DestroyPlayer " + cid); }));
    host->Close(0);
}

}  // namespace
