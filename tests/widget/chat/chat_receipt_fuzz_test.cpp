// Message receipt against hostile input: truncated, overlong, mistyped and random messages from
// a player who holds a car slot, during a race. Nothing may reach the game or the chat, and
// nothing may crash (this test also runs under AddressSanitizer).
#include <climits>
#include <random>

#include "chat_fixture.h"

namespace chat_test {
namespace {

constexpr DPNID kSender = 0x41;

class ReceiptFuzz : public ChatFixture {
protected:
    void SetUp() override {
        ChatFixture::SetUp();
        peer->addPlayer(1, QStringLiteral("Ann"), true);
        peer->addPlayer(kSender, QStringLiteral("Bob"));
        create(1);
        create(kSender);
        ASSERT_EQ(carSlots()[0], kSender);
        startGame();
        race(true);
        lines_ = history();
        last_ = window->lastChatLine;
    }

    // Delivers the message and checks that it changed nothing.
    void expectIgnored(const QByteArray& message, const std::string& what) {
        scope.os.calls.clear();
        receive(kSender, message);
        ++checked;
        if (!writes().empty() || history() != lines_ || window->lastChatLine != last_) {
            ADD_FAILURE() << what << ": " << message.left(64).toHex().toStdString() << " ("
                          << message.size() << " bytes) changed something";
            rebase();
            snapshot();
        }
    }

    // What a well-formed message did becomes the new baseline.
    void rebase() {
        lines_ = history();
        last_ = window->lastChatLine;
    }

    int checked = 0;

private:
    QString lines_;
    QString last_;
};

QByteArray le32(uint32_t v) {
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return QByteArray(b, 4);
}

TEST_F(ReceiptFuzz, EveryTypeTruncatedAtEveryLengthOrLengthened) {
    const QByteArray valid[] = {
        orvel::BuildTextMessage(orvel::ChatMessage, QStringLiteral("hello there")),
        orvel::BuildTextMessage(orvel::WhisperMessage, QStringLiteral("psst \u00E9\u65E5")),
        orvel::BuildTextMessage(orvel::ChatMessage, QString()),
        orvel::BuildCarStateMessage(carState(3)),
    };
    for (const QByteArray& m : valid) {
        for (qsizetype n = 0; n < m.size(); ++n) {
            expectIgnored(m.left(n), "truncated");
        }
    }
    EXPECT_TRUE(changes().empty());
    // Longer than its layout: read by its layout, the rest ignored; it does what the message does.
    for (const QByteArray& m : valid) {
        for (const QByteArray& tail : {QByteArray(1, '\0'), QByteArray(300, 'x')}) {
            const QString start = history();
            scope.os.calls.clear();
            receive(kSender, m);
            const QString exactAdded = history().mid(start.size());
            const size_t exactWrites = writes().size();
            const QString mid = history();
            scope.os.calls.clear();
            receive(kSender, m + tail);
            EXPECT_EQ(history().mid(mid.size()), exactAdded) << tail.size();
            EXPECT_EQ(writes().size(), exactWrites) << tail.size();
            EXPECT_TRUE(exactWrites > 0 || !exactAdded.isEmpty()) << "the message itself did nothing";
        }
    }
}

TEST_F(ReceiptFuzz, UnknownTypesOfEverySize) {
    for (uint32_t type : {3u, 4u, 7u, 0x100u, 0x80000000u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x02000000u}) {
        for (int size : {4, 5, 8, 151, 152, 153, 1000}) {
            QByteArray m = le32(type);
            m.append(QByteArray(size - 4, '\x02'));
            expectIgnored(m, "unknown type");
        }
    }
    EXPECT_TRUE(changes().empty());
}

TEST_F(ReceiptFuzz, TextFieldsThatClaimMoreThanTheyCarry) {
    const QByteArray text = QByteArrayLiteral("hello");
    for (uint32_t type : {0u, 1u}) {
        for (uint32_t claimed : {6u, 7u, 100u, 0x10000u, uint32_t(orvel::kMaxTextBytes) + 1,
                                 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFBu, 0xFFFFFFFFu}) {
            expectIgnored(le32(type) + le32(claimed) + text, "claims too much");
        }
        // Too few bytes even for the count.
        expectIgnored(le32(type) + QByteArray("\x05\x00", 2), "short count");
        // Longer than any reader accepts, and really carried.
        expectIgnored(le32(type) + le32(uint32_t(orvel::kMaxTextBytes) + 1) +
                          QByteArray(orvel::kMaxTextBytes + 1, 'a'),
                      "oversized text");
        // Bytes that are no text.
        for (const QByteArray& bad :
             {QByteArray("\xC3\x28", 2), QByteArray("\xFF", 1), QByteArray("\xC0\xAF", 2),
              QByteArray("\xED\xA0\x80", 3), QByteArray("ab\xE2\x82", 4)}) {
            expectIgnored(le32(type) + le32(uint32_t(bad.size())) + bad, "not UTF-8");
        }
    }
    EXPECT_TRUE(changes().empty());
}

TEST_F(ReceiptFuzz, RandomBytesChangeOnlyWhatAValidMessageWould) {
    std::mt19937 random(20240607);
    int valid = 0;
    for (int i = 0; i < 20000; ++i) {
        const int size = static_cast<int>(random() % 4 == 0 ? random() % 16 : random() % 400);
        QByteArray m(size, '\0');
        for (char& c : m) {
            c = static_cast<char>(random());
        }
        // Mostly the types that mean something, so the fields behind the type get exercised.
        if (size >= 4 && random() % 4 != 0) {
            m.replace(0, 4, le32(random() % 3));
        }
        if (size >= 8 && m[0] != 2 && random() % 2 == 0) {
            m.replace(4, 4, le32(uint32_t(size - 8 + static_cast<int>(random() % 5) - 2)));
        }
        const orvel::DecodedMessage decoded = orvel::DecodeMessage(m);
        if (std::holds_alternative<orvel::TextMessage>(decoded) ||
            std::holds_alternative<orvel::CarStateUpdate>(decoded)) {
            // A message that happens to be well formed does what such a message does.
            ++valid;
            receive(kSender, m);
            snapshot();
            rebase();
            continue;
        }
        expectIgnored(m, "random");
    }
    EXPECT_GT(checked, 15000);
    RecordProperty("well_formed", valid);
}

}  // namespace
}  // namespace chat_test
