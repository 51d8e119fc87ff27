// Strangers that never finish ENet's handshake, on loopback: whatever address they claim, they
// get back at most three times what they sent, however long they keep talking, and a flood of them
// from one address keeps a joiner from another out of nothing. One answered at once hears nothing
// of the session before it shows its address.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <thread>
#include <vector>

#include "peer_process.h"
#include "net/links/address_gate.h"
#include "raw_peer.h"
#include "wait.h"

using orvel::testing::PeerProcess;
using orvel::testing::RawStranger;
using orvel::testing::scaledMs;

namespace {

enum class Cookie { None, Wrong, OtherPorts, Valid, AtOnce };

struct Stranger {
    const char* what;
    const char* ip;  // each its own, so that no row drains another's answers
    Cookie cookie;
    int ports;
};

int hostSession(PeerProcess& p) {
    p.send(QStringLiteral("host 6 0"));
    return p.capture(QStringLiteral("^HOSTED (\\d+)$")).toInt();
}

// The cookie each of the stranger's ports puts in its CONNECTs.
std::vector<uint32_t> cookiesFor(RawStranger& s, const Stranger& row, uint16_t to) {
    std::vector<uint32_t> fetched(row.ports, 0);
    if (row.cookie == Cookie::Valid || row.cookie == Cookie::OtherPorts) {
        for (int i = 0; i < row.ports; ++i) {
            fetched[i] = s.fetchCookie(to, i, 1000);
        }
    }
    std::vector<uint32_t> cookies(row.ports, row.cookie == Cookie::Wrong    ? 0x5eed1e55u
                                             : row.cookie == Cookie::AtOnce ? dx8::kProveOnLink
                                                                            : 0);
    for (int i = 0; i < row.ports; ++i) {
        if (row.cookie == Cookie::Valid) {
            cookies[i] = fetched[i];
        } else if (row.cookie == Cookie::OtherPorts) {
            cookies[i] = fetched[(i + 1) % row.ports];
        }
    }
    s.drain(100);
    s.bytesIn = s.bytesOut = 0;
    return cookies;
}

TEST(UnverifiedAddress, GetsAtMostThreeTimesWhatItSent) {
    PeerProcess host(QStringLiteral("h"));
    const uint16_t port = static_cast<uint16_t>(hostSession(host));
    ASSERT_GT(port, 0);
    const Stranger rows[] = {
        {"one CONNECT without a cookie", "127.0.0.2", Cookie::None, 1},
        {"one CONNECT with a made-up cookie", "127.0.0.3", Cookie::Wrong, 1},
        {"CONNECTs with another port's cookie", "127.0.0.4", Cookie::OtherPorts, 2},
        {"one CONNECT from each of 32 ports", "127.0.0.5", Cookie::None, 32},
        {"one CONNECT to be answered at once", "127.0.0.9", Cookie::AtOnce, 1},
        {"one CONNECT to be answered at once from each of 32 ports", "127.0.0.10", Cookie::AtOnce,
         32},
    };
    for (const Stranger& row : rows) {
        RawStranger s(row.ip, row.ports);
        const std::vector<uint32_t> cookies = cookiesFor(s, row, port);
        for (int i = 0; i < row.ports; ++i) {
            s.sendConnect(port, cookies[i], i);
        }
        // A handshake that goes on would resend several times in this while.
        s.drain(2000);
        EXPECT_GT(s.bytesOut, 0u) << row.what;
        EXPECT_LE(s.bytesIn, 3 * s.bytesOut) << row.what << ": " << s.datagramsIn << " datagrams";
    }
}

// One answered at once that keeps its link talking, past the moment it is given up, with small
// datagrams on the link and its CONNECT again: each shows it lacks ENet's answer, and yet what
// came back never comes to more than three times what it sent, at any moment of the exchange.
TEST(UnverifiedAddress, OneThatKeepsTalkingGetsAtMostThreeTimesWhatItSentAllAlong) {
    PeerProcess host(QStringLiteral("h"));
    const uint16_t port = static_cast<uint16_t>(hostSession(host));
    ASSERT_GT(port, 0);
    RawStranger s("127.0.0.15");
    constexpr uint32_t kConnectId = 0x600DF00Du;
    size_t worstIn = 0, worstOut = 0;
    QElapsedTimer clock;
    clock.start();
    for (int tick = 0; tick < 500 && clock.elapsed() < dx8::kUnprovenMs + 1000; ++tick) {
        if (tick % 25 == 0) {
            s.sendConnect(port, dx8::kProveOnLink, 0, kConnectId);
        }
        s.sendOnLink(port);
        s.drain(10);
        if (s.bytesIn > 3 * s.bytesOut && worstIn == 0) {
            worstIn = s.bytesIn;
            worstOut = s.bytesOut;
        }
    }
    EXPECT_TRUE(s.slot.has_value());  // answered at once, on a link
    EXPECT_GT(s.datagramsIn, 2);      // and answered again
    EXPECT_EQ(worstIn, 0u) << worstIn << " bytes back for " << worstOut;
    EXPECT_LE(s.bytesIn, 3 * s.bytesOut);
}

TEST(UnverifiedAddress, AHalfOpenFloodFromOneAddressKeepsNoJoinerOut) {
    const Stranger rows[] = {
        {"CONNECTs without a cookie", "127.0.0.6", Cookie::None, 1},
        {"CONNECTs without a cookie from 16 ports", "127.0.0.7", Cookie::None, 16},
        {"CONNECTs with a valid cookie, never acknowledged", "127.0.0.8", Cookie::Valid, 1},
        {"CONNECTs to be answered at once from 16 ports", "127.0.0.11", Cookie::AtOnce, 16},
    };
    for (const Stranger& row : rows) {
        PeerProcess host(QStringLiteral("h"));
        const uint16_t port = static_cast<uint16_t>(hostSession(host));
        ASSERT_GT(port, 0);
        RawStranger s(row.ip, row.ports);
        const std::vector<uint32_t> cookies = cookiesFor(s, row, port);
        // 64 CONNECTs a second, each with a connect ID of its own, all the while.
        std::atomic<bool> stop{false};
        std::atomic<int> sent{0};
        std::thread flood([&] {
            for (int n = 0; !stop && n < 64 * 60; ++n) {
                s.sendConnect(port, cookies[n % row.ports], n % row.ports);
                sent = n + 1;
                std::this_thread::sleep_for(std::chrono::microseconds(1000000 / 64));
            }
        });
        // A second's worth first: as many as a session has peer slots.
        orvel::testing::waitUntil([&] { return sent >= 64; }, 5000);
        PeerProcess joiner(QStringLiteral("j"));
        QElapsedTimer clock;
        clock.start();
        joiner.send(QStringLiteral("connect 127.0.0.1 %1").arg(port));
        const int done = joiner.waitFor(QStringLiteral("^CONNECT "), 20000);
        const qint64 joinMs = clock.elapsed();
        stop = true;
        flood.join();
        ASSERT_GE(done, 0) << row.what;
        EXPECT_EQ(joiner.lines()[done].toStdString(), "CONNECT 0x0") << row.what;
        EXPECT_LT(joinMs, scaledMs(2000)) << row.what;
        EXPECT_GE(host.waitFor(QStringLiteral("^CREATE \\d+ 0 j$")), 0) << row.what;
    }
}

TEST(UnverifiedAddress, ALinkAnsweredAtOnceCarriesTheSessionOnlyOnceItShowsItsAddress) {
    using Dial = orvel::testing::RawPeer::Dial;
    const struct {
        const char* what;
        const char* ip;
        Dial dial;
        bool joins;
    } rows[] = {
        {"its cookie back first", "127.0.0.12", Dial::AtOnce, true},
        {"its cookie back after its request", "127.0.0.13", Dial::AtOnceProofLate, true},
        {"its cookie never back", "127.0.0.14", Dial::AtOnceNoProof, false},
    };
    for (const auto& row : rows) {
        PeerProcess host(QStringLiteral("h"));
        const uint16_t port = static_cast<uint16_t>(hostSession(host));
        ASSERT_GT(port, 0);
        orvel::testing::RawPeer p(8, row.ip);
        p.dial = row.dial;
        if (row.joins) {
            EXPECT_TRUE(p.join(port, QString::fromLatin1(row.ip))) << row.what;
            continue;
        }
        ENetPeer* link = p.connect(port);
        ASSERT_NE(link, nullptr) << row.what;
        p.send(link, dx8::net::joinRequest({}, {}, QStringLiteral("x")));
        const bool heard =
            p.serveUntil([](const auto&, const auto& m) { return m.has_value(); }, scaledMs(2000));
        EXPECT_FALSE(heard) << row.what;
        EXPECT_LE(p.bytesIn(), 3 * p.bytesOut()) << row.what;
    }
}

}  // namespace
