#include "game_link/message_area.h"

#include <cstdint>

#include "common/characters.h"
#include "common/orvel_globals.h"
#include "game_link/cp1252.h"
#include "game_link/edition_check.h"
#include "game_link/game_memory_map.h"
#include "game_link/memory.h"

namespace orvel::gamelink {

namespace {

// One byte per character (code point) in the game.
qsizetype gameBytes(const QString& text) {
    return characterCount(text);
}

const gamemap::Edition& area() {
    return gamemap::edition(gameVersion);
}

void writeValue() {
    Memory::WriteGameLong(GameTitle, static_cast<int32_t>(area().messageValue),
                          gamemap::kMessageAreaValue);
}

void writeLastLine(const QString& line) {
    Memory::WriteGameText(GameTitle, static_cast<int32_t>(area().messageLastLine),
                          LastLineEcho(line));
}

void writeInputLine(const QString& text) {
    Memory::WriteGameText(GameTitle, static_cast<int32_t>(area().messageInputLine),
                          InputLineShown(text) + QChar(0));
}

}  // namespace

QString LastLineEcho(const QString& line) {
    // Only what the field shows is spelled for the game: the first character and 50 after it.
    const QString spelled = transliterateForGame(line, gamemap::kLastLineLength + 1);
    const QString shown = firstCharacters(spelled, 1);
    QString echo = spelled.mid(shown.size());
    echo.append(QString(gamemap::kLastLineLength - gameBytes(echo), QLatin1Char(' ')));
    return echo;
}

QString InputLineShown(const QString& text) {
    const qsizetype room = gamemap::kInputLineRoom - 1;  // the NUL takes the last byte
    if (gameBytes(text) <= room) {
        return text;
    }
    // The end of the line is where the player types, so that is what stays in view.
    const QString prompt = text.startsWith(kInputPrompt) ? kInputPrompt : QString();
    return prompt + lastCharacters(text.mid(prompt.size()), room - gameBytes(prompt));
}

void ShowLastLine(const QString& line) {
    if (!GameMatchesChosenEdition()) {
        return;
    }
    writeValue();
    writeLastLine(line);
}

void ShowInputLine(const QString& text) {
    if (!GameMatchesChosenEdition()) {
        return;
    }
    writeValue();
    writeInputLine(text);
}

void OpenInputLine(const QString& lastLine, const QString& text) {
    if (!GameMatchesChosenEdition()) {
        return;
    }
    writeValue();
    writeLastLine(lastLine);
    writeInputLine(text);
}

void CloseInputLine() {
    if (!GameMatchesChosenEdition()) {
        return;
    }
    const uint8_t nul = 0;
    Memory::WriteGameBytes(GameTitle, static_cast<int32_t>(area().messageInputLine),
                           std::span<const uint8_t>(&nul, 1));
}

}  // namespace orvel::gamelink
