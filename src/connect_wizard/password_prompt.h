#pragma once

// The question a session with a password puts to a player who joins it: a small dialog whose
// field hides what is typed. The password goes to the join and is kept nowhere.

#include <QString>
#include <optional>

class QWidget;

namespace orvel {

// The password for the session sessionName, or nothing when the player cancels. wrong: the last
// password given was refused, and the dialog says so first.
std::optional<QString> askSessionPassword(QWidget* parent, const QString& sessionName, bool wrong);

}  // namespace orvel
