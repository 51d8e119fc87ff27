// Datagrams outside any link: a host reads discovery queries, CONNECTs and cookie datagrams from
// anyone on the network, a searcher reads answers. Every decoder sees every input; what decodes
// must survive its own encoder, and an answer never grows past the size a host may send.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "net/links/address_gate.h"
#include "net/session/session_protocol.h"

namespace {

const uint8_t* bytes(const QByteArray& b) {
    return reinterpret_cast<const uint8_t*>(b.constData());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dx8::net;
    const bool looks = looksLikeQuery(data, size);
    if (const auto query = decodeQuery(data, size)) {
        FUZZ_CHECK(looks);
        const QByteArray again = encodeQuery(*query);
        FUZZ_CHECK(again.size() == kQuerySize);
        const auto back = decodeQuery(bytes(again), static_cast<size_t>(again.size()));
        FUZZ_CHECK(back && back->application == query->application && back->nonce == query->nonce &&
                   back->sentMs == query->sentMs);
    }
    if (const auto answer = decodeAnswer(data, size)) {
        const QByteArray again = encodeAnswer(*answer);
        FUZZ_CHECK(again.size() <= kMaxAnswerSize);
        const auto back = decodeAnswer(bytes(again), static_cast<size_t>(again.size()));
        FUZZ_CHECK(back.has_value());
        FUZZ_CHECK(back->instance == answer->instance && back->nonce == answer->nonce &&
                   back->maxPlayers == answer->maxPlayers &&
                   back->currentPlayers == answer->currentPlayers);
    }
    if (const auto cookie = dx8::decodeCookie(data, size)) {
        FUZZ_CHECK(dx8::encodeCookie(*cookie) ==
                   QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    }
    const auto opening = dx8::openingIn(data, size);
    FUZZ_CHECK(!opening || !opening->connect || size >= 50);
    return 0;
}
