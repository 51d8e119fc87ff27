#pragma once

// Text as the game holds it: Windows code page 1252, one byte per character.

#include <QByteArray>
#include <QString>

namespace orvel {

// One byte per Unicode code point of text; "?" for a character that code page 1252 cannot hold.
QByteArray toCp1252(const QString& text);

}  // namespace orvel
