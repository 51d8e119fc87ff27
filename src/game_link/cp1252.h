#pragma once

// Text as the game holds it: Windows code page 1252, one byte per character.

#include <QByteArray>
#include <QString>
#include <limits>

namespace orvel {

// One byte per Unicode code point of text; "?" for a character that code page 1252 cannot hold.
QByteArray toCp1252(const QString& text);

// Text the game can show: each word holding a character outside code page 1252 is spelled in
// plain Latin letters ("Zażółć" -> "Zazolc", "Привет" -> "Privet"); other words stay as they are.
// What has no Latin spelling stays and becomes "?" in toCp1252. Only the first maxChars characters
// (code points) of the result are made: no more of text is read or spelled than they need, so
// the work follows what the game shows, not the length of text.
QString transliterateForGame(const QString& text,
                             qsizetype maxChars = std::numeric_limits<qsizetype>::max());

}  // namespace orvel
