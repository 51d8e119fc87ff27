// orvel-lobby: a lobby client. It launches the registered program (or reaches a running one that
// is available to lobby clients) and hands it the connection settings of a session to host or
// join, with the player's name, so that the program connects with no questions asked.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "common/command_line.h"
#include "launch.h"
#include "platform/dx8/directplay8.h"
#include "platform/dx8/lobby/lobby_protocol.h"
#include "net/paths/session_address_source.h"
#include "session/mod_dplay.h"
#include "ui_common/error_advice.h"

namespace {

using namespace dx8;
using lobby_client::Child;
using lobby_client::endedText;
using lobby_client::spawn;

enum Exit : int {
    kOk = 0,
    kFailed = 1,         // the program ended, refused or did not take the settings in time
    kUsage = 2,          // bad command line or bad address
    kNotRegistered = 3,  // no program registered
    kNotAvailable = 4,   // no running program available to lobby clients
    kNoSession = 5,      // the program could not join or host the session
};

constexpr int kDefaultTimeoutS = 30;
constexpr int kPollMs = 100;

const char* const kUsageText =
    "Usage:\n"
    "  orvel-lobby list\n"
    "  orvel-lobby host --name NAME --session SESSION [--port PORT] [--running] [--password TEXT]\n"
    "  orvel-lobby join --name NAME --host HOST[:PORT] [--running] [--password TEXT]\n"
    "  orvel-lobby --help | --version\n"
    "\n"
    "list      the programs registered for lobby launch by this user\n"
    "host      start the registered program and have it host SESSION as player NAME\n"
    "join      start the registered program and have it join the session at HOST as NAME\n"
    "--password the session's password: the one it is hosted with, or the one to join with\n"
    "--running hand the settings to a running program that waits for a lobby connection\n"
    "          instead of starting one\n"
    "\n"
    "Exit status: 0 once the program has joined or hosted the session (with an empty\n"
    "--name, once it has taken its settings: the player chooses); 1 when it ended, refused\n"
    "the settings, or did not take them or tell how the session went in time\n"
    "(ORVEL_LOBBY_TIMEOUT seconds each, default 30); 2 bad command line or address; 3 no\n"
    "program registered; 4 none available; 5 the program could not join or host the session\n"
    "(the reason follows).\n";

void line(FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

int fail(int code, const QString& reason) {
    line(stderr, QStringLiteral("orvel-lobby: ") + reason);
    return code;
}

int usage(const QString& reason, const char* form) {
    return fail(kUsage,
                QStringLiteral("%1 (usage: orvel-lobby %2)").arg(reason, QLatin1String(form)));
}

struct Request {
    bool host = false;
    bool running = false;
    QString name;
    QString session;
    QString password;  // the session's, hosting or joining; empty for none
    int port = 0;      // host: first port to try, 0 = the default
    QString hostText;  // join: HOST[:PORT] as given
    QString hostName;  // join: HOST
    int hostPort = 0;  // join: PORT or the default
};

// HOST[:PORT] of a join, checked: a name or IPv4 address that resolves, a port from 1 to 65535.
std::optional<QString> checkHostAddress(Request& r) {
    QString why;
    const auto address = orvel::cli::parseHostPort(r.hostText, kDefaultSessionPort, &why);
    if (!address) {
        return why;
    }
    const QString host = address->host;
    const int port = address->port;
    static const QRegularExpression hostChars(QStringLiteral("^[A-Za-z0-9._-]{1,253}$"));
    if (!hostChars.match(host).hasMatch()) {
        return QStringLiteral("not a host name or IPv4 address");
    }
    QHostAddress literal;
    if (!literal.setAddress(host)) {
        const QHostInfo info = QHostInfo::fromName(host);
        const auto addresses = info.addresses();
        if (std::none_of(addresses.begin(), addresses.end(), [](const QHostAddress& a) {
                return a.protocol() == QAbstractSocket::IPv4Protocol;
            })) {
            return QStringLiteral("the name does not resolve to an IPv4 address");
        }
    } else if (literal.protocol() != QAbstractSocket::IPv4Protocol) {
        return QStringLiteral("IPv6 addresses are not supported");
    }
    r.hostName = host;
    r.hostPort = port;
    return std::nullopt;
}

DPL_CONNECTION_SETTINGS settingsFor(const Request& r) {
    DPL_CONNECTION_SETTINGS s;
    s.lFlags = r.host ? DPLCONNECTSETTINGS_HOST : 0;
    s.ApplicationDescription.guidApplication = orvel::kApplicationGuid;
    s.PlayerName = r.name;
    s.ApplicationDescription.Password = r.password;
    DirectPlay8Address device;
    device.SetSP(DP8SP_TCPIP);
    if (r.host) {
        s.ApplicationDescription.SessionName = r.session;
        if (r.port != 0) {
            device.AddComponentLong(DPNA_KEY_PORT, r.port);
        }
    } else {
        DirectPlay8Address host;
        host.SetSP(DP8SP_TCPIP);
        host.AddComponentString(DPNA_KEY_HOSTNAME, r.hostName);
        host.AddComponentLong(DPNA_KEY_PORT, r.hostPort);
        s.AddressSenderUrl = host.GetURL();
    }
    s.AddressDeviceUrl = device.GetURL();
    return s;
}

int timeoutSeconds() {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue("ORVEL_LOBBY_TIMEOUT", &ok);
    return ok && value >= 1 && value <= 3600 ? value : kDefaultTimeoutS;
}

// ---- Talking to the program -------------------------------------------------------------------

enum class Outcome { Taken, Refused, Dropped, TimedOut, InSession, NoSession };

struct Answer {
    Outcome outcome = Outcome::TimedOut;
    QString reason;
    HRESULT result = DPN_OK;  // NoSession: why
};

// Sends the request and waits for the program's reply. stillThere() is asked while waiting;
// when it says no, the wait ends as Dropped.
Answer converse(QLocalSocket& socket, const DPL_CONNECTION_SETTINGS& settings,
                lobby::FrameReader& reader, const QDeadlineTimer& deadline,
                const std::function<bool()>& stillThere) {
    socket.write(lobby::frame(lobby::encodeRequest(settings)));
    while (!deadline.hasExpired()) {
        if (socket.bytesToWrite() > 0) {
            socket.waitForBytesWritten(kPollMs);
        }
        if (socket.bytesAvailable() > 0 || socket.waitForReadyRead(kPollMs)) {
            reader.append(socket.read(lobby::kMaxFrameBytes + 4));
            if (reader.bad()) {
                return {Outcome::Refused, QStringLiteral("the program sent an unreadable answer")};
            }
            if (const auto payload = reader.next()) {
                const auto reply = lobby::decodeReply(*payload);
                if (!reply) {
                    return {Outcome::Refused,
                            QStringLiteral("the program sent an unreadable answer")};
                }
                return reply->taken ? Answer{Outcome::Taken, {}}
                                    : Answer{Outcome::Refused, reply->reason};
            }
            continue;
        }
        if (socket.state() != QLocalSocket::ConnectedState || !stillThere()) {
            return {Outcome::Dropped, {}};
        }
    }
    return {Outcome::TimedOut, {}};
}

// After the settings were taken: waits for the program to say how its session went.
Answer awaitOutcome(QLocalSocket& socket, lobby::FrameReader& reader,
                    const QDeadlineTimer& deadline, const std::function<bool()>& stillThere) {
    for (;;) {
        while (const auto payload = reader.next()) {
            if (const auto status = lobby::decodeStatus(*payload)) {
                return status->status == DPLSESSION_CONNECTED
                           ? Answer{Outcome::InSession, {}, DPN_OK}
                           : Answer{Outcome::NoSession, {}, status->result};
            }
        }
        if (reader.bad()) {
            return {Outcome::Refused, QStringLiteral("the program sent an unreadable answer")};
        }
        if (deadline.hasExpired()) {
            return {Outcome::TimedOut, {}};
        }
        if (socket.bytesAvailable() > 0 || socket.waitForReadyRead(kPollMs)) {
            reader.append(socket.read(lobby::kMaxFrameBytes + 4));
        } else if (socket.state() != QLocalSocket::ConnectedState || !stillThere()) {
            return {Outcome::Dropped, {}};
        }
    }
}

QString describe(const Request& r) {
    return r.host ? QStringLiteral("hosting \"%1\" as %2").arg(r.session, r.name)
                  : QStringLiteral("joining %1:%2 as %3")
                        .arg(r.hostName)
                        .arg(r.hostPort)
                        .arg(r.name.isEmpty() ? QStringLiteral("(no name)") : r.name);
}

// The end of a request whose settings were taken: the program's word on its session. pid names
// the program; an empty player name leaves the session to the player, so nothing is awaited.
int settle(const Request& r, QLocalSocket& socket, lobby::FrameReader& reader, qint64 pid,
           const std::function<bool()>& stillThere) {
    if (r.name.isEmpty()) {
        return kOk;
    }
    const int seconds = timeoutSeconds();
    const Answer answer =
        awaitOutcome(socket, reader, QDeadlineTimer(std::chrono::seconds{seconds}), stillThere);
    const QString what = r.host ? QStringLiteral("host \"%1\"").arg(r.session)
                                : QStringLiteral("join %1:%2").arg(r.hostName).arg(r.hostPort);
    switch (answer.outcome) {
        case Outcome::InSession:
            line(stdout, QStringLiteral("orvel-lobby: the program (pid %1) %2: %3")
                             .arg(pid)
                             .arg(r.host ? QStringLiteral("hosts the session")
                                         : QStringLiteral("joined the session"),
                                  describe(r)));
            return kOk;
        case Outcome::NoSession:
            return fail(kNoSession,
                        QStringLiteral("the program (pid %1) could not %2: error %3. %4")
                            .arg(pid)
                            .arg(what, hresultHex(answer.result), orvel::adviceFor(answer.result)));
        case Outcome::Refused:
            return fail(kFailed, answer.reason);
        case Outcome::Dropped:
        case Outcome::Taken:
            return fail(kFailed, QStringLiteral("the program (pid %1) ended the lobby connection "
                                                "before telling whether it could %2")
                                     .arg(pid)
                                     .arg(what));
        case Outcome::TimedOut:
            break;
    }
    return fail(kFailed, QStringLiteral("the program (pid %1) did not tell within %2 s whether "
                                        "it could %3")
                             .arg(pid)
                             .arg(seconds)
                             .arg(what));
}

int toRunning(const Request& r) {
    QString error;
    const QString folder = lobby::runtimeFolder(&error);
    if (folder.isEmpty()) {
        return fail(kFailed, error);
    }
    const QUuid application = QUuid::fromString(orvel::kApplicationGuid);
    const QString none = QStringLiteral(
        "no running program is available to lobby clients (choose \"Wait for "
        "Lobby Connection...\" in its connection wizard)");
    const DPL_CONNECTION_SETTINGS settings = settingsFor(r);
    const QDeadlineTimer deadline{std::chrono::seconds{timeoutSeconds()}};
    for (const lobby::AvailableProgram& program : lobby::availablePrograms(folder, application)) {
        QLocalSocket socket;
        socket.connectToServer(program.path);
        if (!socket.waitForConnected(2000)) {
            continue;  // stopped listening meanwhile
        }
        if (!lobby::peerIsSameUser(socket.socketDescriptor())) {
            continue;
        }
        lobby::FrameReader reader;
        const Answer answer = converse(socket, settings, reader, deadline, [] { return true; });
        switch (answer.outcome) {
            case Outcome::Taken:
                line(stdout, QStringLiteral("orvel-lobby: the program (pid %1) took its "
                                            "connection settings: %2")
                                 .arg(program.pid)
                                 .arg(describe(r)));
                return settle(r, socket, reader, program.pid, [pid = program.pid] {
                    return ::kill(static_cast<pid_t>(pid), 0) == 0;
                });
            case Outcome::Refused:
                return fail(kFailed,
                            QStringLiteral("the program refused the connection: ") + answer.reason);
            case Outcome::Dropped:
                return fail(kFailed, QStringLiteral("the program (pid %1) ended the lobby "
                                                    "connection before taking its settings")
                                         .arg(program.pid));
            case Outcome::TimedOut:
            case Outcome::InSession:
            case Outcome::NoSession:
                return fail(kFailed, QStringLiteral("the program (pid %1) did not take its "
                                                    "connection settings within %2 s")
                                         .arg(program.pid)
                                         .arg(timeoutSeconds()));
        }
    }
    return fail(kNotAvailable, none);
}

// ---- Launching the program --------------------------------------------------------------------

int launch(const Request& r) {
    const std::optional<DPL_PROGRAM_DESC> program =
        lobby::readRegistration(orvel::kApplicationGuid);
    if (!program) {
        return fail(kNotRegistered, QStringLiteral("no program is registered for lobby launch "
                                                   "(start orvel once to register it)"));
    }
    const QString file = !program->LauncherFilename.isEmpty() ? program->LauncherFilename
                                                              : program->ExecutableFilename;
    const QString folder =
        !program->LauncherFilename.isEmpty() ? program->LauncherPath : program->ExecutablePath;
    const QFileInfo executable(folder + QLatin1Char('/') + file);
    if (file.isEmpty() || !executable.isAbsolute() || !executable.isFile() ||
        !executable.isExecutable()) {
        return fail(kNotRegistered,
                    QStringLiteral("the registered program %1 is missing or not executable "
                                   "(start orvel once to register it again)")
                        .arg(executable.filePath()));
    }

    QString error;
    const QString runtime = lobby::runtimeFolder(&error);
    if (runtime.isEmpty()) {
        return fail(kFailed, error);
    }
    const QString socketPath =
        QStringLiteral("%1/launch-%2-%3.sock")
            .arg(runtime)
            .arg(QCoreApplication::applicationPid())
            .arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
    QLocalServer server;
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(socketPath)) {
        return fail(
            kFailed,
            QStringLiteral("cannot listen on %1: %2").arg(socketPath, server.errorString()));
    }
    Child child;
    if (const auto why = spawn(executable.filePath(), QProcess::splitCommand(program->CommandLine),
                               program->CurrentDirectory, socketPath, child)) {
        return fail(kFailed, *why);
    }

    const int seconds = timeoutSeconds();
    const QString late =
        QStringLiteral("the program (pid %1) did not take its connection settings within %2 s")
            .arg(child.pid)
            .arg(seconds);
    const QDeadlineTimer deadline(std::chrono::seconds{seconds});
    QLocalSocket* socket = nullptr;
    while (socket == nullptr) {
        if (deadline.hasExpired()) {
            return fail(kFailed, late);
        }
        if (server.waitForNewConnection(kPollMs)) {
            QLocalSocket* next = server.nextPendingConnection();
            if (next != nullptr && lobby::peerIsSameUser(next->socketDescriptor())) {
                socket = next;
            } else if (next != nullptr) {
                next->abort();
            }
            continue;
        }
        if (!child.running()) {
            return fail(kFailed, endedText(child));
        }
    }
    server.close();  // one-shot: nobody else may take this connection

    lobby::FrameReader reader;
    const Answer answer =
        converse(*socket, settingsFor(r), reader, deadline, [&child] { return child.running(); });
    switch (answer.outcome) {
        case Outcome::Taken:
            line(stdout, QStringLiteral("orvel-lobby: %1 (pid %2) took its connection settings: "
                                        "%3")
                             .arg(executable.fileName())
                             .arg(child.pid)
                             .arg(describe(r)));
            return settle(r, *socket, reader, child.pid, [&child] { return child.running(); });
        case Outcome::Refused:
            return fail(kFailed,
                        QStringLiteral("the program refused the connection: ") + answer.reason);
        case Outcome::Dropped:
            return fail(kFailed, child.running()
                                     ? QStringLiteral("the program (pid %1) ended the lobby "
                                                      "connection before taking its settings")
                                           .arg(child.pid)
                                     : endedText(child));
        case Outcome::TimedOut:
        case Outcome::InSession:
        case Outcome::NoSession:
            return fail(kFailed, late);
    }
    return kFailed;
}

// ---- list -------------------------------------------------------------------------------------

int list() {
    const std::vector<DPL_PROGRAM_DESC> programs = lobby::readRegistrations();
    if (programs.empty()) {
        return fail(kNotRegistered, QStringLiteral("no program is registered for lobby launch "
                                                   "(start orvel once to register it)"));
    }
    QString error;
    const QString runtime = lobby::runtimeFolder(&error);
    for (const DPL_PROGRAM_DESC& p : programs) {
        const QString file =
            !p.LauncherFilename.isEmpty() ? p.LauncherFilename : p.ExecutableFilename;
        const QString folder = !p.LauncherFilename.isEmpty() ? p.LauncherPath : p.ExecutablePath;
        QString text = QStringLiteral("%1  %2  %3/%4  \"%5\"")
                           .arg(p.ApplicationName, p.guidApplication, folder, file, p.Description);
        if (!runtime.isEmpty()) {
            QStringList pids;
            for (const auto& a :
                 lobby::availablePrograms(runtime, QUuid::fromString(p.guidApplication))) {
                pids << QString::number(a.pid);
            }
            if (!pids.isEmpty()) {
                text += QStringLiteral("  available: pid ") + pids.join(QStringLiteral(", "));
            }
        }
        line(stdout, text);
    }
    return kOk;
}

// ---- Command line -----------------------------------------------------------------------------

int run(const QStringList& args) {
    if (args.isEmpty()) {
        return usage(QStringLiteral("no command given"), "list|host|join ...");
    }
    const QString command = args.first();
    if (command == QLatin1String("-h") || command == QLatin1String("--help") ||
        command == QLatin1String("help")) {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    if (command == QLatin1String("--version")) {
        line(stdout, QStringLiteral("orvel-lobby ") + orvel::cli::version());
        return kOk;
    }
    if (command == QLatin1String("list")) {
        if (args.size() > 1) {
            return usage(QStringLiteral("list takes no options"), "list");
        }
        return list();
    }
    if (command != QLatin1String("host") && command != QLatin1String("join")) {
        return usage(QStringLiteral("unknown command \"%1\"").arg(command), "list|host|join ...");
    }
    Request r;
    r.host = command == QLatin1String("host");
    const char* form = r.host ? "host --name NAME --session SESSION [--port PORT] [--running] "
                                "[--password TEXT]"
                              : "join --name NAME --host HOST[:PORT] [--running] [--password TEXT]";
    std::optional<QString> name, session, port, host, password;
    for (qsizetype i = 1; i < args.size(); ++i) {
        QString option = args[i];
        std::optional<QString> inlineValue;
        if (const qsizetype eq = option.indexOf(QLatin1Char('='));
            option.startsWith(u"--") && eq > 0) {
            inlineValue = option.mid(eq + 1);
            option.truncate(eq);
        }
        auto value = [&](std::optional<QString>& into) -> bool {
            if (into) {
                return false;
            }
            if (inlineValue) {
                into = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                return false;
            }
            into = args[++i];
            return true;
        };
        bool ok = false;
        if (option == QLatin1String("--running") && !inlineValue) {
            ok = !r.running;
            r.running = true;
        } else if (option == QLatin1String("--name")) {
            ok = value(name);
        } else if (r.host && option == QLatin1String("--session")) {
            ok = value(session);
        } else if (r.host && option == QLatin1String("--port")) {
            ok = value(port);
        } else if (!r.host && option == QLatin1String("--host")) {
            ok = value(host);
        } else if (option == QLatin1String("--password")) {
            ok = value(password);
        } else {
            return usage(QStringLiteral("unknown option \"%1\"").arg(args[i]), form);
        }
        if (!ok) {
            return usage(QStringLiteral("%1 is given twice or lacks its value").arg(option), form);
        }
    }
    if (!name) {
        return usage(QStringLiteral("--name is missing"), form);
    }
    if (name->size() > lobby::kMaxNameChars ||
        std::any_of(name->begin(), name->end(), [](QChar c) { return c.unicode() < 0x20; })) {
        return usage(QStringLiteral("the player name is too long or holds control characters"),
                     form);
    }
    r.name = *name;
    r.password = password.value_or(QString());
    if (r.password.size() > kMaxPasswordChars) {
        return usage(
            QStringLiteral("the password is longer than %1 characters").arg(kMaxPasswordChars),
            form);
    }
    if (r.host) {
        if (!session || session->isEmpty()) {
            return usage(QStringLiteral("--session needs a session name"), form);
        }
        if (session->size() > lobby::kMaxNameChars ||
            std::any_of(session->begin(), session->end(),
                        [](QChar c) { return c.unicode() < 0x20; })) {
            return usage(QStringLiteral("the session name is too long or holds control "
                                        "characters"),
                         form);
        }
        r.session = *session;
        if (port) {
            const auto parsed = orvel::cli::parsePort(*port);
            r.port = parsed.value_or(0);
            if (!parsed) {
                return usage(QStringLiteral("bad address: the port \"%1\" is not a number "
                                            "from 1 to 65535")
                                 .arg(*port),
                             form);
            }
        }
    } else {
        if (!host) {
            return usage(QStringLiteral("--host is missing"), form);
        }
        r.hostText = *host;
        if (const auto why = checkHostAddress(r)) {
            return usage(QStringLiteral("bad address \"%1\": %2").arg(*host, *why), form);
        }
    }
    return r.running ? toRunning(r) : launch(r);
}

}  // namespace

int main(int argc, char* argv[]) {
    // A program that closes its end while we write must not end us without a word.
    ::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    dx8::setSessionAddressSource(std::make_shared<dx8::EnvironmentAddressSource>());
    QCoreApplication::setApplicationName(QStringLiteral("orvel-lobby"));
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    return run(args);
}
