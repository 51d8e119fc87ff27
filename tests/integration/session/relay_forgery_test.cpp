// Relayed data over the wire: a player that joined by the book sends on the relay channels what
// only the host may send. Nothing of it reaches the application as anyone's data.

#include <enet/enet.h>
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <optional>
#include <thread>

#include "peer_process.h"
#include "platform/dx8/play/relay.h"
#include "platform/dx8/play/session_protocol.h"
#include "platform/dx8/play/trust.h"

using orvel::testing::PeerProcess;
namespace net = dx8::net;
namespace msg = dx8::net::msg;

namespace {

constexpr int kWaitMs = 20000;

// A player on raw ENet: it joins a session on loopback and then sends whatever the test says.
class RawPlayer {
public:
    RawPlayer() {
        enet_initialize();
        ENetAddress any{ENET_HOST_ANY, 0};
        host_ = enet_host_create(&any, 8, net::kChannelCount, 0, 0);
    }
    ~RawPlayer() {
        if (host_ != nullptr) {
            enet_host_destroy(host_);
        }
        enet_deinitialize();
    }

    // The join: to the host, then to every player it lists (or none, having the host relay for
    // all of them), then ready; false on any failure.
    bool join(uint16_t port, const QString& name, bool relayed) {
        host = connect(port);
        if (host == nullptr) {
            return false;
        }
        send(host, net::joinRequest({}, {}, name));
        const auto accept = awaitControl<msg::JoinAccept>(host);
        if (!accept) {
            return false;
        }
        hostId = accept->hostId;
        selfId = accept->playerId;
        msg::JoinReady ready;
        for (const net::PlayerEntry& e : accept->players) {
            if (e.id == accept->hostId) {
                continue;
            }
            if (relayed) {
                ready.relayed.push_back(e.id);
                continue;
            }
            ENetPeer* p = connect(e.port);
            if (p == nullptr) {
                return false;
            }
            send(p, net::meshHello(accept->playerId,
                                   dx8::pairProof(e.token, dx8::ProofOf::Hello, accept->playerId)));
            if (!awaitControl<msg::MeshAck>(p)) {
                return false;
            }
            players[e.name] = {p, e.id};
            ready.linked.push_back(e.id);
        }
        send(host, ready);
        return awaitControl<msg::JoinDone>(host).has_value();
    }

