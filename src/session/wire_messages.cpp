#include "session/wire_messages.h"

#include <QStringDecoder>
#include <algorithm>
#include <cstring>
#include <limits>

namespace orvel {

namespace {

void putLE32(uint8_t* out, uint32_t v) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v >> 16);
    out[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t getLE32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

// True when [offset, offset + count) lies inside a buffer of the given size.
bool fits(qsizetype size, int64_t offset, int64_t count) {
    return offset >= 0 && count >= 0 && offset <= size && count <= size - offset;
}

}  // namespace

int32_t NewMessageBuffer(MessageBuffer& buffer) {
    buffer.clear();
    return 0;
}

void AppendBytes(MessageBuffer& buffer, const void* source, int32_t count, int32_t& offset) {
    if (count < 0 || offset < 0 ||
        static_cast<int64_t>(offset) + count > std::numeric_limits<int32_t>::max()) {
        return;
    }
    const qsizetype end = static_cast<qsizetype>(offset) + count;
    if (buffer.size() < end) {
        buffer.resize(end, '\0');
    }
    if (count > 0) {
        std::memcpy(buffer.data() + offset, source, static_cast<size_t>(count));
    }
    offset += count;
}

void AppendText(MessageBuffer& buffer, const QString& text, int32_t& offset) {
    const QByteArray utf8 = text.toUtf8();
    uint8_t length[4];
    putLE32(length, static_cast<uint32_t>(utf8.size()));
    AppendBytes(buffer, length, 4, offset);
    AppendBytes(buffer, utf8.constData(), static_cast<int32_t>(utf8.size()), offset);
}

bool ReadBytes(const QByteArray& received, void* destination, int32_t count, int32_t& offset) {
    if (!fits(received.size(), offset, count)) {
        return false;
    }
    if (count > 0) {
        std::memcpy(destination, received.constData() + offset, static_cast<size_t>(count));
    }
    offset += count;
    return true;
}

std::optional<QString> ReadText(const QByteArray& received, int32_t& offset, int32_t keepBytes) {
    int32_t at = offset;
    uint8_t lengthBytes[4];
    if (!ReadBytes(received, lengthBytes, 4, at)) {
        return std::nullopt;
    }
    const uint32_t length = getLE32(lengthBytes);
    if (length > static_cast<uint32_t>(kMaxTextBytes) || !fits(received.size(), at, length)) {
        return std::nullopt;
    }
    const auto* field = reinterpret_cast<const uint8_t*>(received.constData()) + at;
    uint32_t kept = std::min(length, static_cast<uint32_t>(std::max(keepBytes, 0)));
    // A UTF-8 character is at most four bytes: back over the continuation bytes to its start.
    for (int back = 0; back < 3 && kept > 0 && kept < length && (field[kept] & 0xC0) == 0x80;
         ++back) {
        --kept;
    }
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decode(QByteArrayView(field, kept));
    if (decode.hasError()) {
        return std::nullopt;
    }
    offset = at + static_cast<int32_t>(length);
    return text;
}

QByteArray BuildTextMessage(MessageType type, const QString& text) {
    MessageBuffer buffer;
    int32_t offset = NewMessageBuffer(buffer);
    uint8_t typeBytes[4];
    putLE32(typeBytes, static_cast<uint32_t>(type));
    AppendBytes(buffer, typeBytes, 4, offset);
    AppendText(buffer, text, offset);
    return buffer;
}

QByteArray BuildCarStateMessage(const CarState& state) {
    MessageBuffer buffer;
    int32_t offset = NewMessageBuffer(buffer);
    uint8_t typeBytes[4];
    putLE32(typeBytes, static_cast<uint32_t>(CarStateMessage));
    AppendBytes(buffer, typeBytes, 4, offset);
    offset += 4;  // reserved bytes, left unwritten
    AppendBytes(buffer, state.data(), kCarStateSize, offset);
    return buffer;
}

QByteArray BuildGameLinkMessage(bool linked) {
    MessageBuffer buffer;
    int32_t offset = NewMessageBuffer(buffer);
    uint8_t fields[8];
    putLE32(fields, static_cast<uint32_t>(GameLinkMessage));
    putLE32(fields + 4, linked ? 1u : 0u);
    AppendBytes(buffer, fields, 8, offset);
    return buffer;
}

DecodedMessage DecodeMessage(const QByteArray& received, int32_t keepTextBytes) {
    int32_t offset = 0;
    uint8_t typeBytes[4];
    if (!ReadBytes(received, typeBytes, 4, offset)) {
        return MalformedMessage{};
    }
    const auto type = static_cast<int32_t>(getLE32(typeBytes));
    // Bytes past a message's layout are left unread: a later version may append fields.
    switch (type) {
        case ChatMessage:
        case WhisperMessage: {
            std::optional<QString> text = ReadText(received, offset, keepTextBytes);
            if (!text) {
                return MalformedMessage{};
            }
            return TextMessage{static_cast<MessageType>(type), std::move(*text)};
        }
        case CarStateMessage: {
            offset += 4;  // reserved bytes, skipped unread
            CarStateUpdate update{};
            if (!ReadBytes(received, update.state.data(), kCarStateSize, offset)) {
                return MalformedMessage{};
            }
            return update;
        }
        case GameLinkMessage: {
            uint8_t flags[4];
            if (!ReadBytes(received, flags, 4, offset)) {
                return MalformedMessage{};
            }
            return GameLinkUpdate{(flags[0] & 1) != 0};
        }
        default:
            return UnknownMessage{type};
    }
}

}  // namespace orvel
