// The lobby socket's byte stream, cut into pieces as a socket might deliver it: frames, then the
// request and reply inside them. The first byte of the input chooses the piece size.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "platform/dx8/lobby/lobby_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dx8::lobby;
    if (size == 0) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 64;
    ++data;
    --size;

    FrameReader reader;
    int frames = 0;
    for (size_t at = 0; at < size && frames < 256; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        reader.append(QByteArray(reinterpret_cast<const char*>(data + at), static_cast<qsizetype>(n)));
        while (const auto payload = reader.next()) {
            ++frames;
            FUZZ_CHECK(payload->size() > 0 && payload->size() <= kMaxFrameBytes);
            QString why;
            if (!decodeRequest(*payload, &why)) {
                FUZZ_CHECK(!why.isEmpty());
            }
            decodeReply(*payload);
        }
        FUZZ_CHECK(reader.bad() || reader.buffered() < kMaxFrameBytes + 4 + static_cast<qsizetype>(piece));
    }

    // The whole input as one payload too, so the JSON readers see it without framing.
    const QByteArray whole(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString why;
    if (const auto settings = decodeRequest(whole, &why)) {
        const auto again = decodeRequest(encodeRequest(*settings), &why);
        FUZZ_CHECK(again.has_value());
    }
    if (const auto reply = decodeReply(whole)) {
        const auto again = decodeReply(encodeReply(*reply));
        FUZZ_CHECK(again && again->taken == reply->taken && again->reason == reply->reason);
    }
    return 0;
}
