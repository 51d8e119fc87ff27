#include "game_link/message_area.h"

#include <QList>
#include <cstdint>

#include "common/orvel_globals.h"
#include "game_link/cp1252.h"
#include "game_link/edition_check.h"
#include "game_link/game_memory_map.h"
#include "game_link/memory.h"

namespace orvel::gamelink {

namespace {

qsizetype gameBytes(const QString& text) {
    return toCp1252(text).size();
}

// The longest run of whole characters from the start of chars that takes at most room bytes.
QString headThatFits(const QList<uint>& chars, qsizetype room) {
    QString out;
    for (const uint c : chars) {
        const char32_t one = c;
        const QString next = QString::fromUcs4(&one, 1);
        if (gameBytes(out + next) > room) {
            break;
        }
        out += next;
    }
    return out;
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
    // Spelled as the game can show it first, so the count is of what the game gets.
    QList<uint> chars = transliterateForGame(line).toUcs4();
    if (!chars.isEmpty()) {
        chars.removeFirst();
    }
    QString echo = headThatFits(chars, gamemap::kLastLineLength);
    echo.append(QString(gamemap::kLastLineLength - gameBytes(echo), QLatin1Char(' ')));
    return echo;
}

QString InputLineShown(const QString& text) {
    const qsizetype room = gamemap::kInputLineRoom - 1;  // the NUL takes the last byte
    if (gameBytes(text) <= room) {
        return text;
    }
    const bool prompted = text.startsWith(kInputPrompt);
    const QString prompt = prompted ? kInputPrompt : QString();
    // The end of the line is where the player types, so that is what stays in view.
    QList<uint> typed = (prompted ? text.mid(kInputPrompt.size()) : text).toUcs4();
    const qsizetype tailRoom = room - gameBytes(prompt);
    while (!typed.isEmpty()) {
        const QString tail =
            QString::fromUcs4(reinterpret_cast<const char32_t*>(typed.constData()), typed.size());
        if (gameBytes(tail) <= tailRoom) {
            return prompt + tail;
        }
        typed.removeFirst();
    }
    return prompt;
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
