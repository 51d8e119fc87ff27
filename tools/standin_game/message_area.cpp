#include "message_area.h"

#include "game_memory.h"

namespace standin {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
// 0x80..0x9F; the rest above 0x9F matches Latin-1.
constexpr char16_t kHighControls[32] = {
    0x20AC,       kReplacement, 0x201A, 0x0192, 0x201E, 0x2026,       0x2020, 0x2021,
    0x02C6,       0x2030,       0x0160, 0x2039, 0x0152, kReplacement, 0x017D, kReplacement,
    kReplacement, 0x2018,       0x2019, 0x201C, 0x201D, 0x2022,       0x2013, 0x2014,
    0x02DC,       0x2122,       0x0161, 0x203A, 0x0153, kReplacement, 0x017E, 0x0178};

}  // namespace

QString decodeCp1252(const QByteArray& bytes) {
    QString out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b < 0x20 || b == 0x7F) {
            out.append(QChar(kReplacement));
        } else if (b >= 0x80 && b < 0xA0) {
            out.append(QChar(kHighControls[b - 0x80]));
        } else {
            out.append(QChar(static_cast<char16_t>(b)));
        }
    }
    return out;
}

MessageArea readMessageArea(const Edition& edition) {
    MessageArea m;
    m.value = readU32(edition.showValue);
    m.shown = m.value == kShowMessages;
    m.lastRaw = readBytes(edition.lastLine, kLastLineBytes);
    const QByteArray input = readBytes(edition.inputLine, kInputLineBytes);
    const qsizetype nul = input.indexOf('\0');
    m.inputRaw = nul < 0 ? input : input.left(nul);
    m.last = decodeCp1252(m.lastRaw);
    m.input = decodeCp1252(m.inputRaw);
    return m;
}

}  // namespace standin
