// standinctl: sends one command to a running kartova-standin and prints its reply.
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

#include "standin_client.h"

namespace {

const char* const kUsage =
    "Usage: standinctl [--wait SECONDS] [--timeout SECONDS] SOCKET COMMAND [ARGUMENTS...]\n"
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
    QStringList args = app.arguments().mid(1);
    int waitMs = 5000;
    int timeoutMs = 10000;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("-"))) {
        const QString opt = args.takeFirst();
        if (opt == QLatin1String("-h") || opt == QLatin1String("--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((opt == QLatin1String("--wait") || opt == QLatin1String("--timeout")) &&
            !args.isEmpty() &&
            seconds(args.takeFirst(), opt == QLatin1String("--wait") ? &waitMs : &timeoutMs)) {
            continue;
        }
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (args.size() < 2) {
        std::fputs(kUsage, stderr);
        return 2;
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
