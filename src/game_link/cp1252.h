#pragma once

// Text as the game holds it: Windows code page 1252, one byte per character.

#include <QByteArray>
#include <QString>

namespace orvel {

// One byte per Unicode code point of text; "?" for a character that code page 1252 cannot hold.
QByteArray toCp1252(const QString& text);

// Text the game can show: each word holding a character outside code page 1252 is spelled in
// plain Latin letters ("Zażółć" -> "Zazolc", "Привет" -> "Privet"); other words stay as they are.
// What has no Latin spelling stays and becomes "?" in toCp1252.
QString transliterateForGame(const QString& text);

}  // namespace orvel
