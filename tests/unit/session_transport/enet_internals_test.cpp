// The links reach into ENet's own structures; this fails when the installed ENet lays them out or
// uses them otherwise than the one they were written for: two hosts of this process on loopback,
// a reliable message that goes unacknowledged, and what each reach-in reads and changes then.

#include <arpa/inet.h>
#include <enet/enet.h>
#include <enet/time.h>
#include <gtest/gtest.h>

#include "net/links/enet_internals.h"

namespace ei = dx8::enet_internals;

namespace {

struct Pair {
    ENetHost* server = nullptr;
    ENetHost* client = nullptr;
    ENetPeer* toServer = nullptr;
    ~Pair() {
        if (client != nullptr) enet_host_destroy(client);
        if (server != nullptr) enet_host_destroy(server);
    }
    // Services both until the client is connected (bounded).
    bool link() {
        ENetAddress any{};
        enet_address_set_host(&any, "127.0.0.1");
        server = enet_host_create(&any, 2, 1, 0, 0);
        client = enet_host_create(nullptr, 1, 1, 0, 0);
        if (server == nullptr || client == nullptr) return false;
        ENetAddress to = server->address;
        enet_address_set_host(&to, "127.0.0.1");
        toServer = enet_host_connect(client, &to, 1, 7);
        ENetEvent e;
        for (int i = 0; i < 400 && toServer->state != ENET_PEER_STATE_CONNECTED; ++i) {
            enet_host_service(server, &e, 1);
            enet_host_service(client, &e, 1);
        }
        return toServer->state == ENET_PEER_STATE_CONNECTED;
    }
    // Sends one reliable message that the server, not serviced, leaves unacknowledged.
    void sendUnanswered() {
        ENetPacket* packet = enet_packet_create("x", 1, ENET_PACKET_FLAG_RELIABLE);
        enet_peer_send(toServer, 0, packet);
        ENetEvent e;
        enet_host_service(client, &e, 0);
    }
};

TEST(EnetInternals, WhatTheLinksReadAndChangeHoldsForThisEnet) {
    ASSERT_EQ(enet_initialize(), 0);
    Pair pair;
    ASSERT_TRUE(pair.link());
    ENetPeer& p = *pair.toServer;
    EXPECT_NE(ei::connectId(p), 0u);
    EXPECT_FALSE(ei::hasInFlight(p));
    EXPECT_EQ(ei::firstSentAt(p), 0u);

    pair.sendUnanswered();
    ASSERT_TRUE(ei::hasInFlight(p));
    const enet_uint32 sent = ei::firstSentAt(p);
    EXPECT_EQ(sent, ei::serviceTime(*pair.client));
    // ENet's own first resend waits for about a round trip's timeout; capped, it comes sooner.
    EXPECT_TRUE(ENET_TIME_LESS(sent, ei::nextTimeout(p)));
    ei::capResendGap(p, 1);
    EXPECT_EQ(ei::nextTimeout(p), sent + 1);
    // Held: the next timeout moves out; resent now: it is the host's current service.
    ei::holdResends(p, 0, 60000);
    EXPECT_EQ(ei::nextTimeout(p), sent + 60000);
    ei::holdResends(p, 99, 10);  // sent fewer times than that: left held, but due within 10 ms
    EXPECT_FALSE(ENET_TIME_LESS(enet_time_get() + 10, ei::nextTimeout(p)));
    EXPECT_TRUE(ENET_TIME_LESS(sent + 1, ei::nextTimeout(p)));
    ei::resendNow(*pair.client, p);
    EXPECT_EQ(ei::nextTimeout(p), ei::serviceTime(*pair.client));
    const enet_uint32 before = pair.client->totalSentPackets;
    ENetEvent e;
    enet_host_service(pair.client, &e, 0);
    EXPECT_GT(pair.client->totalSentPackets, before);  // the resend went out

    // The server's intercept sees the datagram just received, from the client's address.
    static ei::Received seen;
    pair.server->intercept = [](ENetHost* host, ENetEvent*) {
        const ei::Received r = ei::received(*host);
        if (r.size > 0 && r.from.host == htonl(INADDR_LOOPBACK)) {
            seen = r;
        }
        return 0;
    };
    for (int i = 0; i < 50 && seen.size == 0; ++i) {
        enet_host_service(pair.server, &e, 1);
    }
    EXPECT_GT(seen.size, 0u);
    EXPECT_NE(seen.data, nullptr);
    // The server acknowledged it: once the client hears that, nothing is in flight and the
    // client's clock of the server's last word, and of its next ping, moved.
    for (int i = 0; i < 200 && ei::hasInFlight(p); ++i) {
        enet_host_service(pair.server, &e, 1);
        enet_host_service(pair.client, &e, 1);
    }
    EXPECT_FALSE(ei::hasInFlight(p));
    EXPECT_FALSE(ENET_TIME_LESS(ei::lastReceiveTime(p), sent));
    EXPECT_EQ(ei::pingDue(p), ei::lastReceiveTime(p) + ENET_PEER_PING_INTERVAL);
    ei::capHandshake(p, 5);
    EXPECT_LE(p.timeoutMaximum, 5u);
    EXPECT_LE(p.timeoutMinimum, 5u);
}

}  // namespace
