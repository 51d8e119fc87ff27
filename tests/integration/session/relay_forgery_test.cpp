// Relayed data over the wire: a player that joined by the book sends on the relay channels what
// only the host may send. Nothing of it reaches the application as anyone's data.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "peer_process.h"
#include "net/paths/relay.h"
#include "net/session/session_protocol.h"
#include "raw_peer.h"

using orvel::testing::PeerProcess;
using orvel::testing::RawPeer;
namespace net = dx8::net;

namespace {

constexpr int kWaitMs = 20000;

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
    RawPeer forger, far;
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
        forger.send(toP1, c.channel, dx8::wrapRelayed(far.selfId, "forged-as-far"), c.reliable);
        forger.send(toP1, c.channel, dx8::wrapRelayed(forger.hostId, "forged-as-host"), c.reliable);
        // Through the host, which names the forger as the origin: p1 links to it directly and
        // takes nothing relayed from it.
        forger.send(forger.host, c.channel, dx8::wrapRelayed(p1Id, "forged-via-host"), c.reliable);
    }
    // far's own data through the host reaches p1 as far's; it and the markers behind the forged
    // packets on each path say they were dealt with.
    far.send(far.host, net::kChannelRelayGuaranteed, dx8::wrapRelayed(p1Id, "from-far"), true);
    forger.send(toP1, net::kChannelGuaranteed, "marker", true);
    forger.send(forger.host, net::kChannelGuaranteed, "marker", true);
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
