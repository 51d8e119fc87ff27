// Meeting point datagrams: what decodes must encode back to the very same bytes, and the meeting
// point itself, fed the input at each of its sockets, never answers a sender that has not proved
// its address with more bytes than it sent. A request that carries the sender's valid cookie has
// proved it: the fuzzer reads that cookie off the comparison, as a real sender reads it off the
// Retry it was sent.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "meet_server.h"
#include "net/paths/meet_protocol.h"

namespace {

using namespace orvel::meet;

struct Counter final : Outbox {
    size_t largest = 0;
    void send(int, const char*, size_t size, Endpoint) override {
        largest = std::max(largest, size);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto m = decode(data, size);
    if (m) {
        FUZZ_CHECK(isMeetDatagram(data, size) && size <= kMaxDatagramSize);
        const QByteArray again = encode(*m);
        FUZZ_CHECK(again.size() == static_cast<qsizetype>(size));
        FUZZ_CHECK(std::memcmp(again.constData(), data, size) == 0);
    }
    if (const auto code = parseCode(QString::fromLatin1(reinterpret_cast<const char*>(data),
                                                        static_cast<qsizetype>(size)))) {
        FUZZ_CHECK(code->bits <= kCodeMask && parseCode(formatCode(*code)) == code);
    }

    static Keys keys(Key{});
    static Counter out;
    static MeetServer server({.relayPorts = {2302, 2303}}, keys, out);
    static int64_t now = 1000;
    now += 10;
    const Endpoint from{0x0A000001, 40000};
    const auto cookie = m ? cookieOf(*m) : std::nullopt;
    const bool proven = cookie && keys.cookieValid(*cookie, from, now);
    for (int socket : {kMainSocket, kProbeSocket, kFirstRelaySocket}) {
        out.largest = 0;
        server.receive(socket, data, size, from, now);
        FUZZ_CHECK(proven || out.largest <= size);
    }
    server.sweep(now);
    return 0;
}
