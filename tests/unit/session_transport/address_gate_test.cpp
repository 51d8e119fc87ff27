// The address gate's rules on their own: which cookies it takes, which datagrams open a link, and
// how often a stranger is answered.

#include <gtest/gtest.h>

#include "near_miss.h"
#include "net/links/address_gate.h"
#include "raw_peer.h"

using dx8::AddressGate;
using dx8::Endpoint;

namespace {

constexpr Endpoint kFrom{0x7F000002u, 40000};
constexpr qint64 kWindowMs = 16000;

TEST(AddressGate, TakesItsOwnCookieForTheSameAddressAndTheWindowBefore) {
    AddressGate gate;
    const qint64 made = 5 * kWindowMs + 100;
    const uint32_t cookie = gate.cookieFor(kFrom, made);
    struct Row {
        const char* what;
        Endpoint from;
        uint32_t cookie;
        qint64 at;
        bool admitted;
    };
    std::vector<Row> rows = {
        {"at once", kFrom, cookie, made, true},
        {"in the next window", kFrom, cookie, made + kWindowMs, true},
        {"two windows on", kFrom, cookie, made + 2 * kWindowMs, false},
        {"from another port", {kFrom.ipv4, 40001}, cookie, made, false},
        {"from another IP", {0x7F000003u, kFrom.port}, cookie, made, false},
        {"another gate's cookie", kFrom, AddressGate().cookieFor(kFrom, made), made, false},
        {"none", kFrom, 0, made, false},
        {"the offer to prove it on the link", kFrom, dx8::kProveOnLink, made, false},
        {"made for the next window", kFrom, gate.cookieFor(kFrom, made + kWindowMs), made, false},
    };
    for (const auto& miss : orvel::testing::nearMisses(cookie)) {
        rows.push_back({miss.what, kFrom, miss.value, made, false});
    }
    for (const auto& row : rows) {
        EXPECT_EQ(gate.admits(row.from, row.cookie, row.at), row.admitted) << row.what;
    }
}

TEST(AddressGate, OpensOnlyOnAPlainConnect) {
    const QByteArray connect = orvel::testing::connectDatagram(0xA1B2C3D4u, 0x01020304u);
    const auto opening = dx8::openingIn(reinterpret_cast<const uint8_t*>(connect.constData()),
                                        static_cast<size_t>(connect.size()));
    ASSERT_TRUE(opening && opening->connect);
    EXPECT_EQ(opening->connectId, 0xA1B2C3D4u);
    EXPECT_EQ(opening->cookie, 0x01020304u);

    QByteArray toAPeer = connect, compressed = connect, ping = connect;
    toAPeer[1] = 0x05;                        // peer 5 of ours: ENet's business
    compressed[0] = static_cast<char>(0xCF);  // sent time and compressed, no peer
    ping[4] = 5;                              // a PING that names no peer
    const struct {
        const char* what;
        QByteArray datagram;
        bool opens;  // names no peer of ours
        bool connects;
    } rows[] = {
        {"for a peer", toAPeer, false, false},
        {"compressed", compressed, true, false},
        {"a ping", ping, true, false},
        {"cut short", connect.left(30), true, false},
        {"one byte", connect.left(1), false, false},
    };
    for (const auto& row : rows) {
        const auto o = dx8::openingIn(reinterpret_cast<const uint8_t*>(row.datagram.constData()),
                                      static_cast<size_t>(row.datagram.size()));
        EXPECT_EQ(o.has_value(), row.opens) << row.what;
        EXPECT_EQ(o && o->connect, row.connects) << row.what;
    }
}

// A cookie datagram (which opens routers on its way too) is taken for nothing else, and nothing
// else for one.
TEST(AddressGate, AnswersAFewTimesASecondPerSourceIpAndNeverMoreThanItGot) {
    const QByteArray answer = dx8::encodeCookie({0x11223344u, 0x55667788u});
    EXPECT_LT(answer.size(), orvel::testing::connectDatagram(1, 0).size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(answer.constData());
    const auto size = static_cast<size_t>(answer.size());
    const auto back = dx8::decodeCookie(bytes, size);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->connectId, 0x11223344u);
    EXPECT_EQ(back->cookie, 0x55667788u);
    EXPECT_FALSE(back->proveOnLink);
    const QByteArray proof = dx8::encodeCookie({1, 2, true});
    const auto asked = dx8::decodeCookie(reinterpret_cast<const uint8_t*>(proof.constData()),
                                         static_cast<size_t>(proof.size()));
    EXPECT_TRUE(asked && asked->proveOnLink && asked->cookie == 2u);
    EXPECT_FALSE(dx8::decodeCookie(bytes, size - 1));
    EXPECT_FALSE(dx8::openingIn(bytes, size));
    EXPECT_FALSE(dx8::net::looksLikeQuery(bytes, size));
    const QByteArray query = dx8::net::encodeQuery({});
    EXPECT_FALSE(dx8::decodeCookie(reinterpret_cast<const uint8_t*>(query.constData()),
                                   static_cast<size_t>(query.size())));

    AddressGate gate;
    int answered = 0;
    for (int i = 0; i < 100; ++i) {
        answered += gate.mayAnswer(kFrom.ipv4, 1000) ? 1 : 0;
    }
    EXPECT_EQ(answered, 16);
    EXPECT_TRUE(gate.mayAnswer(0x7F000003u, 1000));  // another IP has its own
    EXPECT_FALSE(gate.mayAnswer(kFrom.ipv4, 1050));
    EXPECT_TRUE(gate.mayAnswer(kFrom.ipv4, 1200));
}

}  // namespace
