#include "app/command_line.h"

#include <xcb/xcb.h>

#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>

#include "common/command_line.h"

namespace orvel {

namespace {

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
        QStringLiteral("orvel"), QStringLiteral("[--help] [--version] [Qt options]"),
        QStringLiteral("Networked multiplayer for Kartova: run it beside the game on the same "
                       "display. Its connection wizard takes you to a session.")};
    QCommandLineParser parser;
    cli::prepare(parser, program);
    if (const auto end = cli::parse(parser, program, cli::withoutQtOptions(argc, argv))) {
        return end;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return cli::usageError(program, QStringLiteral("unexpected argument \"%1\"")
                                            .arg(parser.positionalArguments().constFirst()));
    }
    return checkDisplay(argc, argv);
}

}  // namespace orvel
