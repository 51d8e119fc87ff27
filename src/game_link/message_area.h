#pragma once
// The game's message area, written from here only: the last line (a chat line's echo), the
// input line of the in-game chat, and the value that makes the game show them. Lengths count
// bytes as the game holds them, so no write runs past its field. Nothing is written into a game
// of the edition not chosen.
#include <QString>

namespace orvel::gamelink {

// The prompt that opens the in-game input line.
inline const QString kInputPrompt = QStringLiteral(" >");

// A chat line as the last-line field shows it: without its first character, as much of the
// rest as fits in 50 bytes, blank-padded to exactly 50.
QString LastLineEcho(const QString& line);
// What the input line shows of text (prompt included): all of it while it fits before the
// value that follows the field, else the prompt and the end of what was typed.
QString InputLineShown(const QString& text);

// The value, then the echo of line in the last line.
void ShowLastLine(const QString& line);
// The value, then the input line (what fits of text, and a NUL).
void ShowInputLine(const QString& text);
// The value, the echo of lastLine and the input line: the area as the in-game chat opens it.
void OpenInputLine(const QString& lastLine, const QString& text);
// A single NUL at the input line's start: the line is closed.
void CloseInputLine();

}  // namespace orvel::gamelink
