// The meeting point alone: orvel-meet as a child process on loopback, players as sockets driven
// by MeetClient or by hand-made datagrams; and its checks of cookies, secrets and tokens in this
// process.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtEndian>
#include <memory>

#include "child_process.h"
#include "meet_server.h"
#include "near_miss.h"
#include "net/paths/meet_client.h"

namespace {

using namespace orvel::meet;
using orvel::testing::ChildProcess;
using orvel::testing::nearMisses;
using orvel::testing::waitUntil;
using Request = MeetClient::Request;

const uint8_t* bytesOf(const QByteArray& b) {
    return reinterpret_cast<const uint8_t*>(b.constData());
}

// One orvel-meet on a free block of ten ports of 127.0.0.1, telling what it does on stderr.
class Meet {
public:
    explicit Meet(QStringList options = {}) : options_(std::move(options)) {
        for (int attempt = 0; attempt < 8 && !started(); ++attempt) {
            port_ = static_cast<uint16_t>(21000 + QRandomGenerator::global()->bounded(1100) * 10);
            start();
        }
    }
    void start() {
        process_ = std::make_unique<ChildProcess>();
        process_->setReads(ChildProcess::Reads::Merged);
        process_->setEnv(QStringLiteral("QT_LOGGING_RULES"),
                         QStringLiteral("orvel.meet.debug=true"));
        process_->start(QStringLiteral(MEET_PROGRAM),
                        QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                                    QStringLiteral("--port"), QString::number(port_)} +
                            options_);
        ready_ = process_->waitLine(QRegularExpression(QStringLiteral("meeting point on"))) >= 0;
    }
    bool started() const { return ready_; }
    Endpoint at(int offset = 0) const {
        return {0x7F000001, static_cast<uint16_t>(port_ + offset)};
    }
    ChildProcess& process() { return *process_; }
    bool logged(const QString& what) {
        return process_->waitLine(QRegularExpression(QRegularExpression::escape(what))) >= 0;
    }

private:
    QStringList options_;
    uint16_t port_ = 0;
    bool ready_ = false;
    std::unique_ptr<ChildProcess> process_;
};

// A player's socket with a MeetClient on it, and a record of everything that came of it.
struct Player {
    QUdpSocket socket;
    Endpoint self;
    std::unique_ptr<MeetClient> client;
    std::optional<MeetClient::Registration> registration;
    std::vector<bool> reachability;
    std::vector<Endpoint> arrivals;
    std::optional<MeetClient::HostAddresses> found;
    std::vector<std::pair<Endpoint, Endpoint>> relays;  // peer, relay
    std::vector<std::pair<Request, Problem>> failures;
    std::vector<std::pair<Endpoint, QByteArray>> received;  // everything, in order
    std::vector<std::pair<Endpoint, QByteArray>> data;      // what is not the meeting point's
    std::vector<QByteArray> sent;

    explicit Player(Endpoint server, const char* ip = "127.0.0.1") {
        socket.bind(QHostAddress(QString::fromLatin1(ip)), 0);
        self = {QHostAddress(QString::fromLatin1(ip)).toIPv4Address(), socket.localPort()};
        MeetClient::Events e;
        e.registered = [this](const auto& r) { registration = r; };
        e.reachability = [this](bool reached) { reachability.push_back(reached); };
        e.peerArrived = [this](Endpoint joiner) { arrivals.push_back(joiner); };
        e.found = [this](const auto& host) { found = host; };
        e.relayed = [this](Endpoint peer, Endpoint relay) { relays.emplace_back(peer, relay); };
        e.failed = [this](Request r, Problem p, Code, Endpoint) { failures.emplace_back(r, p); };
        client = std::make_unique<MeetClient>(
            server,
            [this](const QByteArray& d, Endpoint to) {
                sent.push_back(d);
                send(d, to);
            },
            e);
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket.receiveDatagram();
                const QByteArray b = d.data();
                const Endpoint from{d.senderAddress().toIPv4Address(),
                                    static_cast<uint16_t>(d.senderPort())};
                received.emplace_back(from, b);
                if (!client->receive(bytesOf(b), b.size(), from)) {
                    data.emplace_back(from, b);
                }
            }
        });
    }
    void send(const QByteArray& d, Endpoint to) {
        socket.writeDatagram(d, QHostAddress(to.ip), to.port);
    }
    // The decoded answers of one kind, in order.
    template <typename T>
    std::vector<T> got() const {
        std::vector<T> out;
        for (const auto& [from, b] : received) {
            if (const auto m = decode(bytesOf(b), b.size()); m && std::holds_alternative<T>(*m)) {
                out.push_back(std::get<T>(*m));
            }
        }
        return out;
    }
    bool failed(Request r, Problem p) const {
        return std::find(failures.begin(), failures.end(), std::make_pair(r, p)) != failures.end();
    }
};

