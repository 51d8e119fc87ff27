// Writes the seed corpus of every fuzz target: one well-formed input of each kind, made by the
// program's own encoders, so the fuzzers start from inputs that reach deep. Run again when a
// format changes: make_seeds fuzz/corpus
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QUuid>
#include <cstdio>
#include <utility>
#include <variant>

#include "platform/dx8/lobby/lobby_protocol.h"
#include "net/session/session_protocol.h"
#include "net/paths/meet_protocol.h"
#include "session/wire_messages.h"

namespace {

QString root;

void put(const char* target, const QString& name, const QByteArray& bytes) {
    const QString dir = root + QStringLiteral("/") + QString::fromLatin1(target);
    QDir().mkpath(dir);
    QFile f(dir + QStringLiteral("/") + name);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "make_seeds: cannot write %s\n", qPrintable(f.fileName()));
        std::exit(1);
    }
}

QByteArray le32(uint32_t v) {
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return QByteArray(b, 4);
}

// Gives every field a message has a value that is not its default, so that each seed carries
// every field of its kind.
template <typename M>
void fill(M& m, const QUuid& app) {
    const QUuid instance = QUuid::createUuidV5(app, QStringLiteral("seed"));
    if constexpr (requires { m.result; })
        m.result = static_cast<int32_t>(0x80158160u);
    if constexpr (requires { m.playerId; })
        m.playerId = 0x41;
    if constexpr (requires { m.hostId; })
        m.hostId = 0x40;
    if constexpr (requires { m.seq; })
        m.seq = 2;
    if constexpr (requires { m.nextSeq; })
        m.nextSeq = 3;
    if constexpr (requires { m.idSalt; })
        m.idSalt = 0x5A5A;
    if constexpr (requires { m.token; })
        m.token = 0x1122334455667788ull;
    if constexpr (requires { m.ipv4; })
        m.ipv4 = 0x0A4D0002;
    if constexpr (requires { m.port; })
        m.port = 2302;
    if constexpr (requires { m.reason; })
        m.reason = 3;
    if constexpr (requires { m.application; })
        m.application = app;
    if constexpr (requires { m.instance; })
        m.instance = instance;
    if constexpr (requires { m.name; })
        m.name = QStringLiteral("Ann \u00E9");
    if constexpr (requires { m.proof = QByteArray(); })
        m.proof = QByteArray(32, '\x5C');
    else if constexpr (requires { m.proof; })
        m.proof = 0x8877665544332211ull;
    if constexpr (requires { m.challenge; })
        m.challenge = QByteArray(16, '\x3A');
    if constexpr (requires { m.linked; })
        m.linked = {0x40, 0x42};
    if constexpr (requires { m.player; })
        m.player = {0x42, 3, QStringLiteral("Cy"), 0x0A4D0003, 2304, 0, 0, 0, 0, 7};
    if constexpr (requires { m.desc; })
        m.desc = {instance, app, 6, 1, QStringLiteral("Evening race")};
    if constexpr (requires { m.players; }) {
        m.players = {{0x40, 1, QStringLiteral("Bob"), 0x0A4D0001, 2302},
                     {0x41, 2, QStringLiteral("Ann"), 0x0A4D0002, 2303, 0, 0, 0, 0, 0x77}};
    }
}

template <size_t... I>
void writeControlSeeds(const QUuid& app, std::index_sequence<I...>) {
    using dx8::net::ControlMessage;
    const auto one = [&app](auto index) {
        ControlMessage m(std::in_place_index<decltype(index)::value>);
        std::visit([&app](auto& typed) { fill(typed, app); }, m);
        put("session_protocol_fuzz", QStringLiteral("ctl-%1").arg(decltype(index)::value + 1),
            dx8::net::encodeControl(m));
    };
    (one(std::integral_constant<size_t, I>{}), ...);
}

// A step of session_roles_fuzz: opcode, operand, then for messages and data a length and bytes.
QByteArray step(uint8_t op, uint8_t arg, const QByteArray& bytes = {}) {
    QByteArray b;
    b.append(static_cast<char>(op));
    b.append(static_cast<char>(arg));
    if (op <= 3) {
        b.append(static_cast<char>(bytes.size()));
        b.append(bytes);
    }
    return b;
}

void writeRoleSeeds() {
    using namespace dx8::net;
    const char* target = "session_roles_fuzz";
    const QByteArray ready = encodeControl(msg::JoinReady{{0x4D, 0x9E}, {}});
    // Hosting: a stranger asks to join and says it is ready; a player renames and relays.
    put(target, QStringLiteral("host"),
        QByteArray(1, 0) + step(1, 0, encodeControl(joinRequest({}, {}, QStringLiteral("j")))) +
            step(0, 4, ready) + step(0, 1, encodeControl(info(QStringLiteral("host")))) +
            step(3, 1, QByteArray("\x4D\x00\x00\x00" "car", 7)) + step(4, 200));
    // A player: the next in line says the host is gone, before and after the host goes dark;
    // a stranger says hello; the host's link carries relayed data.
    put(target, QStringLiteral("member"),
        QByteArray(1, 1) + step(0, 1, encodeControl(playerRemoved(1, 3))) + step(6, 0) +
            step(0, 1, encodeControl(playerRemoved(1, 3))) +
            step(1, 9, encodeControl(meshHello(77, 1))) + step(3, 0, QByteArray(8, '\x01')));
    // Joining: the host introduces a new player and a player sends data early.
    put(target, QStringLiteral("joiner"),
        QByteArray(1, 2) +
            step(0, 0, encodeControl(msg::Reach{{9, 3, QStringLiteral("n"), 1, 2}})) +
            step(2, 1, QByteArray("early")) + step(0, 0, encodeControl(joinDone())) + step(5, 1));
}

