// The session's packets: every message reads back as written, and nothing a stranger sends can
// make a decoder read out of bounds or accept a packet that is not whole.

#include <gtest/gtest.h>

#include <random>

#include "net/session/session_protocol.h"

using namespace dx8::net;

namespace {

std::vector<ControlMessage> samples() {
    std::vector<ControlMessage> all;
    all.push_back(
        joinRequest(QUuid::createUuid(), QUuid::createUuid(), QString::fromUtf8("Zo\xC3\xAB")));
    msg::JoinRequest proven = std::get<msg::JoinRequest>(joinRequest({}, {}, QStringLiteral("j")));
    proven.proof = QByteArray(32, '\x7E');
    all.push_back(proven);
    all.push_back(msg::JoinChallenge{QByteArray(16, '\x01'), QUuid::createUuid()});
    for (auto make : {dx8::net::joinRefuse, dx8::net::joinFail, dx8::net::terminate}) {
        all.push_back(make(static_cast<int32_t>(0x80158610u)));
    }
    msg::JoinAccept a;
    a.playerId = 7;
    a.hostId = 9;
    a.seq = 3;
    a.nextSeq = 4;
    a.idSalt = 0xABCDEF01u;
    a.name = QStringLiteral("j (2)");
    a.desc = SessionDesc{QUuid::createUuid(), QUuid::createUuid(), 6, 4, QStringLiteral("race")};
    a.players = {PlayerEntry{9, 0, QStringLiteral("host"), 0, 2302},
                 PlayerEntry{11, 1, QStringLiteral("p1"), 0x7F000001u, 2303, 0, 0, 0, 0, 88},
                 PlayerEntry{12, 2, QStringLiteral("p2"), 0x28282814u, 40001, 0xC0A80102u, 2302,
                             0x28282814u, 2302}};
    a.observedIpv4 = 0x2828281Eu;
    a.observedPort = 51000;
    a.relays = 1;
    all.push_back(a);
    all.push_back(msg::JoinReady{{11}, {12}});
    all.push_back(
        msg::PlayerAdded{5, 8, QStringLiteral("far"), 0xC0A80102u, 2302, 0x28282814u, 2310, 1});
    all.push_back(expect(5, 99, 0x0A000002u, 2310));
    all.push_back(meshHello(5, 99));
    all.push_back(meshAck(0x99AABBCCDDEEFF00ull));
    all.push_back(playerAdded(5, 8, QStringLiteral("new")));
    all.push_back(addedAck(5));
    all.push_back(playerRemoved(5, 2));
    all.push_back(info(QStringLiteral("renamed")));
    all.push_back(msg::Paths{{9, 12, 11}, {11, 12}});
    all.push_back(msg::Mapped{0x2828280Au, 2302});
    all.push_back(msg::Reach{a.players[1]});
    all.push_back(msg::Linked{12});
    all.push_back(msg::NameOf{12, QStringLiteral("far")});
    all.push_back(msg::RoundTrips{{12, 40, 11, 95}});
    all.push_back(msg::Unlinked{12});
    for (auto make : {joinDone, leaving}) {
        all.push_back(make());
    }
    return all;
}

std::optional<ControlMessage> decode(const QByteArray& b) {
    return decodeControl(reinterpret_cast<const uint8_t*>(b.constData()),
                         static_cast<size_t>(b.size()));
}

TEST(ControlMessages, ReadBackAsWritten) {
    for (const ControlMessage& m : samples()) {
        const QByteArray bytes = encodeControl(m);
        const auto back = decode(bytes);
        ASSERT_TRUE(back.has_value()) << static_cast<int>(typeOf(m));
        EXPECT_EQ(encodeControl(*back), bytes);
        EXPECT_EQ(typeOf(*back), typeOf(m));
        EXPECT_TRUE(*back == m) << static_cast<int>(typeOf(m));
    }
}

// Short messages are refused; longer ones are read by their layout and the rest ignored.
TEST(ControlMessages, RefuseEveryTruncationAndIgnoreTrailingBytes) {
    for (const ControlMessage& m : samples()) {
        const QByteArray bytes = encodeControl(m);
        for (qsizetype n = 0; n < bytes.size(); ++n) {
            EXPECT_FALSE(decode(bytes.left(n)).has_value())
                << static_cast<int>(typeOf(m)) << " cut at " << n;
        }
        for (const QByteArray& tail : {QByteArray(1, '\0'), QByteArray("\xFF\x01\x02", 3)}) {
            const auto longer = decode(bytes + tail);
            ASSERT_TRUE(longer.has_value()) << static_cast<int>(typeOf(m));
            EXPECT_TRUE(*longer == m) << static_cast<int>(typeOf(m));
        }
    }
    EXPECT_FALSE(decode(QByteArray(1, '\0')).has_value());
    EXPECT_FALSE(decode(QByteArray(1, '\x7F')).has_value());
}

TEST(ControlMessages, OverlongFieldsAreRefused) {
    msg::Info m;
    QByteArray bytes = encodeControl(m);  // type, 16-bit length 0
    bytes[1] = '\xFF';
    bytes[2] = '\xFF';
    bytes.append(QByteArray(0xFFFF, 'a'));
    EXPECT_FALSE(decode(bytes).has_value());
    // An encoder cuts a long name at a character boundary.
    m.name = QString(2000, QChar(0x00E9));
    const auto back = decode(encodeControl(m));
    ASSERT_TRUE(back.has_value());
    const QString name = std::get<msg::Info>(*back).name;
    EXPECT_LE(name.toUtf8().size(), kMaxTextBytes);
    EXPECT_TRUE(m.name.startsWith(name));
    // Invalid UTF-8 in a name.
    const QByteArray bad =
        QByteArray(1, static_cast<char>(Ctl::Info)) + QByteArray("\x02\x00\xC3\x28", 4);
    EXPECT_FALSE(decode(bad).has_value());
}

TEST(ControlMessages, MutatedAndRandomPacketsNeverBreakTheDecoder) {
    std::mt19937 rng(12345);
    const auto all = samples();
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        QByteArray bytes;
        if (round % 2 == 0) {
            bytes = encodeControl(all[rng() % all.size()]);
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < flips && !bytes.isEmpty(); ++i) {
                bytes[static_cast<qsizetype>(rng() % bytes.size())] = static_cast<char>(rng());
            }
            if (rng() % 5 == 0) {
                bytes.truncate(static_cast<qsizetype>(rng() % (bytes.size() + 1)));
            }
        } else {
            bytes.resize(static_cast<qsizetype>(rng() % 300));
            for (auto& c : bytes) {
                c = static_cast<char>(rng());
            }
        }
        const auto m = decode(bytes);
        if (m) {
            ++accepted;
            // Whatever is accepted says the same once written again.
            const auto again = decode(encodeControl(*m));
            EXPECT_TRUE(again && *again == *m);
        }
    }
    EXPECT_GT(accepted, 0);
}

