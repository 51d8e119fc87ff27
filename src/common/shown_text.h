#pragma once

// Text that came from another player, made fit to show in a window or the game: nothing in it
// can start a new line, move the cursor, reorder what follows, or take unbounded work.

#include <QString>
#include <QStringView>

namespace orvel {

constexpr qsizetype kMaxNameChars = 32;

// At most maxChars characters of text (a surrogate pair counts one and is never split), with
// control characters (C0, DEL, C1) and bidirectional embeddings, overrides and isolates left out;
// tabs and line or paragraph breaks become one space each. Reads no further than it keeps.
QString shownText(QStringView text, qsizetype maxChars);

// A player's name as every player shows it: shown text of at most kMaxNameChars, each run of
// spaces made one, none at either end.
QString playerName(QStringView name);

}  // namespace orvel
