#include "bot_options.h"

namespace orvel::bot {

cli::Program program() {
    return {
        QStringLiteral("orvel-bot"),
        QStringLiteral("--host | --join HOST[:PORT] | --join CODE --meet HOST[:PORT] [options]"),
        QStringLiteral(
            "A headless Orvel player that hosts or joins a session, drives a car round a closed\n"
            "path and prints what it receives. Every line typed on standard input is sent to\n"
            "every player as a chat line.\n"
            "Exit status: 0 after a signal or --duration, 2 bad usage or a failed join, 3 the\n"
            "session ended, 4 the session's password was refused."),
        QStringLiteral(
            "Examples:\n"
            "  orvel-bot --host --name Ann --session-name \"Evening race\" --migrate\n"
            "  orvel-bot --join 192.168.1.20 --name Bob --say \"hello\" --duration 60\n"
            "  orvel-bot --join 127.0.0.1:2303 --parked --report 0 --no-port-mapping\n"
            "  orvel-bot --join K7QX-M2P9 --meet meet.example.org --name Di\n"
            "  echo \"good race\" | orvel-bot --join 127.0.0.1 --name Cy --duration 10\n")};
}

void addOptions(QCommandLineParser& parser) {
    // Each option: its name, its help, and for one that takes a value its value's name and default.
    struct OptionRow {
        const char* name;
        const char* help;
        const char* value = nullptr;
        const char* fallback = nullptr;
    };
    static const OptionRow kOptions[] = {
        {"host", "Host a session."},
        {"join",
         "Join the session at HOST[:PORT] (port 2302 when none is given), or the one of a CODE "
         "at the meeting point.",
         "address"},
        {"meet",
         "The meeting point (port 2300 when none is given): a host registers there and prints "
         "its code, a joiner may give a code to --join (default: MeetPoint in the settings; "
         "none when that is empty).",
         "host[:port]"},
        {"name", "Player name (default bot-PID).", "name"},
        {"session-name", "Name of the hosted session (default \"Bot race\").", "name", "Bot race"},
        {"password", "The hosted session's password, or the one to join with.", "text"},
        {"max-players", "Largest session size when hosting (default 6).", "n", "6"},
        {"migrate", "Let the host role move when hosting."},
        {"port", "First local port to try (default 2302, then the next free one up to 2400).",
         "port"},
        {"duration", "Leave after this many seconds (default 0: run until a signal).", "seconds",
         "0"},
        {"say",
         "A chat line to send, one a second, once another player is in the session (repeatable).",
         "text"},
        {"say-now", "Send the --say lines as soon as in the session, even while alone."},
        {"report", "Print car-state counts every N s (default 5; 0: only at the end).", "seconds",
         "5"},
        {"parked", "Send no car states."},
        {"track", "Drive the stand-in game's circuit."},
        {"no-port-mapping",
         "Do not ask the router to forward the port (asked by default, unless PortMapping=0 or "
         "ORVEL_DISCOVERY=loopback)."},
        {"stamp", "Stamp car states with the clock and print one-way latency per player."},
        {"come-back",
         "Keep a restart record while in a session, and when started again within a minute with "
         "the same name come back into that session as the same player."},
    };
    for (const OptionRow& row : kOptions) {
        QCommandLineOption option(QString::fromLatin1(row.name), QString::fromUtf8(row.help));
        option.setValueName(QString::fromLatin1(row.value ? row.value : ""));
        if (row.fallback) {
            option.setDefaultValue(QString::fromLatin1(row.fallback));
        }
        parser.addOption(option);
    }
}

}  // namespace orvel::bot
