#include "session/wire_messages.h"

#include "common/packet.h"

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
    if (offset < 0 || offset > received.size()) {
        return std::nullopt;
    }
    packet::Reader r(received);
    r.skip(static_cast<size_t>(offset));
    QString text = r.text(4, kMaxTextBytes, static_cast<size_t>(std::max(keepBytes, 0)));
    if (!r.ok()) {
        return std::nullopt;
    }
    offset = static_cast<int32_t>(r.pos());
    return text;
}

QByteArray BuildTextMessage(MessageType type, const QString& text) {
    packet::Writer w;
    w.i32(type);
    w.text(text, 4, std::numeric_limits<int32_t>::max());
    return w.bytes();
}

QByteArray BuildCarStateMessage(const CarState& state) {
    packet::Writer w;
    w.i32(CarStateMessage);
    w.u32(0);  // reserved
    w.raw(state.data(), kCarStateSize);
    return w.bytes();
}

QByteArray BuildGameLinkMessage(bool linked) {
    packet::Writer w;
    w.i32(GameLinkMessage);
    w.u32(linked ? 1u : 0u);
    return w.bytes();
}

DecodedMessage DecodeMessage(const QByteArray& received, int32_t keepTextBytes) {
    packet::Reader r(received);
    const int32_t type = r.i32();
    if (!r.ok()) {
        return MalformedMessage{};
    }
    // Bytes past a message's layout are left unread: a later version may append fields.
    switch (type) {
        case ChatMessage:
        case WhisperMessage: {
            QString text =
                r.text(4, kMaxTextBytes, static_cast<size_t>(std::max(keepTextBytes, 0)));
            if (!r.ok()) {
                return MalformedMessage{};
            }
            return TextMessage{static_cast<MessageType>(type), std::move(text)};
        }
        case CarStateMessage: {
            r.skip(4);  // reserved bytes, skipped unread
            CarStateUpdate update{};
            const uint8_t* state = r.take(kCarStateSize);
            if (state == nullptr) {
                return MalformedMessage{};
            }
            std::memcpy(update.state.data(), state, kCarStateSize);
            return update;
        }
        case GameLinkMessage: {
            const uint32_t flags = r.u32();
            if (!r.ok()) {
                return MalformedMessage{};
            }
            return GameLinkUpdate{(flags & 1) != 0};
        }
        default:
            return UnknownMessage{type};
    }
}

}  // namespace orvel
