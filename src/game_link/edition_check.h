#pragma once
// Which edition the held game is, as far as its memory tells, so that nothing is ever written
// into a game of the edition not chosen (there the patch sites are live code of other routines).
//
// The game's executable, where its headers are loaded (the real game, also under Wine), is known
// by its time stamp and image size; each such build is remembered with its edition in the
// settings store once it has been raced with. Otherwise the edition is told by the fields of the
// memory map: the status word of the right edition holds one of its known values, and its local
// car record changes while its fields say a race is on; those of the wrong edition do not.
// A game that cannot be told either way is taken to be of the chosen edition.
#include <QString>
#include <cstdint>

namespace orvel::gamelink {

// Looks at the held game when a look is due: at the first tick it is attached, then once a
// second while its edition is not yet certain. The tick calls it before it patches.
void WatchGameEdition();
// The edition the held game looks like: 0 standard, 1 MX; -1 when it cannot be told (yet).
int32_t GameEdition();
// False when the held game looks like the edition that is not chosen: nothing may then be
// written into it (patches, remote cars, the message area).
bool GameMatchesChosenEdition();
// Forgets the held game's edition (the game was let go).
void ForgetGameEdition();

// The settings key of a build of the game: its time stamp and image size in hexadecimal.
QString GameBuildKey(uint32_t timeStamp, uint32_t imageSize);
// The settings section that holds, under each build's key, its edition ("0" or "1").
inline const QString kGameBuildsSection = QStringLiteral("GameEditions");

}  // namespace orvel::gamelink
