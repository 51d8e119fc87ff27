#include "common/characters.h"

namespace orvel {

namespace {

bool pairAt(const QString& text, qsizetype i) {
    return i + 1 < text.size() && text.at(i).isHighSurrogate() && text.at(i + 1).isLowSurrogate();
}

}  // namespace

qsizetype characterCount(const QString& text) {
    qsizetype n = 0;
    for (qsizetype i = 0; i < text.size(); i += pairAt(text, i) ? 2 : 1) {
        ++n;
    }
    return n;
}

QString firstCharacters(const QString& text, qsizetype n) {
    qsizetype end = 0;
    for (qsizetype counted = 0; counted < n && end < text.size(); ++counted) {
        end += pairAt(text, end) ? 2 : 1;
    }
    return text.left(end);
}

QString lastCharacters(const QString& text, qsizetype n) {
    if (text.size() <= n) {
        return text;
    }
    qsizetype start = text.size();
    for (qsizetype counted = 0; counted < n && start > 0; ++counted) {
        --start;
        if (start > 0 && pairAt(text, start - 1)) {
            --start;
        }
    }
    return text.mid(start);
}

}  // namespace orvel
