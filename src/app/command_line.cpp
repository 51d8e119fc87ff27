#include "app/command_line.h"

#include <xcb/xcb.h>

#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>

#include "app/game_launch.h"
#include "common/command_line.h"

namespace orvel {

namespace {

const char* const kLaunchHelp =
    R"(Starting the game through Orvel:
  orvel -- COMMAND [ARGS...] starts the game itself and links to that game alone: a
  window of the game's title that belongs to COMMAND's process or one of its
  descendants (under Wine, the game), never another window of that title. As the
  game's parent Orvel may reach its memory where the system allows only that
  (Yama ptrace_scope 1), with no sudo and no further rights. The game's output
  passes through. When the game ends, Orvel leaves the session and ends with the
  game's exit status (128 + N after signal N); when Orvel's window closes first, it
  waits for the game. For example:
    orvel -- wine Kartova.exe
  As a launcher's launch options, before the game's own command:
    Steam (Properties, Launch Options):       orvel -- %command%
    Lutris (System options, Command prefix):  orvel --
    Heroic (game settings, Wrapper command):  orvel --
)";

// Qt ends the program with an abort when it cannot reach the X server; this says why instead.
// A platform chosen explicitly (QT_QPA_PLATFORM, -platform) is left to Qt.
std::optional<int> checkDisplay(int argc, char** argv) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0') {
        return std::nullopt;
    }
    for (int i = 1; i < argc; ++i) {
        if (QLatin1String(argv[i]) == QLatin1String("-platform")) {
            return std::nullopt;
        }
    }
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr && *display != '\0') {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const bool reached = xcb_connection_has_error(c) == 0;
        xcb_disconnect(c);
        if (reached) {
            return std::nullopt;
        }
        std::fprintf(stderr,
                     "orvel: cannot open the X display \"%s\"; start Orvel in your desktop "
                     "session on the same display as the game.\n",
                     display);
    } else {
        std::fputs(
            "orvel: there is no X display to show Orvel's windows on (DISPLAY is not "
            "set); start Orvel in your desktop session on the same display as the "
            "game.\n",
            stderr);
    }
    return 1;
}

}  // namespace

std::optional<int> checkCommandLine(int argc, char** argv) {
    const cli::Program program{
        QStringLiteral("orvel"),
        QStringLiteral("[--help] [--version] [Qt options] [-- COMMAND [ARGS...]]"),
        QStringLiteral("Networked multiplayer for Kartova: run it beside the game on the same "
                       "display. Its connection wizard takes you to a session."),
        QString::fromLatin1(kLaunchHelp)};
    // What follows "--" is the game's own command line, none of Orvel's or Qt's business.
    const int own = gameCommandStart(argc, argv);
    QCommandLineParser parser;
    cli::prepare(parser, program);
    if (const auto end = cli::parse(parser, program, cli::withoutQtOptions(own, argv))) {
        return end;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return cli::usageError(program, QStringLiteral("unexpected argument \"%1\"")
                                            .arg(parser.positionalArguments().constFirst()));
    }
    if (own == argc - 1) {
        return cli::usageError(program, QStringLiteral("the game's command is missing after --"));
    }
    return checkDisplay(own, argv);
}

}  // namespace orvel
