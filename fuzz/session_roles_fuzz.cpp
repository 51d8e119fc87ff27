// A session's roles fed what hostile players may send: control messages, data and relayed
// packets on every kind of link (the host's, a player's, a joining one, one nobody vouched for),
// links going down and dark, and time passing. After every step: only the host's word, or the
// host gone dark, changes who hosts; data is delivered only under the id of the link it came on
// (or, from the host, of a player it relays); and what the session keeps stays bounded.
//
// Input: one byte picks our place (host, player, joiner); then steps of one opcode byte, one
// operand byte, and for messages a length byte and that many bytes.
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_session.h"
#include "fuzz_support.h"
#include "net/links/link_timing.h"

namespace {

using orvel::testing::FakeSession;
using namespace dx8;

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "session_roles_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication a(argc, argv);
    return a;
}

void joining(FakeSession& s) {
    net::msg::JoinAccept a = s.askToJoin(0x0A000001u);
    a.players = {{1, 0, "h", 0, 2302}, {2, 1, "p", 0x0A000002u, 2302, 0, 0, 0, 0, 5}};
    a.relays = 1;
    s.joiner.onControl(s.hostLink, *s.links.find(s.hostLink), a);
}

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool more() const { return pos < size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    QByteArray bytes() {
        const size_t n = std::min<size_t>(byte(), size - pos);
        const QByteArray b(reinterpret_cast<const char*>(data + pos), static_cast<qsizetype>(n));
        pos += n;
        return b;
    }
};

LinkId pickLink(FakeSession& s, uint8_t which) {
    if (s.links.all().empty()) {
        return 0;
    }
    auto it = s.links.all().begin();
    std::advance(it, which % s.links.all().size());
    return it->first;
}

bool hostDark(const FakeSession& s) {
    const LinkId link = s.roster.hostLink();
    return link == 0 || !s.links.has(link) || s.links.silentMs(link) >= kDarkLinkMs;
}

void checkBounded(FakeSession& s) {
    FUZZ_CHECK(s.roster.players.size() <= 2 * static_cast<size_t>(net::kMaxPlayersListed));
    FUZZ_CHECK(s.roster.expectations.size() <= kMaxExpectations);
    FUZZ_CHECK(s.hostJoin.pending() <= kMaxPendingJoins);
    FUZZ_CHECK(s.hostJoin.queued() <= kMaxQueuedJoins);
    FUZZ_CHECK(s.roster.relayedPairs.size() <= s.roster.players.size() * s.roster.players.size());
    FUZZ_CHECK(s.relay.pairStateSize() <=
               3 * s.roster.players.size() * s.roster.players.size() + 16);
    FUZZ_CHECK(s.roles.context().dials.size() <= kMaxDialsKept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    app();
    Reader in{data, size};
    FakeSession s;
    const uint8_t place = in.byte() % 3;
    if (place == 0) {
        s.hostWith(3, 6);
    } else if (place == 1) {
        s.playerOf(4);
    } else {
        joining(s);
    }
    size_t seen = s.delivered().size();
    for (int step = 0; step < 256 && in.more(); ++step) {
        const uint8_t op = in.byte() % 7;
        const uint8_t arg = in.byte();
        const DPNID hostBefore = s.roster.hostId;
        const bool darkBefore = hostDark(s);
        LinkId link = pickLink(s, arg);
        if (op == 1) {  // a stranger
            link = s.links.arrive(static_cast<uint16_t>(4000 + arg), 0x0B000000u + (arg % 4));
        }
        const Link* state = s.links.find(link);
        const DPNID sender = state != nullptr ? state->playerId : 0;
        const bool senderIsHost =
            state != nullptr && state->kind == LinkKind::Player && sender == hostBefore;
        bool control = false;
        switch (op) {
            case 0:
            case 1: {
                const QByteArray b = in.bytes();
                const auto m = net::decodeControl(reinterpret_cast<const uint8_t*>(b.constData()),
                                                  static_cast<size_t>(b.size()));
                if (m && state != nullptr) {
                    control = true;
                    s.roles.controlArrived(link, *m);
                }
                break;
            }
            case 2:
                if (state != nullptr) {
                    s.roles.dataArrived(*state, in.bytes());
                }
                break;
            case 3:
                if (state != nullptr) {
                    s.roles.relayArrived(*state, in.bytes(), arg % 2 == 0);
                }
                break;
            case 4:
                s.clock += 100 * arg;
                s.roles.checkDeadlines();
                break;
            case 5:
                if (state != nullptr) {
                    s.lose(link);
                }
                break;
            case 6:
                s.links.silent[link] = arg % 2 == 0 ? kDarkLinkMs : 0;
                break;
        }
        // Only the host's word, or the host gone dark, moves the host role.
        if (control && s.roster.hostId != hostBefore && place != 2) {
            FUZZ_CHECK(senderIsHost || darkBefore);
        }
        // Data is delivered under the id of the link it came on, or, through the host's relay,
        // of a player reached through it.
        const std::vector<std::string> lines = s.delivered();
        for (size_t i = seen; i < lines.size(); ++i) {
            if (lines[i].rfind("Receive ", 0) != 0) {
                continue;
            }
            const DPNID from = static_cast<DPNID>(std::stoul(lines[i].substr(8)));
            if (op == 2) {
                FUZZ_CHECK(from == sender);
            } else if (op == 3) {
                FUZZ_CHECK(from == sender || senderIsHost);
            } else {  // what players sent while we joined, held until we were one of them
                FUZZ_CHECK(place == 2 && s.roster.players.count(from) != 0);
            }
        }
        seen = lines.size();
        checkBounded(s);
    }
    return 0;
}
