#pragma once

// The chat lines that tell of other players coming and going, and of being cut off: the main
// window shows them and orvel-bot prints them, word for word, so that scripts read what players
// see.

#include <QString>

namespace orvel {

inline QString joinedLine(const QString& name, bool back) {
    return (back ? QStringLiteral("- %1 is back.") : QStringLiteral("- %1 has joined the game."))
        .arg(name);
}

inline QString leftLine(const QString& name) {
    return QStringLiteral("-- %1 has left the game.").arg(name);
}

inline QString comingBackLine() {
    return QStringLiteral("- Connection lost. Trying to come back...");
}

}  // namespace orvel
