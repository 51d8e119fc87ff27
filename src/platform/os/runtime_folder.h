#pragma once
// The one folder where Orvel's programs keep what exists only while they run: the claims on
// games and the lobby's sockets. It belongs to the user alone, so that no other user can take a
// name in it first, listen in Orvel's place or make Orvel follow a link.
//
// $XDG_RUNTIME_DIR/orvel when the session provides a runtime folder; else "orvel-runtime" in the
// user's cache folder ($XDG_CACHE_HOME, else ~/.cache). Never a shared folder such as /tmp.
#include <string>

namespace orvel::os {

// The folder's path (no trailing slash), made with mode 0700 when missing. Empty, with the
// reason in *error, when it cannot be made or is not private to this user: owned by another
// user, open to others, a symbolic link or not a folder. It is never repaired behind the user's
// back.
std::string userRuntimeFolder(std::string* error);

}  // namespace orvel::os
