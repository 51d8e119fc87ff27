#include "app/game_launch.h"

#include <csignal>
#include <cstdio>

#include "game_link/game_lineage.h"

namespace orvel {

int gameCommandStart(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--") == 0) {
            return i;
        }
    }
    return argc;
}

GameLaunch::GameLaunch(int argc, char** argv) {
    for (int i = gameCommandStart(argc, argv) + 1; i < argc; ++i) {
        command_ << QString::fromLocal8Bit(argv[i]);
    }
}

std::optional<int> GameLaunch::start() {
    if (!wanted()) {
        return std::nullopt;
    }
    QString why;
    int status = 0;
    if (!program_.start(command_, &why, &status)) {
        std::fprintf(stderr, "orvel: cannot start the game \"%s\": %s\n",
                     command_.constFirst().toLocal8Bit().constData(),
                     why.toLocal8Bit().constData());
        return status;
    }
    gamelink::LinkOnlyToDescendantsOf(program_.processId());
    return std::nullopt;
}

int GameLaunch::finalStatus(int orvelStatus) {
    if (!wanted()) {
        return orvelStatus;
    }
    program_.onEnded(nullptr);  // whoever it would have told is gone
    if (program_.running()) {
        std::fputs("orvel: waiting for the game to end; Orvel ends with it.\n", stderr);
    }
    return program_.waitForEnd();
}

}  // namespace orvel
