#pragma once

#include <optional>

namespace orvel {

// A program started with privileges its user does not have (file capabilities, set-user-ID or
// set-group-ID) must not run Orvel: Qt loads plugins that environment variables name, so every
// user who may start it would get those privileges. Says so on stderr and gives the status to
// end with; nothing when the start is an ordinary one. Called before anything of Qt runs.
std::optional<int> refuseRaisedPrivileges();

}  // namespace orvel
