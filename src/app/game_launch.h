#pragma once
// `orvel -- COMMAND [ARGS...]`: Orvel starts the game itself, as launchers start a wrapper
// program (Steam's `orvel -- %command%`), links to that game alone, and ends when the game ends,
// with the game's exit status, after leaving the session as the player would.
#include <QStringList>
#include <functional>
#include <optional>

#include "platform/os/started_program.h"

namespace orvel {

// Where the game's command begins: the index of the first "--" in argv, argc when none.
int gameCommandStart(int argc, char** argv);

class GameLaunch {
public:
    // The words after the "--" of argv; none: Orvel starts no game and links to any.
    GameLaunch(int argc, char** argv);

    bool wanted() const { return !command_.isEmpty(); }
    // Starts the game and links the game link to it alone. Nothing when it runs (or none is
    // wanted); the status to end with when it could not be started (said on standard error).
    std::optional<int> start();
    // endOrvel runs from the event loop once the game has ended.
    void whenEnded(std::function<void()> endOrvel) { program_.onEnded(std::move(endOrvel)); }
    // A quit signal that Orvel received goes on to the game: whoever stops the wrapper means
    // the game.
    void forward(int signal) { program_.signal(signal); }
    // The status Orvel ends with: with a game, the game's, once it has ended (waiting for it
    // while it runs, after Orvel's windows have gone); otherwise orvelStatus.
    int finalStatus(int orvelStatus);

private:
    QStringList command_;
    os::StartedProgram program_;
};

}  // namespace orvel
