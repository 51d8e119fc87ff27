// Control messages as a peer receives them on the control channel. Anything decoded must encode
// back to a message that decodes to the same thing: a decoder that accepts what its encoder
// cannot say would let two peers disagree on one message.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "net/session/session_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto message = dx8::net::decodeControl(data, size);
    if (!message) {
        return 0;
    }
    const QByteArray again = dx8::net::encodeControl(*message);
    const auto back = dx8::net::decodeControl(reinterpret_cast<const uint8_t*>(again.constData()),
                                              static_cast<size_t>(again.size()));
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(*back == *message);
    return 0;
}
