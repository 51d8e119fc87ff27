// The players' own messages (chat, whisper, car state) as they arrive from the session, and the
// buffer readers under them. A text that decodes must build back into a message that decodes to
// the same text; a failed read must leave its offset where it was.
#include <cstddef>
#include <cstdint>
#include <variant>

#include "fuzz_support.h"
#include "session/wire_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray received(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const orvel::DecodedMessage message = orvel::DecodeMessage(received);
    if (const auto* text = std::get_if<orvel::TextMessage>(&message)) {
        const auto back = orvel::DecodeMessage(orvel::BuildTextMessage(text->type, text->text));
        const auto* again = std::get_if<orvel::TextMessage>(&back);
        FUZZ_CHECK(again != nullptr && again->type == text->type && again->text == text->text);
    } else if (const auto* car = std::get_if<orvel::CarStateUpdate>(&message)) {
        // The reserved bytes after the type are not read, nor anything past the car state;
        // the rest is the car state.
        const QByteArray again = orvel::BuildCarStateMessage(car->state);
        FUZZ_CHECK(again.size() <= received.size() && again.left(4) == received.left(4) &&
                   again.mid(8) == received.mid(8, again.size() - 8));
    }

    // The readers one field after another, as a reader of a longer layout would use them.
    int32_t offset = 0;
    for (int step = 0; step < 16 && offset < received.size(); ++step) {
        const int32_t before = offset;
        uint8_t field[8] = {};
        const int32_t count = received.at(offset) & 7;
        if (orvel::ReadBytes(received, field, count, offset)) {
            FUZZ_CHECK(offset == before + count);
        } else {
            FUZZ_CHECK(offset == before);
        }
        const int32_t textAt = offset;
        if (orvel::ReadText(received, offset)) {
            FUZZ_CHECK(offset >= textAt + 4 && offset <= received.size());
        } else {
            FUZZ_CHECK(offset == textAt);
            ++offset;  // move on past a byte that starts no field
        }
    }
    return 0;
}