    void sendData(ENetPeer* to, uint8_t channel, const QByteArray& data, bool reliable) {
        ENetPacket* packet = enet_packet_create(data.constData(), static_cast<size_t>(data.size()),
                                                reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
        enet_peer_send(to, channel, packet);
        enet_host_flush(host_);
    }
    // Keeps the links served for a while, confirming the players the host adds.
    void serve(int ms) {
        QElapsedTimer t;
        t.start();
        ENetEvent e;
        while (t.elapsed() < ms) {
            if (enet_host_service(host_, &e, 10) <= 0 || e.type != ENET_EVENT_TYPE_RECEIVE) {
                continue;
            }
            const auto m = net::decodeControl(e.packet->data, e.packet->dataLength);
            enet_packet_destroy(e.packet);
            if (m && std::holds_alternative<msg::PlayerAdded>(*m) && e.peer == host) {
                send(host, net::addedAck(std::get<msg::PlayerAdded>(*m).playerId));
            }
        }
    }

    ENetPeer* host = nullptr;
    uint32_t hostId = 0;
    uint32_t selfId = 0;
    struct Linked {
        ENetPeer* peer = nullptr;
        uint32_t id = 0;
    };
    std::map<QString, Linked> players;

private:
    ENetPeer* connect(uint16_t port) {
        ENetAddress to;
        enet_address_set_host_ip(&to, "127.0.0.1");
        to.port = port;
        ENetPeer* p = enet_host_connect(host_, &to, net::kChannelCount, 0);
        QElapsedTimer t;
        t.start();
        ENetEvent e;
        while (p != nullptr && t.elapsed() < kWaitMs) {
            if (enet_host_service(host_, &e, 10) > 0) {
                if (e.type == ENET_EVENT_TYPE_CONNECT && e.peer == p) {
                    return p;
                }
                if (e.type == ENET_EVENT_TYPE_RECEIVE) {
                    enet_packet_destroy(e.packet);
                }
            }
        }
        return nullptr;
    }
    void send(ENetPeer* to, const net::ControlMessage& m) {
        sendData(to, net::kChannelControl, net::encodeControl(m), true);
    }
    template <typename T>
    std::optional<T> awaitControl(ENetPeer* from) {
        QElapsedTimer t;
        t.start();
        ENetEvent e;
        while (t.elapsed() < kWaitMs) {
            if (enet_host_service(host_, &e, 10) <= 0 || e.type != ENET_EVENT_TYPE_RECEIVE) {
                continue;
            }
            const auto m = net::decodeControl(e.packet->data, e.packet->dataLength);
            const bool control = e.channelID == net::kChannelControl && e.peer == from;
            enet_packet_destroy(e.packet);
            if (control && m && std::holds_alternative<T>(*m)) {
                return std::get<T>(*m);
            }
        }
        return std::nullopt;
    }

    ENetHost* host_ = nullptr;
};

}  // namespace

TEST(RelayForgery, OnlyTheHostRelaysAndItNamesTheSender) {
    PeerProcess h(QStringLiteral("h"));
    PeerProcess p1(QStringLiteral("p1"));
    ASSERT_TRUE(h.started() && p1.started());
    h.send(QStringLiteral("host 6 0"));
    const int port = h.capture(QStringLiteral("^HOSTED (\\d+)$")).toInt();
    ASSERT_GT(port, 0);
    p1.send(QStringLiteral("connect 127.0.0.1 %1").arg(port));
    ASSERT_GE(p1.waitFor(QStringLiteral("^CONNECT 0x0$"), kWaitMs), 0) << p1.dump().toStdString();
    // The forger links to p1 directly; far reaches everyone through the host.
    RawPlayer forger, far;
    ASSERT_TRUE(forger.join(static_cast<uint16_t>(port), QStringLiteral("forger"), false));
    std::atomic<bool> farDone{false};
    bool farJoined = false;
    std::thread joining([&] {
        farJoined = far.join(static_cast<uint16_t>(port), QStringLiteral("far"), true);
        farDone = true;
    });
    while (!farDone) {
        forger.serve(10);  // the host waits for its word on far
    }
    joining.join();
    ASSERT_TRUE(farJoined);
    ASSERT_GE(p1.waitFor(QStringLiteral("^CREATE \\d+ 0 far$"), kWaitMs), 0);
    ENetPeer* toP1 = forger.players[QStringLiteral("p1")].peer;
    ASSERT_NE(toP1, nullptr);
    const uint32_t p1Id = forger.players[QStringLiteral("p1")].id;

    const struct {
        uint8_t channel;
        bool reliable;
    } channels[] = {{net::kChannelRelay, false}, {net::kChannelRelayGuaranteed, true}};
    for (const auto& c : channels) {
        // Straight to p1, as if relaying for far or for the host.
        forger.sendData(toP1, c.channel, dx8::wrapRelayed(far.selfId, "forged-as-far"), c.reliable);
        forger.sendData(toP1, c.channel, dx8::wrapRelayed(forger.hostId, "forged-as-host"),
                        c.reliable);
        // Through the host, which names the forger as the origin: p1 links to it directly and
        // takes nothing relayed from it.
        forger.sendData(forger.host, c.channel, dx8::wrapRelayed(p1Id, "forged-via-host"),
                        c.reliable);
    }
    // far's own data through the host reaches p1 as far's; it and the markers behind the forged
    // packets on each path say they were dealt with.
    far.sendData(far.host, net::kChannelRelayGuaranteed, dx8::wrapRelayed(p1Id, "from-far"), true);
    forger.sendData(toP1, net::kChannelGuaranteed, "marker", true);
    forger.sendData(forger.host, net::kChannelGuaranteed, "marker", true);
    forger.serve(100);
    far.serve(100);
    ASSERT_GE(h.waitFor(QStringLiteral("^RECV forger marker$"), kWaitMs), 0)
        << h.dump().toStdString();
    h.send(QStringLiteral("send all 28 host-marker"));
    for (const char* line :
         {"^RECV far from-far$", "^RECV forger marker$", "^RECV h host-marker$"}) {
        ASSERT_GE(p1.waitFor(QString::fromLatin1(line), kWaitMs), 0)
            << line << p1.dump().toStdString();
    }
    EXPECT_EQ(p1.count(QStringLiteral("forged")), 0) << p1.dump().toStdString();
    EXPECT_EQ(h.count(QStringLiteral("forged")), 0) << h.dump().toStdString();
}
