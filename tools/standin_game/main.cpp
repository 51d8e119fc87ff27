// kartova-standin: takes Kartova's place where the game itself is not available. See --help.
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QColor>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QWidget>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/command_line.h"
#include "control_server.h"
#include "game.h"
#include "game_memory.h"
#include "game_window.h"

namespace {

constexpr const char* kDefaultTitle = "Brenmoor - Kartova";

const char* const kAbout =
    R"(A small racing game that stands in for Kartova: a window titled "Brenmoor - Kartova" whose memory
holds the game's data and two patchable routines at the game's fixed addresses.

Qt's own options work too, e.g. -qwindowgeometry 720x540+0+0 or -platform xcb.

Keys (while the window has the focus): arrows drive car 0, Enter starts a race from the menu,
F9 pauses and resumes, F10 ends the race, F2 switches the autopilot.

Control commands (one per line; each answered by one line "ok [...]" or "error <reason>";
addresses and numbers are decimal or 0x-hex, byte strings are hex):
  status                       JSON: pid, edition, title, mode (menu/race/paused), frame,
                               autopilot, hold, visible, focused, play value, status_word, first
                               byte of patch sites A and B (site_a/site_b), how often routines
                               A and B ran and how many car moves they made (a_runs, a_moves,
                               b_runs, b_moves)
  race start|end|pause|resume  menu: play value 0.0, status 1; race: play value = race clock
                               (> 0), status 0; paused: status 2
  autopilot on|off
  hold on|off                  keep car 0 and the race clock exactly as they are (the race, the
                               status word and the routines go on), e.g. to compare copies
  place X Y [HEADING]          put car 0 there, standing (world units, radians)
  car SLOT                     JSON of car record SLOT (0-5) as the game reads it
  setbytes SLOT OFFSET HEX     write raw bytes into car record SLOT
  poke ADDRESS HEX             write raw bytes anywhere in the data range
  peek ADDRESS LENGTH          hex of up to 65536 bytes of the data or code range
  message                      JSON of the message area as drawn: shown, value, last, input
                               (decoded from code page 1252), last_hex, input_hex
  changes                      JSON list of [address, length] that differ from how the game
                               set them up, apart from car 0's travelling bytes and the status
                               word, which the game keeps writing itself
  focus                        raise the window and give it the keyboard focus
  title TEXT                   change the window's title
  quit [STATUS]                end the program with STATUS (0 to 125; 0)
The program standinctl sends one command: standinctl [--wait SECONDS] PATH COMMAND...

Memory: data 0x536000-0x5ff000 and code 0x424000-0x427000, mapped at these fixed addresses.
Every data byte the game does not use holds the canary 0xA5 ^ (a & 0xFF) ^ ((a >> 8) & 0xFF)
(a = its address) until somebody else writes it; code bytes outside the two routines hold 0xCC.
Patch sites: standard 0x426920 and 0x426df0, MX 0x424f10 and 0x4253e0; each holds a stub
(first byte 0x48) that runs its routine every frame until its first byte becomes 0xC3.
With --pe-header a read-only page at 0x400000 holds the executable's headers as the game has them
under Wine: "MZ", the offset 0x80 at +0x3C, there "PE\0\0", the COFF header with its time stamp
(standard 0x3b7d1e40, MX 0x3c9a6b10, or --pe-stamp's) and a 32-bit optional header with the image
size (standard 0x1ff000, MX 0x1fa000, plus 0x1000 times the stamp's value modulo 16).
At start the program allows any process of the same user to read and write its memory
(PR_SET_PTRACER_ANY); Kartova itself does not do that.

Exit status: 0 normal end, 2 bad command line, 3 the memory could not be set up,
4 the control socket could not be opened.
)";

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &c, 1);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Parsed before the application object exists: the game's memory goes in first.
    const orvel::cli::Program program{QStringLiteral("kartova-standin"),
                                      QStringLiteral("[options] [Qt options]"),
                                      QString::fromLatin1(kAbout)};
    QCommandLineParser parser;
    orvel::cli::prepare(parser, program);
    const QCommandLineOption mxOpt(QStringLiteral("mx"),
                                   QStringLiteral("Lay the memory out as the MX edition."));
    const QCommandLineOption raceOpt(QStringLiteral("race"),
                                     QStringLiteral("Start in a race instead of on the menu."));
    const QCommandLineOption autopilotOpt(QStringLiteral("autopilot"),
                                          QStringLiteral("Let the autopilot drive car 0."));
    const QCommandLineOption controlOpt(QStringLiteral("control"),
                                        QStringLiteral("Listen for steering commands at PATH."),
                                        QStringLiteral("path"));
    const QCommandLineOption titleOpt(QStringLiteral("title"),
                                      QStringLiteral("Window title (\"Brenmoor - Kartova\")."),
                                      QStringLiteral("text"));
    const QCommandLineOption colourOpt({QStringLiteral("colour"), QStringLiteral("color")},
                                       QStringLiteral("Colour of the local car (#d02828)."),
                                       QStringLiteral("#rrggbb"));
    const QCommandLineOption frameOpt(QStringLiteral("frame-ms"),
                                      QStringLiteral("Milliseconds per frame, 5..200 (20)."),
                                      QStringLiteral("n"));
    const QCommandLineOption lookAlikeOpt(
        QStringLiteral("look-alike"),
        QStringLiteral("Only a window of the title, without the game's memory."));
    const QCommandLineOption peHeaderOpt(
        QStringLiteral("pe-header"),
        QStringLiteral("Put the executable's headers at the image base, as the game under Wine "
                       "has them."));
    const QCommandLineOption peStampOpt(
        QStringLiteral("pe-stamp"),
        QStringLiteral("The headers' time stamp (implies --pe-header; default: the edition's)."),
        QStringLiteral("n"));
    parser.addOptions({mxOpt, raceOpt, autopilotOpt, controlOpt, titleOpt, colourOpt, frameOpt,
                       lookAlikeOpt, peHeaderOpt, peStampOpt});
    if (const auto end =
            orvel::cli::parse(parser, program, orvel::cli::withoutQtOptions(argc, argv))) {
        return *end;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return orvel::cli::usageError(program, QStringLiteral("unexpected argument \"%1\"")
                                                   .arg(parser.positionalArguments().constFirst()));
    }
    const bool mx = parser.isSet(mxOpt);
    const bool race = parser.isSet(raceOpt);
    const bool autopilot = parser.isSet(autopilotOpt);
    const bool lookAlike = parser.isSet(lookAlikeOpt);
    const QString control = parser.value(controlOpt);
    if (parser.isSet(controlOpt) && control.isEmpty()) {
        return orvel::cli::usageError(program, QStringLiteral("--control needs a path"));
    }
    const QString title =
        parser.isSet(titleOpt) ? parser.value(titleOpt) : QString::fromLatin1(kDefaultTitle);
    QColor colour(0xd0, 0x28, 0x28);
    if (parser.isSet(colourOpt) && !(colour = QColor(parser.value(colourOpt))).isValid()) {
        return orvel::cli::usageError(program,
                                      QStringLiteral("not a colour: ") + parser.value(colourOpt));
    }
    int frameMs = 20;
    if (parser.isSet(frameOpt)) {
        bool good = false;
        frameMs = parser.value(frameOpt).toInt(&good);
        if (!good || frameMs < 5 || frameMs > 200) {
            return orvel::cli::usageError(
                program, QStringLiteral("--frame-ms takes a number from 5 to 200"));
        }
    }

