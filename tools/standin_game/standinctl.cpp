// standinctl: sends one command to a running kartova-standin and prints its reply.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

#include "common/command_line.h"
#include "standin_client.h"

namespace {

const char* const kAbout =
    "Sends COMMAND to the kartova-standin listening on SOCKET (its --control path) and prints\n"
    "the reply line. --wait: how long to wait for the socket to accept (default 5 s);\n"
    "--timeout: how long to wait for the reply (default 10 s). 'standinctl SOCKET help' lists\n"
    "the commands. Exit status: 0 reply \"ok\", 1 reply \"error\", 2 no answer or bad usage.\n";

bool seconds(const QString& text, int* ms) {
    bool good = false;
    const double s = text.toDouble(&good);
    if (!good || s < 0 || s > 3600) {
        return false;
    }
    *ms = static_cast<int>(s * 1000);
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const orvel::cli::Program program{
        QStringLiteral("standinctl"),
        QStringLiteral("[--wait SECONDS] [--timeout SECONDS] SOCKET COMMAND [ARGUMENTS...]"),
        QString::fromLatin1(kAbout)};
    QCommandLineParser parser;
    orvel::cli::prepare(parser, program);
    // Words after the socket belong to the command, also those that look like options ("-3").
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption waitOpt(QStringLiteral("wait"),
                                     QStringLiteral("How long to wait for the socket (5 s)."),
                                     QStringLiteral("seconds"), QStringLiteral("5"));
    const QCommandLineOption timeoutOpt(QStringLiteral("timeout"),
                                        QStringLiteral("How long to wait for the reply (10 s)."),
                                        QStringLiteral("seconds"), QStringLiteral("10"));
    parser.addOptions({waitOpt, timeoutOpt});
    parser.addPositionalArgument(QStringLiteral("socket"),
                                 QStringLiteral("The game's --control path."));
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("The command and its arguments."));
    if (const auto end = orvel::cli::parse(parser, program, app.arguments())) {
        return *end;
    }
    int waitMs = 0;
    int timeoutMs = 0;
    if (!seconds(parser.value(waitOpt), &waitMs) ||
        !seconds(parser.value(timeoutOpt), &timeoutMs)) {
        return orvel::cli::usageError(
            program, QStringLiteral("--wait and --timeout take 0 to 3600 seconds"));
    }
    QStringList args = parser.positionalArguments();
    if (args.size() < 2) {
        return orvel::cli::usageError(program, QStringLiteral("give the socket and a command"));
    }
    const QString path = args.takeFirst();
    standin::Client client;
    if (!client.connectTo(path, waitMs)) {
        std::fprintf(stderr, "standinctl: cannot reach %s: %s\n", path.toLocal8Bit().constData(),
                     client.lastError().toLocal8Bit().constData());
        return 2;
    }
    const QString reply = client.command(args.join(QLatin1Char(' ')), timeoutMs);
    if (reply.isEmpty()) {
        std::fprintf(stderr, "standinctl: %s\n", client.lastError().toLocal8Bit().constData());
        return 2;
    }
    std::printf("%s\n", reply.toUtf8().constData());
    return reply.startsWith(QLatin1String("ok")) ? 0 : 1;
}