Code randomCode() {
    return Code{QRandomGenerator::global()->generate64() & kCodeMask};
}

// A cookie for p's address, fetched by hand.
uint64_t cookieFor(Player& p, Endpoint server) {
    p.send(encode(Lookup{0, randomCode()}), server);
    waitUntil([&] { return !p.got<Retry>().empty(); });
    return p.got<Retry>().empty() ? 0 : p.got<Retry>().back().cookie;
}

// Waits until the meeting point has handled everything p sent to `to` before: the answer to a
// proven request sent after it (at a relay port, a relay open that fails) has come.
bool barrier(Player& p, Endpoint to, uint64_t cookie, bool relayPort = false) {
    const Code code = randomCode();
    const uint8_t about = relayPort ? kindOf<RelayOpen>() : kindOf<Keepalive>();
    const auto answers = [&] {
        const auto failures = p.got<Failure>();
        return std::count_if(failures.begin(), failures.end(), [&](const Failure& f) {
            return f.about == about && (relayPort || f.code == code);
        });
    };
    const auto before = answers();
    p.send(
        relayPort ? encode(RelayOpen{cookie, code.bits}) : encode(Keepalive{cookie, code, {}, 0}),
        to);
    return waitUntil([&] { return answers() > before; });
}

class MeetTest : public ::testing::Test {
protected:
    // host registers; joiner (on another loopback address) looks the code up.
    void introduce(Player& host, Player& joiner) {
        host.client->registerSession(QStringLiteral("Evening race"), {{0xC0A80114, 2302}});
        ASSERT_TRUE(waitUntil([&] { return host.registration && !host.reachability.empty(); }));
        joiner.client->lookup(host.registration->code);
        ASSERT_TRUE(waitUntil([&] { return joiner.found && !host.arrivals.empty(); }));
    }
    // Both sides of an introduced pair open a relay.
    void relay(Player& host, Player& joiner) {
        joiner.client->requestRelay(host.registration->code, host.self);
        ASSERT_TRUE(waitUntil([&] { return !host.relays.empty() && !joiner.relays.empty(); }));
    }
};

TEST_F(MeetTest, CodesReadAloudForgiveCaseSpacesAndLookAlikes) {
    const struct {
        const char* typed;
        const char* means;  // nullptr: no code
    } cases[] = {
        {"K7QX-M2P9", "K7QX-M2P9"}, {"k7qx m2p9", "K7QX-M2P9"},   {"K7QXM2P9", "K7QX-M2P9"},
        {"oIlU-0000", "011V-0000"}, {" 7zzz-zzzz ", "7ZZZ-ZZZZ"}, {"K7QX-M2P", nullptr},
        {"K7QX-M2P99", nullptr},    {"K7QX-M2P!", nullptr},       {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        const auto code = parseCode(QString::fromLatin1(c.typed));
        ASSERT_EQ(code.has_value(), c.means != nullptr);
        if (code) {
            EXPECT_EQ(formatCode(*code), QLatin1String(c.means));
        }
    }
}

TEST_F(MeetTest, JoinerGetsTheHostsAddressesAndTheHostTheJoiners) {
    Meet meet;
    ASSERT_TRUE(meet.started());
    Player host(meet.at()), joiner(meet.at(), "127.0.0.2");
    introduce(host, joiner);
    const QString code = formatCode(host.registration->code);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-HJKMNP-TV-Z]{4}-[0-9A-HJKMNP-TV-Z]{4}$"))
                    .match(code)
                    .hasMatch())
        << code.toStdString();
    EXPECT_EQ(host.registration->seenAt, host.self);
    EXPECT_EQ(host.reachability, std::vector<bool>{true});  // loopback lets every port in
    EXPECT_EQ(joiner.found->seenAt, host.self);
    EXPECT_EQ(joiner.found->name, QStringLiteral("Evening race"));
    EXPECT_EQ(joiner.found->lan, (std::vector<Endpoint>{{0xC0A80114, 2302}}));
    EXPECT_EQ(host.arrivals, std::vector<Endpoint>{joiner.self});
}

