#pragma once

// The messages players exchange, and the buffer operations that build and read them. Integers
// are little-endian. The text field is a 32-bit byte count followed by that many bytes of UTF-8,
// so it delimits itself and carries any Unicode text in full. A player ignores a type it does
// not know, so a newer message never troubles an older player.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <variant>

namespace orvel {

using MessageBuffer = QByteArray;

enum MessageType : int32_t {
    ChatMessage = 0,
    WhisperMessage = 1,
    CarStateMessage = 2,
    // Whether the sender's car comes out of a game: type, then a 32-bit field whose lowest bit
    // is set while the sender's Orvel is linked to a game (its other bits are ignored).
    GameLinkMessage = 3,
};

constexpr int32_t kCarStateSize = 144;
constexpr int32_t kCarStateMessageSize = 152;  // type, 4 reserved bytes, the car state
using CarState = std::array<uint8_t, kCarStateSize>;

// Longest text field a reader accepts; far above anything the chat input can hold.
constexpr int32_t kMaxTextBytes = 1 << 20;
// Most of a chat line or whisper from another player that is read at all: what a window line
// and the game's message line can use, and far less work than the longest field.
constexpr int32_t kMaxChatBytes = 1024;

// Empties the buffer; the start offset is 0.
int32_t NewMessageBuffer(MessageBuffer& buffer);

// Writes count bytes at offset, growing the buffer as needed (skipped bytes are zero);
// offset += count.
void AppendBytes(MessageBuffer& buffer, const void* source, int32_t count, int32_t& offset);

// Writes the text field at offset; offset moves behind it.
void AppendText(MessageBuffer& buffer, const QString& text, int32_t& offset);

// Copies count bytes from offset; offset += count. A read that would run past the end of the
// received bytes (or a negative count or offset) reads nothing, leaves offset and destination
// unchanged and returns false.
bool ReadBytes(const QByteArray& received, void* destination, int32_t count, int32_t& offset);

// Reads the text field at offset; offset moves behind it. Only the field's first keepBytes bytes
// are decoded (a cut inside a character goes back to its start); the rest is skipped unread. A
// field that runs past the end, claims more than kMaxTextBytes or whose kept bytes are not valid
// UTF-8 reads nothing, leaves offset unchanged and gives nullopt.
std::optional<QString> ReadText(const QByteArray& received, int32_t& offset,
                                int32_t keepBytes = kMaxTextBytes);

// Builders of the three messages, as every sender makes them.
QByteArray BuildTextMessage(MessageType type,
                            const QString& text);  // ChatMessage or WhisperMessage
QByteArray BuildCarStateMessage(const CarState& state);
QByteArray BuildGameLinkMessage(bool linked);

// A received message, decoded as a whole.
struct TextMessage {
    MessageType type;  // ChatMessage or WhisperMessage
    QString text;
};
struct CarStateUpdate {
    CarState state;
};
struct GameLinkUpdate {
    bool linked;
};
struct UnknownMessage {
    int32_t type;
};
struct MalformedMessage {};

using DecodedMessage =
    std::variant<TextMessage, CarStateUpdate, GameLinkUpdate, UnknownMessage, MalformedMessage>;

// Malformed: shorter than its layout or a text field that does not fit; bytes after the layout
// are ignored. A message of an unknown type with at least its 4-byte type is UnknownMessage. Of a
// text field only the first keepTextBytes bytes are read (ReadText).
DecodedMessage DecodeMessage(const QByteArray& received, int32_t keepTextBytes = kMaxTextBytes);

}  // namespace orvel