TEST(Discovery, QueriesHaveOneSizeAndAnswersStayWithinThreeTimesIt) {
    DiscoveryQuery q;
    q.application = QUuid::createUuid();
    q.nonce = 42;
    q.sentMs = 1234;
    const QByteArray query = encodeQuery(q);
    ASSERT_EQ(query.size(), kQuerySize);
    const auto* data = reinterpret_cast<const uint8_t*>(query.constData());
    const auto back = decodeQuery(data, static_cast<size_t>(query.size()));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->application, q.application);
    EXPECT_EQ(back->nonce, 42u);
    EXPECT_TRUE(looksLikeQuery(data, 4));
    EXPECT_FALSE(decodeQuery(data, static_cast<size_t>(query.size() - 1)).has_value());

    DiscoveryAnswer a;
    a.nonce = 42;
    a.instance = QUuid::createUuid();
    a.application = q.application;
    a.maxPlayers = 6;
    a.currentPlayers = 3;
    a.flags = 4;
    a.sessionName = QString(500, QChar(0x4E2D));  // three UTF-8 bytes each
    const QByteArray answer = encodeAnswer(a);
    EXPECT_LE(answer.size(), 3 * query.size());
    const auto read = decodeAnswer(reinterpret_cast<const uint8_t*>(answer.constData()),
                                   static_cast<size_t>(answer.size()));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->currentPlayers, 3);
    EXPECT_EQ(read->instance, a.instance);
    EXPECT_TRUE(a.sessionName.startsWith(read->sessionName));
    EXPECT_FALSE(read->sessionName.isEmpty());
}

TEST(Discovery, MutatedAnswersNeverBreakTheDecoder) {
    std::mt19937 rng(777);
    DiscoveryAnswer a;
    a.instance = QUuid::createUuid();
    a.sessionName = QStringLiteral("race");
    const QByteArray good = encodeAnswer(a);
    for (int round = 0; round < 20000; ++round) {
        QByteArray bytes = good;
        bytes[static_cast<qsizetype>(rng() % bytes.size())] = static_cast<char>(rng());
        if (rng() % 3 == 0) {
            bytes.truncate(static_cast<qsizetype>(rng() % (bytes.size() + 1)));
        }
        if (rng() % 7 == 0) {
            bytes.append(QByteArray(static_cast<qsizetype>(rng() % 300), 'x'));
        }
        const auto r = decodeAnswer(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                    static_cast<size_t>(bytes.size()));
        if (r) {
            EXPECT_LE(bytes.size(), kMaxAnswerSize);
            EXPECT_FALSE(r->instance.isNull());
        }
        const auto q = decodeQuery(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                   static_cast<size_t>(bytes.size()));
        EXPECT_FALSE(q.has_value());
    }
}

}  // namespace