TEST_F(MeetTest, ABusyPortOrAnUnusableStateFolderEndsWithStatus1) {
    Meet meet;
    ASSERT_TRUE(meet.started());
    const QString port = QString::number(meet.at().port);
    const QStringList cases[] = {
        {QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), port},
        {QStringLiteral("--state"), QStringLiteral("/proc/no-such-folder")},
    };
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const auto end = orvel::testing::runToEnd(QStringLiteral(MEET_PROGRAM), args);
        EXPECT_EQ(end.code, 1);
        EXPECT_TRUE(end.err.startsWith("orvel-meet: cannot ")) << end.err.toStdString();
    }
}

TEST_F(MeetTest, UnprovenSendersNeverGetMoreBytesThanTheySent) {
    Meet meet;
    ASSERT_TRUE(meet.started());
    Player p(meet.at());
    const uint64_t cookie = cookieFor(p, meet.at());
    const Code code = randomCode();
    const QByteArray lookup = encode(Lookup{0, code});
    const struct {
        const char* what;
        QByteArray datagram;
        bool toRelay = false;
    } cases[] = {
        {"register", encode(Register{0, 1, QStringLiteral("x"), {}})},
        {"reclaim", encode(Reclaim{0, 1, code, {}, QStringLiteral("x"), {{1, 2}}})},
        {"keepalive", encode(Keepalive{0, code, {}, 1})},
        {"unregister", encode(Unregister{0, code, {}, 1})},
        {"lookup", lookup},
        {"lookup with a forged cookie", encode(Lookup{cookie ^ 1, code})},
        {"relay ask", encode(RelayAsk{0, code, {1, 2}})},
        {"relay open", encode(RelayOpen{0, 7}), true},
        {"relay data from a stranger", QByteArray(1200, 'x'), true},
        {"lookup one byte long", lookup + '\0'},
        {"lookup one byte short", lookup.chopped(1)},
        {"header only", lookup.left(6)},
        {"an answer's kind", encode(Found{code, {1, 2}, QStringLiteral("x"), {}})},
        {"unknown kind", lookup.left(5) + '\x63' + lookup.mid(6)},
        {"not ours", QByteArray(600, '\xA5')},
        {"one byte", QByteArray(1, 'O')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = p.received.size();
        const Endpoint to = meet.at(c.toRelay ? 2 : 0);
        p.send(c.datagram, to);
        ASSERT_TRUE(barrier(p, to, cookie, c.toRelay));
        // Everything but the barrier's answer, all of it for this one datagram.
        qsizetype answered = 0;
        for (size_t i = before; i + 1 < p.received.size(); ++i) {
            answered += p.received[i].second.size();
        }
        EXPECT_LE(answered, c.datagram.size());
    }
    EXPECT_GE(p.got<Retry>().size(), 8u);  // the requests without a cookie were answered
}

TEST_F(MeetTest, UnknownCodesGetOneSmallAnswerAndLookupsAreRateLimited) {
    Meet meet;
    ASSERT_TRUE(meet.started());
    Player p(meet.at());
    const uint64_t cookie = cookieFor(p, meet.at());
    for (int i = 0; i < 15; ++i) {
        p.send(encode(Lookup{cookie, randomCode()}), meet.at());
    }
    ASSERT_TRUE(barrier(p, meet.at(), cookie));
    int unknown = 0, limited = 0;
    for (const Failure& f : p.got<Failure>()) {
        unknown +=
            f.problem == static_cast<uint8_t>(Problem::UnknownCode) && f.about == kindOf<Lookup>();
        limited += f.problem == static_cast<uint8_t>(Problem::RateLimited);
    }
    EXPECT_EQ(unknown, 10);                         // the burst an address may look up
    EXPECT_EQ(limited, 1);                          // told once, then nothing
    EXPECT_EQ(p.received.size(), 1u + 10 + 1 + 1);  // retry, unknown codes, limit, barrier
    for (const auto& [from, b] : p.received) {
        EXPECT_LE(b.size(), encode(Lookup{}).size());
    }
    // Through the client: a clear error.
    Player joiner(meet.at(), "127.0.0.3");
    joiner.client->lookup(randomCode());
    EXPECT_TRUE(waitUntil([&] { return joiner.failed(Request::Lookup, Problem::UnknownCode); }));
}

TEST_F(MeetTest, CodesLiveOnKeepalivesAndAreForgottenWhenTheyStop) {
    Meet meet({QStringLiteral("--session-timeout"), QStringLiteral("3")});
    ASSERT_TRUE(meet.started());
    auto host = std::make_unique<Player>(meet.at());
    Player joiner(meet.at(), "127.0.0.2");
    introduce(*host, joiner);
    const Code code = host->registration->code;
    // Keepalives every second carry it past its timeout.
    ASSERT_TRUE(waitUntil([&] {
        return std::count_if(host->sent.begin(), host->sent.end(), [](const QByteArray& b) {
                   return decode(bytesOf(b), b.size())->index() + 1 == kindOf<Keepalive>();
               }) >= 5;
    }));
    joiner.found.reset();
    joiner.client->lookup(code);
    ASSERT_TRUE(waitUntil([&] { return joiner.found.has_value(); }));
    EXPECT_EQ(meet.process().count(QRegularExpression(QStringLiteral("expired"))), 0);
    host.reset();
    ASSERT_TRUE(meet.logged(QStringLiteral("session %1 expired").arg(formatCode(code))));
    joiner.client->lookup(code);
    EXPECT_TRUE(waitUntil([&] { return joiner.failed(Request::Lookup, Problem::UnknownCode); }));
}

TEST_F(MeetTest, TheNextHostReclaimsTheCodeAndCodesOutliveARestart) {
    QTemporaryDir state;
    Meet meet({QStringLiteral("--state"), state.path(), QStringLiteral("--session-timeout"),
               QStringLiteral("3")});
    ASSERT_TRUE(meet.started());
    Player first(meet.at()), next(meet.at(), "127.0.0.2"), joiner(meet.at(), "127.0.0.3");
    introduce(first, joiner);
    const MeetClient::Registration r = *first.registration;

    Secret wrong = r.secret;
    wrong[15] ^= 1;
    next.client->reclaimSession(r.code, wrong, QStringLiteral("Evening race"), {});
    ASSERT_TRUE(waitUntil([&] { return next.failed(Request::Register, Problem::NotHost); }));
    next.client->reclaimSession(r.code, r.secret, QStringLiteral("Evening race"), {});
    ASSERT_TRUE(waitUntil([&] { return next.registration.has_value(); }));
    EXPECT_EQ(next.registration->code, r.code);
    EXPECT_EQ(next.registration->epoch, r.epoch + 1);
    // The first host's next keepalive learns that it hosts no more.
    ASSERT_TRUE(waitUntil([&] { return first.failed(Request::Keepalive, Problem::NotHost); }));
    joiner.found.reset();
    joiner.client->lookup(r.code);
    ASSERT_TRUE(waitUntil([&] { return joiner.found.has_value(); }));
    EXPECT_EQ(joiner.found->seenAt, next.self);

    // A new meeting point on the same state: the host's keepalive finds its code unknown and
    // claims it again by itself.
    meet.process().stop();
    meet.start();
    ASSERT_TRUE(meet.started());
    next.registration.reset();
    ASSERT_TRUE(waitUntil([&] { return next.registration.has_value(); }));
    EXPECT_EQ(next.registration->code, r.code);
}

TEST_F(MeetTest, RelayCarriesDatagramsUnchangedBetweenItsTwoSidesOnly) {
    Meet meet;
    ASSERT_TRUE(meet.started());
    Player host(meet.at()), joiner(meet.at(), "127.0.0.2"), stranger(meet.at(), "127.0.0.3");
    host.client->registerSession(QStringLiteral("Evening race"), {});
    ASSERT_TRUE(waitUntil([&] { return host.registration.has_value(); }));
    // Only a player that looked the code up may be relayed to.
    host.client->requestRelay(host.registration->code, joiner.self);
    ASSERT_TRUE(waitUntil([&] { return host.failed(Request::Relay, Problem::NoPair); }));
    joiner.client->lookup(host.registration->code);
    ASSERT_TRUE(waitUntil([&] { return joiner.found.has_value(); }));
    relay(host, joiner);
    EXPECT_EQ(host.relays.front().first, joiner.self);
    EXPECT_EQ(joiner.relays.front().first, host.self);
    const Endpoint relayAt = host.relays.front().second;
    EXPECT_EQ(relayAt, joiner.relays.front().second);

    QByteArray connect(48, '\0');
    connect[0] = '\xFF';  // as an ENet connect opens
    connect[1] = '\xFF';
    const QByteArray datagrams[] = {QByteArray(1, '\x80'), connect, QByteArray(160, '\x5A'),
                                    QByteArray("ORVL-PUNCH\x01"), QByteArray(1400, '\x01')};
    stranger.send(datagrams[2], relayAt);
    for (Player* from : {&joiner, &host}) {
        Player& to = from == &joiner ? host : joiner;
        for (const QByteArray& d : datagrams) {
            from->send(d, relayAt);
        }
        ASSERT_TRUE(waitUntil([&] { return to.data.size() == std::size(datagrams); }));
        for (size_t i = 0; i < std::size(datagrams); ++i) {
            EXPECT_EQ(to.data[i].first, relayAt);
            EXPECT_EQ(to.data[i].second, datagrams[i]);
        }
    }
}

TEST_F(MeetTest, RelayDropsTrafficPastItsLimitAndForgetsIdlePairs) {
    Meet meet({QStringLiteral("--relay-rate"), QStringLiteral("4"), QStringLiteral("--relay-idle"),
               QStringLiteral("2")});
    ASSERT_TRUE(meet.started());
    Player host(meet.at()), joiner(meet.at(), "127.0.0.2");
    introduce(host, joiner);
    relay(host, joiner);
    const Endpoint relayAt = joiner.relays.front().second;
    // The open that the client sent last, sent again: its answer shows that everything before
    // it has been handled.
    const QByteArray open = joiner.sent.back();
    const auto handled = [&] {
        const size_t before = joiner.received.size();
        joiner.send(open, relayAt);
        return waitUntil([&] { return joiner.received.size() > before; });
    };
    QElapsedTimer sending;
    sending.start();
    for (int i = 0; i < 40; ++i) {
        joiner.send(QByteArray(1000, static_cast<char>(i)), relayAt);
    }
    ASSERT_TRUE(handled());
    // 4 KiB a second with as much saved up, 28 bytes a datagram on top: 3 at once, and one more
    // for each quarter of a second they took to go through.
    const qint64 allowed = 3 + sending.elapsed() / 250 + 1;
    EXPECT_TRUE(waitUntil([&] { return host.data.size() >= 3; }));
    EXPECT_LE(static_cast<qint64>(host.data.size()), allowed);

    ASSERT_TRUE(meet.logged(QStringLiteral("relay forgotten")));
    host.data.clear();
    joiner.send(QByteArray(10, 'x'), relayAt);
    ASSERT_TRUE(handled());
    EXPECT_FALSE(joiner.got<Failure>().empty());  // the open is refused: no such pair any more
    EXPECT_TRUE(host.data.empty());
}

// ---- Checks of secrets, in this process ---------------------------------------------------------

// A meeting point on the test's clock; what it sends, decoded.
struct InProcess final : Outbox {
    Keys keys{randomKey()};
    MeetServer server{{.relayPorts = {23002, 23003}}, keys, *this};
    int64_t now = 1000000;
    std::vector<Message> sent;
    void send(int, const char* data, size_t size, Endpoint) override {
        if (const auto m = decode(reinterpret_cast<const uint8_t*>(data), size)) {
            sent.push_back(*m);
        }
    }
    // The first answer of this kind to a datagram from `from` at `socket`.
    template <typename T>
    std::optional<T> answer(const QByteArray& d, Endpoint from, int socket = kMainSocket) {
        sent.clear();
        server.receive(socket, bytesOf(d), static_cast<size_t>(d.size()), from, now);
        for (const Message& m : sent) {
            if (std::holds_alternative<T>(m)) {
                return std::get<T>(m);
            }
        }
        return std::nullopt;
    }
    uint64_t cookie(Endpoint from) const { return keys.cookie(from, now); }
};

QByteArray lowFirst(uint64_t v) {
    QByteArray b(8, Qt::Uninitialized);
    qToLittleEndian(v, b.data());
    return b;
}
QByteArray secretBytes(const Secret& s) {
    return QByteArray(reinterpret_cast<const char*>(s.data()), static_cast<qsizetype>(s.size()));
}
// The datagram with the bytes of one field, found in it, replaced (by a shorter or longer value
// too: the datagram is as much shorter or longer).
QByteArray withField(QByteArray d, const QByteArray& field, const QByteArray& value) {
    return d.replace(d.indexOf(field), field.size(), value);
}

constexpr Endpoint kHostAt{0x0A000001, 40000}, kJoinerAt{0x0A000002, 40000};

// Only the cookie made for the sender's address in this slot or the last lets a request in:
// near misses of it, and cookies made for another address, slot or meeting point, do not.
TEST(MeetChecks, OnlyTheCookieOfTheSendersAddressAndTimeLetsARequestIn) {
    constexpr int64_t kSlotMs = 30000;
    InProcess meet;
    const uint64_t right = meet.cookie(kHostAt);
    const QByteArray lookup = encode(Lookup{right, randomCode()});
    auto rows = nearMisses(lowFirst(right));
    for (const auto& [what, cookie] : std::vector<orvel::testing::NearMiss<uint64_t>>{
             {"made for another port", meet.cookie({kHostAt.ip, 40001})},
             {"made for another IP", meet.cookie(kJoinerAt)},
             {"two slots old", meet.keys.cookie(kHostAt, meet.now - 2 * kSlotMs)},
             {"made for the next slot", meet.keys.cookie(kHostAt, meet.now + kSlotMs)},
             {"another meeting point's", Keys(randomKey()).cookie(kHostAt, meet.now)},
             {"none", 0}}) {
        rows.push_back({what, lowFirst(cookie)});
    }
    for (const auto& row : rows) {
        // Past the door, a lookup of an unknown code fails; before it, it is told to retry.
        EXPECT_FALSE(meet.answer<Failure>(withField(lookup, lowFirst(right), row.value), kHostAt))
            << row.what;
    }
    const uint64_t lastSlots = meet.keys.cookie(kHostAt, meet.now - kSlotMs);
    EXPECT_TRUE(meet.answer<Failure>(encode(Lookup{lastSlots, randomCode()}), kHostAt));
    EXPECT_TRUE(meet.answer<Failure>(lookup, kHostAt));
}

// A code given up is claimed again only with its own session's secret: near misses of it, and
// the secret of another session or of another meeting point, are refused.
TEST(MeetChecks, OnlyTheSessionsOwnSecretClaimsItsCode) {
    InProcess meet;
    const auto hosted = [&meet](Endpoint at) {
        return *meet.answer<Registered>(encode(Register{meet.cookie(at), 1, "x", {}}), at);
    };
    const Registered r = hosted(kHostAt), other = hosted({kHostAt.ip, 40001});
    EXPECT_FALSE(meet.answer<Failure>(
        encode(Unregister{meet.cookie(kHostAt), r.code, r.secret, r.epoch}), kHostAt));
    const QByteArray right = secretBytes(r.secret);
    const QByteArray reclaim =
        encode(Reclaim{meet.cookie(kJoinerAt), 2, r.code, r.secret, "x", {}});
    auto rows = nearMisses(right);
    rows.push_back({"another session's", secretBytes(other.secret)});
    rows.push_back({"another meeting point's",
                    secretBytes(Keys(randomKey()).secret(r.code, Keys::saltOf(r.secret)))});
    for (const auto& row : rows) {
        EXPECT_FALSE(meet.answer<Registered>(withField(reclaim, right, row.value), kJoinerAt))
            << row.what;
    }
    EXPECT_EQ(meet.answer<Registered>(reclaim, kJoinerAt)->code, r.code);
}

// A relay opens only with a token its pair was given, at its pair's port, while the pair is kept.
TEST(MeetChecks, OnlyTheTokenOfThePairOpensItsRelay) {
    InProcess meet;
    const Code code =
        meet.answer<Registered>(encode(Register{meet.cookie(kHostAt), 1, "x", {}}), kHostAt)->code;
    ASSERT_TRUE(meet.answer<Found>(encode(Lookup{meet.cookie(kJoinerAt), code}), kJoinerAt));
    const RelayReady ready = *meet.answer<RelayReady>(
        encode(RelayAsk{meet.cookie(kJoinerAt), code, kHostAt}), kJoinerAt);
    const int socket = kFirstRelaySocket + (ready.relay.port == 23002 ? 0 : 1);
    const QByteArray right = lowFirst(ready.token);
    const QByteArray open = encode(RelayOpen{meet.cookie(kJoinerAt), ready.token});
    for (const auto& row : nearMisses(right)) {
        EXPECT_FALSE(meet.answer<RelayState>(withField(open, right, row.value), kJoinerAt, socket))
            << row.what;
    }
    const int otherSocket = socket == kFirstRelaySocket ? socket + 1 : kFirstRelaySocket;
    EXPECT_FALSE(meet.answer<RelayState>(open, kJoinerAt, otherSocket)) << "at another relay port";
    EXPECT_TRUE(meet.answer<RelayState>(open, kJoinerAt, socket));
    meet.now += RelayTable::Limits{}.openMs + 1;  // its other side never opened
    meet.server.sweep(meet.now);
    EXPECT_FALSE(meet.answer<RelayState>(encode(RelayOpen{meet.cookie(kJoinerAt), ready.token}),
                                         kJoinerAt, socket))
        << "its pair forgotten";
}

// A host takes a probe, from an address it never sent to, as the meeting point's only when it
// carries the nonce of its registration.
TEST(MeetChecks, OnlyAProbeWithTheRegistrationsNonceShowsTheHostReachable) {
    const Endpoint server{0x7F000001, 2300}, probeAt{0x7F000001, 2301};
    for (size_t i = 0;; ++i) {
        std::vector<QByteArray> out;
        std::vector<bool> reachable;
        MeetClient::Events e;
        e.reachability = [&reachable](bool r) { reachable.push_back(r); };
        MeetClient client(
            server, [&out](const QByteArray& d, Endpoint) { out.push_back(d); }, e);
        client.registerSession(QStringLiteral("x"), {});
        const auto sent = decode(bytesOf(out.at(0)), static_cast<size_t>(out[0].size()));
        const uint64_t nonce = std::get<Register>(*sent).nonce;
        auto rows = nearMisses(lowFirst(nonce));
        rows.push_back({"another registration's", lowFirst(nonce ^ 0x8000000000000001u)});
        rows.push_back({"right", lowFirst(nonce)});
        const QByteArray probe = withField(encode(Probe{nonce}), lowFirst(nonce), rows.at(i).value);
        client.receive(bytesOf(probe), static_cast<size_t>(probe.size()), probeAt);
        const QByteArray answer = encode(Registered{nonce, randomCode(), {}, 1, {1, 2}, 10});
        client.receive(bytesOf(answer), static_cast<size_t>(answer.size()), server);
        const bool passes = i + 1 == rows.size();
        EXPECT_EQ(reachable, std::vector<bool>(passes ? 1 : 0, true)) << rows[i].what;
        if (passes) {
            break;
        }
    }
}

}  // namespace

