#pragma once

#include <optional>

namespace orvel {

// Orvel's own command line (--help, --version; Qt's options pass on) and whether a display is
// there to show its windows on. Returns the status to end with when the program should stop
// before its application object is made.
std::optional<int> checkCommandLine(int argc, char** argv);

}  // namespace orvel
