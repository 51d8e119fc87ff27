#include "game_link/cp1252.h"

#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <QList>
#include <algorithm>
#include <cstdint>
#include <memory>

#include "common/characters.h"

namespace orvel {

namespace {

// Code page 1252 differs from Latin-1 only in 0x80..0x9F. These are the characters of those
// bytes; 0 marks the five bytes the code page leaves undefined, which carry the C1 control of
// the same value instead.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88..8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98..9F
};

char toByte(uint c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return static_cast<char>(c);
    }
    for (int i = 0; i < 32; ++i) {
        const uint mapped = kHighControls[i] != 0 ? uint{kHighControls[i]} : uint(0x80 + i);
        if (c == mapped) {
            return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

bool representable(uint c) {
    return c == '?' || toByte(c) != '?';
}

QString spellInLatin(const QString& word) {
    // Made once per thread: a transliterator is costly to build and not safe to share.
    thread_local const std::unique_ptr<icu::Transliterator> latin = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Transliterator> t(icu::Transliterator::createInstance(
            icu::UnicodeString::fromUTF8("Any-Latin; Latin-ASCII"), UTRANS_FORWARD, status));
        return U_SUCCESS(status) ? std::move(t) : nullptr;
    }();
    if (!latin) {
        return word;
    }
    icu::UnicodeString u(reinterpret_cast<const UChar*>(word.utf16()),
                         static_cast<int32_t>(word.size()));
    latin->transliterate(u);
    return QString(reinterpret_cast<const QChar*>(u.getBuffer()), u.length());
}

}  // namespace

QString transliterateForGame(const QString& text, qsizetype maxChars) {
    // Words are spelled whole; a longer run of letters (no blank for a page) is spelled a piece
    // at a time, so that only the pieces the result needs are spelled. The reading stops a
    // little past what maxChars could take, for characters that spell to nothing.
    constexpr qsizetype kPiece = 32;
    const qsizetype readLimit =
        maxChars > (text.size() - kPiece) / 4 ? text.size() : 4 * maxChars + kPiece;
    QString out;
    qsizetype outChars = 0;
    qsizetype start = 0;
    while (start < text.size() && start < readLimit && outChars < maxChars) {
        const bool space = text.at(start).isSpace();
        qsizetype end = start;
        while (end < text.size() && end - start < kPiece && text.at(end).isSpace() == space) {
            ++end;
        }
        if (end < text.size() && end - start > 1 && text.at(end).isLowSurrogate()) {
            --end;  // a pair stays whole
        }
        const QString run = text.mid(start, end - start);
        const QList<uint> codes = run.toUcs4();
        const bool plain = std::all_of(codes.begin(), codes.end(), representable);
        const QString spelled = plain ? run : spellInLatin(run);
        out += spelled;
        outChars += characterCount(spelled);
        start = end;
    }
    return outChars > maxChars ? firstCharacters(out, maxChars) : out;
}

QByteArray toCp1252(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (const uint c : text.toUcs4()) {
        out.append(toByte(c));
    }
    return out;
}

}  // namespace orvel
