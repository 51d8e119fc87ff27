#include "app/raised_privileges.h"

#include <sys/auxv.h>

#include <cstdio>

namespace orvel {

std::optional<int> refuseRaisedPrivileges() {
    // The kernel sets AT_SECURE for exactly these starts, whatever raised them.
    if (::getauxval(AT_SECURE) == 0) {
        return std::nullopt;
    }
    std::fputs(
        "orvel: refusing to run with raised privileges (file capabilities, set-user-ID or "
        "set-group-ID).\n"
        "  Qt loads plugins named by environment variables, so anybody who may start this orvel\n"
        "  would get those privileges. Take them away, for example:\n"
        "      sudo setcap -r \"$(command -v orvel)\"; sudo chmod u-s,g-s \"$(command -v orvel)\"\n"
        "  To reach the game's memory, start the game through Orvel instead:\n"
        "      orvel -- COMMAND        for example: orvel -- wine Kartova.exe\n",
        stderr);
    return 1;
}

}  // namespace orvel