// One seed of each meet datagram kind, every field it has set.
template <size_t... I>
void writeMeetSeeds(std::index_sequence<I...>) {
    using namespace orvel::meet;
    const auto set = [](auto& m) {
        if constexpr (requires { m.cookie; }) {
            m.cookie = 0x1122334455667788ull;
        }
        if constexpr (requires { m.code; }) {
            m.code = Code{0x12345678AB};
        }
        if constexpr (requires { m.name; }) {
            m.name = QStringLiteral("Evening race");
        }
        if constexpr (requires { m.lan; }) {
            m.lan = {{0xC0A80114, 2302}};
        }
        if constexpr (requires { m.peer; }) {
            m.peer = {0x28282802, 40000};
        }
    };
    const auto one = [&set](auto index) {
        Message m(std::in_place_index<decltype(index)::value>);
        std::visit(set, m);
        put("meet_protocol_fuzz", QStringLiteral("meet-%1").arg(decltype(index)::value + 1),
            encode(m));
    };
    (one(std::integral_constant<size_t, I>{}), ...);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_FOLDER\n");
        return 2;
    }
    root = QString::fromLocal8Bit(argv[1]);
    using namespace dx8::net;
    const QUuid app = QUuid::fromString(QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}"));

    writeControlSeeds(app, std::make_index_sequence<std::variant_size_v<ControlMessage>>{});
    writeRoleSeeds();
    writeMeetSeeds(std::make_index_sequence<std::variant_size_v<orvel::meet::Message>>{});

    put("discovery_fuzz", QStringLiteral("query"), encodeQuery({app, 7, 1234}));
    DiscoveryAnswer answer;
    answer.nonce = 7;
    answer.sentMs = 1234;
    answer.instance = QUuid::createUuidV5(app, QStringLiteral("seed"));
    answer.application = app;
    answer.maxPlayers = 6;
    answer.currentPlayers = 2;
    answer.sessionName = QStringLiteral("Evening race");
    put("discovery_fuzz", QStringLiteral("answer"), encodeAnswer(answer));

    orvel::CarState car{};
    car[0x18] = 1;
    const QByteArray chat = orvel::BuildTextMessage(orvel::ChatMessage, QStringLiteral("hello"));
    const QByteArray whisper =
        orvel::BuildTextMessage(orvel::WhisperMessage, QStringLiteral("psst \u65E5"));
    const QByteArray carMessage = orvel::BuildCarStateMessage(car);
    put("wire_messages_fuzz", QStringLiteral("chat"), chat);
    put("wire_messages_fuzz", QStringLiteral("whisper"), whisper);
    put("wire_messages_fuzz", QStringLiteral("car"), carMessage);

    dx8::DPL_CONNECTION_SETTINGS settings;
    settings.lFlags = 1;
    settings.ApplicationDescription.guidApplication = app.toString();
    settings.ApplicationDescription.SessionName = QStringLiteral("Evening race");
    settings.ApplicationDescription.lMaxPlayers = 6;
    settings.PlayerName = QStringLiteral("Ann");
    settings.AddressSenderUrl =
        QStringLiteral("x-directplay:/provider=%7B...%7D;hostname=10.77.0.1;port=2302");
    put("lobby_protocol_fuzz", QStringLiteral("request"),
        QByteArray(1, 7) + dx8::lobby::frame(dx8::lobby::encodeRequest(settings)));
    put("lobby_protocol_fuzz", QStringLiteral("replies"),
        QByteArray(1, 0) + dx8::lobby::frame(dx8::lobby::encodeReply({true, {}})) +
            dx8::lobby::frame(dx8::lobby::encodeReply({false, QStringLiteral("busy")})));

    // Two players join, one chats (a length-prefixed message), the other whispers and sends its
    // car (the rest of the input), then one leaves.
    QByteArray script;
    script += QByteArray("\x00\x01\x00\x02", 4);
    script += QByteArray("\x02\x01", 2) + char(chat.size()) + chat;
    script += QByteArray("\x02\x02", 2) + char(whisper.size()) + whisper;
    script += QByteArray("\x01\x01", 2);
    script += QByteArray("\x03\x02", 2) + carMessage;
    put("message_receipt_fuzz", QStringLiteral("session"), script);
    put("message_receipt_fuzz", QStringLiteral("unknown-type"),
        QByteArray("\x00\x03\x03\x03", 4) + le32(7));
    return 0;
}