// orvel-bot players on loopback: the host registers from its session port and prints its code,
// a player joins by it; killed, and started again with every address of its record gone stale,
// it comes back through the code; and when the host leaves the migrating session the next host
// holds the same code again.
TEST_F(MeetTest, BotsHostAndJoinByCodeAndTheNextHostKeepsIt) {
    Meet meet;
    ASSERT_TRUE(meet.started());
    const QString point = QStringLiteral("127.0.0.1:%1").arg(meet.at().port);
    QTemporaryDir runtime;
    const auto bot = [&point, &runtime](ChildProcess& p, const QString& name, QStringList args) {
        p.loopbackOnly();
        p.setEnv(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        p.setReads(ChildProcess::Reads::Merged);
        return p.start(QStringLiteral(BOT_PROGRAM),
                       args << QStringLiteral("--name") << name << QStringLiteral("--meet") << point
                            << QStringLiteral("--no-port-mapping") << QStringLiteral("--parked"));
    };
    const QRegularExpression codeLine(QStringLiteral("^code: (\\w{4}-\\w{4})$"));
    ChildProcess ann, bea;
    ASSERT_TRUE(
        bot(ann, QStringLiteral("ann"), {QStringLiteral("--host"), QStringLiteral("--migrate")}));
    const int at = ann.waitLine(codeLine);
    ASSERT_GE(at, 0);
    const QString code = codeLine.match(ann.lines()[at]).captured(1);
    ASSERT_TRUE(meet.logged(QStringLiteral("session %1 epoch 1 hosted at 127.0.0.1:").arg(code)));

    const QStringList join{QStringLiteral("--join"), code.toLower(), QStringLiteral("--come-back")};
    ASSERT_TRUE(bot(bea, QStringLiteral("bea"), join));
    ASSERT_GE(bea.waitLine(QRegularExpression(QStringLiteral("^joined on port"))), 0)
        << bea.text().toStdString();
    bea.send(QStringLiteral("by code"));
    EXPECT_GE(ann.waitLine(QRegularExpression(QStringLiteral("^<bea> by code$"))), 0);

    // Her record holds the code once the host has told it; then she is killed and every address
    // she knew is dark.
    QString path;
    ASSERT_TRUE(waitUntil([&] {
        const QDir folder(runtime.filePath(QStringLiteral("orvel")));
        const QStringList files = folder.entryList({QStringLiteral("return-*.json")}, QDir::Files);
        QFile file(files.isEmpty() ? QString() : folder.filePath(files[0]));
        path = file.fileName();
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("\"code\"");
    }));
    bea.kill();
    QFile record(path);
    ASSERT_TRUE(record.open(QIODevice::ReadWrite));
    QJsonObject o = QJsonDocument::fromJson(record.readAll()).object();
    QJsonArray stale;
    for (const QJsonValue& v : o.value(QStringLiteral("addresses")).toArray()) {
        QJsonObject a = v.toObject();
        a.insert(QStringLiteral("port"), meet.at(9).port);  // nobody listens there
        stale.append(a);
    }
    o.insert(QStringLiteral("addresses"), stale);
    record.resize(0);
    record.write(QJsonDocument(o).toJson());
    record.close();
    ChildProcess again;
    ASSERT_TRUE(bot(again, QStringLiteral("bea"), join));
    EXPECT_GE(ann.waitLine(QRegularExpression(QStringLiteral("^- bea is back\\.$"))), 0)
        << again.text().toStdString();
    EXPECT_GE(again.waitLine(QRegularExpression(QStringLiteral("^coming back to "))), 0);

    ann.stop();
    EXPECT_GE(again.waitLine(QRegularExpression(QStringLiteral("^code: %1$").arg(code))), 0)
        << again.text().toStdString();
    EXPECT_TRUE(meet.logged(QStringLiteral("session %1 epoch 2 hosted").arg(code)));
}
