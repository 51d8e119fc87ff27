#pragma once

// Counting and cutting text by characters (Unicode code points), as the game counts one byte per
// character: a surrogate pair counts once and is never cut in two.

#include <QString>

namespace orvel {

qsizetype characterCount(const QString& text);
// The first (last) n characters of text; all of it when it has no more.
QString firstCharacters(const QString& text, qsizetype n);
QString lastCharacters(const QString& text, qsizetype n);

}  // namespace orvel
