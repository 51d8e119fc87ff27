// Runs the game link's memory operations on a given process id, as a separate program so that
// it can drop its privileges first. Prints what the open answered; the game link's own notices
// go to standard error.
//   game_link_probe PID --as-nobody | --as-is
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/orvel_globals.h"
#include "game_link/game_process.h"
#include "game_link/memory.h"
#include "platform/os/os_services.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const auto pid = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    if (std::strcmp(argv[2], "--as-nobody") == 0) {
        // Another user's process is off limits to an unprivileged one. Where the switch is not
        // allowed, the target's being not dumpable still keeps a process without the tracing
        // capability out.
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            std::fprintf(stdout, "cannot switch user; going on as is\n");
        }
    }
    // A runtime folder of the user it now runs as, for its claim on the game.
    char runtime[] = "/tmp/game-link-probe-XXXXXX";
    if (mkdtemp(runtime) != nullptr) {
        setenv("XDG_RUNTIME_DIR", runtime, 1);
    }
    auto& os = orvel::os::services();
    orvel::os::OpenError why = orvel::os::OpenError::None;
    const auto handle = os.OpenProcess(0x438, false, pid, &why);
    if (handle != 0) {
        os.CloseHandle(handle);
    }
    std::printf("open: %s\n", why == orvel::os::OpenError::AccessDenied    ? "access denied"
                              : why == orvel::os::OpenError::None          ? "ok"
                              : why == orvel::os::OpenError::NoSuchProcess ? "no such process"
                                                                           : "other");
    using namespace orvel;
    Memory::gameProcessId = pid;
    gamelink::HoldGame({0, pid});  // only a game held is opened
    for (int i = 0; i < 3; ++i) {
        Memory::ReadGameLong(GameTitle, 0x5FEAA0);
        Memory::ReadGameBytes(GameTitle, 0x53B8DC, 128);
        Memory::WriteGameHex(GameTitle, 0x426920, QStringLiteral("C3"), 0, 0);
    }
    gamelink::ReleaseGame();
    rmdir((std::string(runtime) + "/orvel").c_str());
    rmdir(runtime);
    return 0;
}
