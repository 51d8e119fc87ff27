#pragma once

// Starting the registered program for a lobby launch, and watching whether it still runs.

#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <optional>

namespace lobby_client {

struct Child {
    pid_t pid = -1;
    std::optional<int> status;  // set once it has ended

    // False once it has ended (its status is kept then).
    bool running();
};

// "the program (pid N) ended before it took its connection settings (exit status S)"
QString endedText(const Child& child);

// Starts the program in this process's environment plus the connection variable, in a process
// group of its own so that stopping the lobby client does not stop the game with it. Why not,
// when it could not be started.
std::optional<QString> spawn(const QString& path, const QStringList& arguments,
                             const QString& directory, const QString& socketPath, Child& child);

}  // namespace lobby_client