    const bool peHeader = parser.isSet(peHeaderOpt) || parser.isSet(peStampOpt);
    uint32_t peStamp = mx ? standin::kMxStamp : standin::kStandardStamp;
    if (parser.isSet(peStampOpt)) {
        bool good = false;
        peStamp = parser.value(peStampOpt).toUInt(&good, 0);
        if (!good) {
            return orvel::cli::usageError(program,
                                          QStringLiteral("--pe-stamp takes a 32-bit number"));
        }
    }

    if (lookAlike) {
        QApplication app(argc, argv);
        QWidget window;
        window.setWindowTitle(title);
        window.resize(320, 240);
        window.show();
        return QApplication::exec();
    }

    // Lets a non-root reader attach under Yama ptrace_scope 1 (fails harmlessly without Yama).
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);

    // The fixed ranges go in before anything else can land there.
    const standin::Edition& edition = mx ? standin::kMx : standin::kStandard;
    QString mapError = standin::mapGameMemory(edition, &standin::routineOpponentAi,
                                              &standin::routineOpponentReset);
    if (mapError.isEmpty() && peHeader) {
        mapError = standin::mapImageHeaders(edition, peStamp);
    }
    if (!mapError.isEmpty()) {
        std::fprintf(stderr, "kartova-standin: cannot set up the game's memory: %s\n",
                     mapError.toLocal8Bit().constData());
        return 3;
    }
    standin::Game game(edition, colour);
    game.initialise();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kartova-standin"));

    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
            char c;
            [[maybe_unused]] const ssize_t n = read(g_signalPipe[0], &c, 1);
            QCoreApplication::quit();
        });
    }

    standin::GameWindow window(game, title, frameMs);
    standin::ControlServer server(game, window);
    if (race) {
        game.startRace();
    }
    game.setAutopilot(autopilot);
    window.show();

    if (!control.isEmpty()) {
        const QString err = server.listen(control);
        if (!err.isEmpty()) {
            std::fprintf(stderr, "kartova-standin: cannot listen on %s: %s\n",
                         control.toLocal8Bit().constData(), err.toLocal8Bit().constData());
            return 4;
        }
    }
    return QApplication::exec();
}
