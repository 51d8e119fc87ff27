#include "common/shown_text.h"

namespace orvel {

namespace {

enum class Kind { Keep, Drop, Space };

Kind kindOf(char32_t c) {
    if (c == U'\t' || c == U'\n' || c == U'\r' || c == 0x2028 || c == 0x2029) {
        return Kind::Space;
    }
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    const bool bidi = (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    return control || bidi ? Kind::Drop : Kind::Keep;
}

}  // namespace

QString shownText(QStringView text, qsizetype maxChars) {
    QString out;
    qsizetype kept = 0;
    for (qsizetype i = 0; i < text.size() && kept < maxChars; ++i) {
        const QChar c = text[i];
        const bool pair =
            c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        if (c.isSurrogate() && !pair) {
            continue;  // half a character shows as nothing sensible
        }
        const char32_t code = pair ? QChar::surrogateToUcs4(c, text[i + 1]) : c.unicode();
        switch (kindOf(code)) {
            case Kind::Drop:
                break;
            case Kind::Space:
                out.append(QLatin1Char(' '));
                ++kept;
                break;
            case Kind::Keep:
                out.append(c);
                if (pair) {
                    out.append(text[i + 1]);
                }
                ++kept;
                break;
        }
        i += pair ? 1 : 0;
    }
    return out;
}

QString playerName(QStringView name) {
    // Room for the spaces that go, then the cut.
    const QString spaced = shownText(name, 4 * kMaxNameChars).simplified();
    return shownText(spaced, kMaxNameChars).trimmed();
}

}  // namespace orvel
