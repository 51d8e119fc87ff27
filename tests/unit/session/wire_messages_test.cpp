#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <random>

#include "session/wire_messages.h"

namespace orvel {
namespace {

int32_t typeOf(const QByteArray& message) {
    int32_t offset = 0;
    uint8_t bytes[4];
    EXPECT_TRUE(ReadBytes(message, bytes, 4, offset));
    return static_cast<int32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24);
}

CarState patternedState(uint8_t seed) {
    CarState state{};
    for (size_t i = 0; i < state.size(); ++i) {
        state[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return state;
}

TEST(WireMessages, CarStateMessageLayout) {
    const CarState state = patternedState(3);
    const QByteArray message = BuildCarStateMessage(state);
    ASSERT_EQ(message.size(), kCarStateMessageSize);
    EXPECT_EQ(typeOf(message), 2);
    for (int i = 0; i < kCarStateSize; ++i) {
        EXPECT_EQ(static_cast<uint8_t>(message[8 + i]), state[static_cast<size_t>(i)]) << i;
    }
    const DecodedMessage decoded = DecodeMessage(message);
    ASSERT_TRUE(std::holds_alternative<CarStateUpdate>(decoded));
    EXPECT_EQ(std::get<CarStateUpdate>(decoded).state, state);
}

TEST(WireMessages, GameLinkMessageLayout) {
    for (const bool linked : {true, false}) {
        const QByteArray message = BuildGameLinkMessage(linked);
        EXPECT_EQ(message, QByteArray(linked ? "\x03\0\0\0\x01\0\0\0" : "\x03\0\0\0\0\0\0\0", 8));
        const DecodedMessage decoded = DecodeMessage(message);
        ASSERT_TRUE(std::holds_alternative<GameLinkUpdate>(decoded));
        EXPECT_EQ(std::get<GameLinkUpdate>(decoded).linked, linked);
    }
    // Only the lowest bit counts.
    const DecodedMessage high = DecodeMessage(QByteArray("\x03\0\0\0\xfe\xff\xff\xff", 8));
    ASSERT_TRUE(std::holds_alternative<GameLinkUpdate>(high));
    EXPECT_FALSE(std::get<GameLinkUpdate>(high).linked);
}

TEST(WireMessages, ReservedBytesAreIgnoredByTheReader) {
    QByteArray message = BuildCarStateMessage(patternedState(9));
    message[4] = '\x11';
    message[7] = '\x77';
    const DecodedMessage decoded = DecodeMessage(message);
    ASSERT_TRUE(std::holds_alternative<CarStateUpdate>(decoded));
    EXPECT_EQ(std::get<CarStateUpdate>(decoded).state, patternedState(9));
}

TEST(WireMessages, TextMessagesRoundTripAnyUnicodeText) {
    const QString texts[] = {
        QString(),
        QStringLiteral("hello"),
        QStringLiteral("  leading and trailing  "),
        QString::fromUtf8("Grüße, Ærø, 日本語, emoji \xF0\x9F\x8F\x8E and \xF0\x9D\x84\x9E"),
        QString(5000, QChar(u'\u00e9')),
        QStringLiteral("line\r\nbreak\tand\0nul"),
    };
    for (MessageType type : {ChatMessage, WhisperMessage}) {
        for (const QString& text : texts) {
            const QByteArray message = BuildTextMessage(type, text);
            EXPECT_EQ(typeOf(message), type);
            const DecodedMessage decoded = DecodeMessage(message);
            ASSERT_TRUE(std::holds_alternative<TextMessage>(decoded));
            EXPECT_EQ(std::get<TextMessage>(decoded).type, type);
            EXPECT_EQ(std::get<TextMessage>(decoded).text, text);
        }
    }
}

TEST(WireMessages, BufferOperationsMoveTheOffset) {
    MessageBuffer buffer("junk");
    int32_t offset = NewMessageBuffer(buffer);
    EXPECT_EQ(offset, 0);
    EXPECT_TRUE(buffer.isEmpty());
    const uint8_t four[4] = {1, 2, 3, 4};
    AppendBytes(buffer, four, 4, offset);
    offset += 4;  // a gap that is never written
    AppendText(buffer, QStringLiteral("ab"), offset);
    EXPECT_EQ(offset, 4 + 4 + 4 + 2);
    EXPECT_EQ(buffer.size(), offset);

    int32_t at = 8;
    const std::optional<QString> text = ReadText(buffer, at);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, QStringLiteral("ab"));
    EXPECT_EQ(at, offset);
}

TEST(WireMessages, ReadsPastTheEndFailWithoutReading) {
    const QByteArray data("\x01\x02\x03", 3);
    uint8_t out[4] = {9, 9, 9, 9};
    int32_t offset = 0;
    EXPECT_FALSE(ReadBytes(data, out, 4, offset));
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(out[0], 9);
    offset = 2;
    EXPECT_FALSE(ReadBytes(data, out, 2, offset));
    EXPECT_EQ(offset, 2);
    offset = -1;
    EXPECT_FALSE(ReadBytes(data, out, 1, offset));
    offset = 0;
    EXPECT_FALSE(ReadBytes(data, out, -1, offset));
    offset = 3;
    EXPECT_TRUE(ReadBytes(data, out, 0, offset));
}

TEST(WireMessages, TextFieldClaimingMoreThanItCarriesIsRefused) {
    QByteArray message = BuildTextMessage(ChatMessage, QStringLiteral("hello"));
    message[4] = 6;  // one byte more than the five that follow
    int32_t offset = 4;
    EXPECT_FALSE(ReadText(message, offset).has_value());
    EXPECT_EQ(offset, 4);
    EXPECT_TRUE(std::holds_alternative<MalformedMessage>(DecodeMessage(message)));

    QByteArray huge = BuildTextMessage(ChatMessage, QString());
    huge[4] = '\xff';
    huge[5] = '\xff';
    huge[6] = '\xff';
    huge[7] = '\x7f';
    EXPECT_TRUE(std::holds_alternative<MalformedMessage>(DecodeMessage(huge)));
}

TEST(WireMessages, InvalidUtf8IsRefused) {
    QByteArray message = BuildTextMessage(WhisperMessage, QStringLiteral("ab"));
    message[8] = '\xc3';  // a lead byte followed by an ASCII letter
    EXPECT_TRUE(std::holds_alternative<MalformedMessage>(DecodeMessage(message)));
}

// A reader that keeps only the head of a text field reads no further, never cuts a character in
// two, and still moves past the whole field.
TEST(WireMessages, AKeptHeadOfATextFieldEndsAtACharacter) {
    const std::pair<QByteArray, std::optional<QString>> cases[] = {
        // field, its 4-byte head
        {"abc", "abc"},
        {"abcdef", "abcd"},
        {"abc\xC3\xA9", "abc"},       // inside a 2-byte character
        {"ab\xE2\x82\xAC", "ab"},     // inside a 3-byte one
        {"a\xF0\x9D\x84\x9Ez", "a"},  // inside a 4-byte one
        {"abcd\xFF\xFE", "abcd"},     // bad bytes after the head are never read
        {"a\xFF"
         "cd",
         std::nullopt},  // bad bytes in it are
    };
    for (const auto& [field, head] : cases) {
        const char size[4] = {static_cast<char>(field.size()), 0, 0, 0};
        const QByteArray message = QByteArray(4, '\0') + QByteArray(size, 4) + field + "tail";
        int32_t offset = 4;
        EXPECT_EQ(ReadText(message, offset, 4), head) << field.toHex().toStdString();
        EXPECT_EQ(offset, head ? 8 + field.size() : 4) << field.toHex().toStdString();
    }
}

// Short messages are malformed; longer ones are read by their layout and the rest ignored.
TEST(WireMessages, EveryTruncationIsMalformedAndTrailingBytesAreIgnored) {
    const QByteArray messages[] = {
        BuildCarStateMessage(patternedState(1)),
        BuildTextMessage(ChatMessage, QStringLiteral("truncate me")),
        BuildTextMessage(WhisperMessage, QString::fromUtf8("\xE2\x82\xAC")),
        BuildGameLinkMessage(true),
    };
    for (const QByteArray& whole : messages) {
        for (qsizetype n = 0; n < whole.size(); ++n) {
            EXPECT_TRUE(std::holds_alternative<MalformedMessage>(DecodeMessage(whole.left(n))))
                << "length " << n << " of " << whole.size();
        }
        const DecodedMessage exact = DecodeMessage(whole);
        const DecodedMessage longer = DecodeMessage(whole + QByteArray("xyz", 3));
        ASSERT_EQ(longer.index(), exact.index());
        if (const auto* text = std::get_if<TextMessage>(&exact)) {
            EXPECT_EQ(std::get<TextMessage>(longer).text, text->text);
        } else if (const auto* link = std::get_if<GameLinkUpdate>(&exact)) {
            EXPECT_EQ(std::get<GameLinkUpdate>(longer).linked, link->linked);
        } else {
            EXPECT_EQ(std::get<CarStateUpdate>(longer).state,
                      std::get<CarStateUpdate>(exact).state);
        }
    }
}

TEST(WireMessages, UnknownTypesAreReportedAsSuch) {
    for (int32_t type : {4, 5, -1, 0x7fffffff}) {
        QByteArray message(4, '\0');
        for (int i = 0; i < 4; ++i) {
            message[i] = static_cast<char>(static_cast<uint32_t>(type) >> (8 * i));
        }
        message += QByteArray(148, 'z');
        const DecodedMessage decoded = DecodeMessage(message);
        ASSERT_TRUE(std::holds_alternative<UnknownMessage>(decoded));
        EXPECT_EQ(std::get<UnknownMessage>(decoded).type, type);
    }
}

// Random and mutated inputs, many thousands of them; under AddressSanitizer any read past the
// end of a received buffer is caught.
TEST(WireMessagesFuzz, RandomAndMutatedInputsNeverReadPastTheEnd) {
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    const QByteArray seeds[] = {
        BuildCarStateMessage(patternedState(5)),
        BuildTextMessage(ChatMessage, QStringLiteral("seed text")),
        BuildTextMessage(WhisperMessage, QString::fromUtf8("\xC3\xA9\xC3\xA9")),
    };
    int decodedWell = 0;
    for (int round = 0; round < 60000; ++round) {
        QByteArray input;
        if (round % 3 == 0) {
            input.resize(std::uniform_int_distribution<int>(0, 200)(rng));
            for (auto& c : input) {
                c = static_cast<char>(byte(rng));
            }
        } else {
            input = seeds[static_cast<size_t>(round) % 3];
            const int mutations = std::uniform_int_distribution<int>(1, 4)(rng);
            for (int m = 0; m < mutations && !input.isEmpty(); ++m) {
                const int at =
                    std::uniform_int_distribution<int>(0, static_cast<int>(input.size()) - 1)(rng);
                switch (std::uniform_int_distribution<int>(0, 2)(rng)) {
                    case 0:
                        input[at] = static_cast<char>(byte(rng));
                        break;
                    case 1:
                        input.truncate(at);
                        break;
                    default:
                        input.insert(at, static_cast<char>(byte(rng)));
                        break;
                }
            }
        }
        // Copy into an exactly sized heap block so a sanitizer sees any overrun.
        const QByteArray exact(input.constData(), input.size());
        const DecodedMessage decoded = DecodeMessage(exact);
        if (const auto* text = std::get_if<TextMessage>(&decoded)) {
            // Whatever decoded as text encodes back to the bytes it was read from.
            EXPECT_TRUE(exact.startsWith(BuildTextMessage(text->type, text->text)));
            ++decodedWell;
        } else if (const auto* car = std::get_if<CarStateUpdate>(&decoded)) {
            EXPECT_GE(exact.size(), kCarStateMessageSize);
            EXPECT_EQ(std::memcmp(exact.constData() + 8, car->state.data(), kCarStateSize), 0);
            ++decodedWell;
        }
    }
    EXPECT_GT(decodedWell, 0);
}

}  // namespace
}  // namespace orvel
