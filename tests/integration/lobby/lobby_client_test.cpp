// orvel-lobby against real programs: its exit codes and one-line reasons, a launch, and a
// running orvel made available on its lobby page (each orvel on a private X display).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>

#include "child_process.h"
#include "orvel_player.h"
#include "platform/dx8/lobby/lobby_protocol.h"

using namespace wizard_it;

namespace {

const QString kApp = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
const QString kLobbyPage =
    QStringLiteral("^Kartova Multiplayer - v1\\.1 - Wait for lobby connection$");

struct Result {
    int code = -1;
    QString out;
    QString err;
};

// Programs the lobby started; stopped at the end of the test whatever happened.
class Launched {
public:
    ~Launched() {
        for (const qint64 pid : pids_) {
            orvel::testing::endProcess(pid, 5000);
        }
    }
    // Keeps the pid a reason or a success line names.
    qint64 note(const QString& text) {
        const auto m = QRegularExpression(QStringLiteral("\\(pid (\\d+)\\)")).match(text);
        if (!m.hasMatch()) {
            return 0;
        }
        pids_.push_back(m.captured(1).toLongLong());
        return pids_.back();
    }

private:
    std::vector<qint64> pids_;
};

class LobbyClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        config_ = dir_.filePath(QStringLiteral("config"));
        QDir().mkpath(config_);
    }

    // Runs orvel-lobby; its output goes to files, which a program it starts inherits.
    Result lobby(const QStringList& args, const QMap<QString, QString>& env = {},
                 int timeoutMs = 90000) {
        const QString tag = QString::number(++runs_);
        const QString outFile = dir_.filePath(QStringLiteral("out") + tag);
        const QString errFile = dir_.filePath(QStringLiteral("err") + tag);
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("XDG_CONFIG_HOME"), config_);
        e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        e.insert(QStringLiteral("QT_LOGGING_RULES"),
                 QStringLiteral("orvel.startup.debug=true;orvel.wizard.debug=true;"
                                "orvel.lobby.debug=true;orvel.session.debug=true"));
        e.insert(QStringLiteral("ORVEL_DISCOVERY"), QStringLiteral("loopback"));
        for (auto it = env.begin(); it != env.end(); ++it) {
            e.insert(it.key(), it.value());
        }
        Result r;
        const std::optional<int> code = orvel::testing::runToEndInto(
            QStringLiteral(LOBBY_PROGRAM), args, e, outFile, errFile, timeoutMs);
        r.code = code.value_or(-2);
        r.out = readAll(outFile);
        r.err = readAll(errFile);
        lastErrFile_ = errFile;
        return r;
    }
    static QString readAll(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
    }

    // Registers a program of our own under the application, as orvel would register itself.
    void registerProgram(const QString& path) {
        qputenv("XDG_CONFIG_HOME", config_.toLocal8Bit());
        dx8::DPL_PROGRAM_DESC p;
        p.guidApplication = kApp;
        p.ApplicationName = QFileInfo(path).completeBaseName();
        p.ExecutableFilename = QFileInfo(path).fileName();
        p.ExecutablePath = QFileInfo(path).absolutePath();
        p.LauncherFilename = p.ExecutableFilename;
        p.LauncherPath = p.ExecutablePath;
        QString error;
        ASSERT_TRUE(dx8::lobby::writeRegistration(p, &error)) << error.toStdString();
    }
    QString script(const QString& name, const QByteArray& body) {
        const QString path = dir_.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("#!/bin/sh\n" + body + "\n");
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    static void expectOneLineReason(const Result& r, int code, const char* words) {
        EXPECT_EQ(r.code, code) << r.err.toStdString();
        EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith(QStringLiteral("orvel-lobby: "))) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String(words))) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    }

    QTemporaryDir dir_;
    QString config_;
    QString lastErrFile_;
    int runs_ = 0;
};

TEST_F(LobbyClient, ExitCodesAndReasonsWithoutAProgram) {
    expectOneLineReason(lobby({"list"}), 3, "no program is registered");
    expectOneLineReason(lobby({"host", "--name", "Ann", "--session", "Race"}), 3,
                        "no program is registered");
    expectOneLineReason(lobby({"join", "--name", "Ann", "--host", "127.0.0.1", "--running"}), 4,
                        "no running program is available to lobby clients");
    for (const char* bad : {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:port", ":2302",
                            "127.0.0.1:", "::1", "[::1]:2302", "host name", "a;b"}) {
        SCOPED_TRACE(bad);
        expectOneLineReason(lobby({"join", "--name", "Ann", "--host", bad}), 2, "bad address");
    }
    expectOneLineReason(lobby({"host", "--name", "Ann", "--session", "S", "--port", "99999"}), 2,
                        "bad address");
    // The command line itself.
    expectOneLineReason(lobby({}), 2, "usage: orvel-lobby");
    expectOneLineReason(lobby({"launch"}), 2, "unknown command");
    expectOneLineReason(lobby({"host", "--session", "S"}), 2, "--name is missing");
    expectOneLineReason(lobby({"host", "--name", "A"}), 2, "--session");
    expectOneLineReason(lobby({"join", "--name", "A", "--session", "S", "--host", "h"}), 2,
                        "unknown option");
    expectOneLineReason(lobby({"join", "--name", "A", "--name", "B", "--host", "h"}), 2, "twice");
    expectOneLineReason(lobby({"join", "--host"}), 2, "lacks its value");
    expectOneLineReason(lobby({"list", "--running"}), 2, "list takes no options");
    const Result help = lobby({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.contains("orvel-lobby join --name NAME --host HOST[:PORT] [--running]"));
}

TEST_F(LobbyClient, AProgramThatIsMissingEndsOrNeverTakesItsSettings) {
    registerProgram(dir_.filePath(QStringLiteral("gone")));
    expectOneLineReason(lobby({"host", "--name", "Ann", "--session", "Race"}), 3,
                        "is missing or not executable");

    registerProgram(script(QStringLiteral("quits"), "exit 7"));
    const Result ended = lobby({"host", "--name", "Ann", "--session", "Race"});
    expectOneLineReason(ended, 1, "ended before it took its connection settings (exit status 7)");

    Launched launched;
    registerProgram(script(QStringLiteral("dawdles"), "exec sleep 30"));
    const Result late = lobby({"join", "--name", "Ann", "--host", "127.0.0.1:2302"},
                              {{"ORVEL_LOBBY_TIMEOUT", "2"}});
    launched.note(late.err);
    expectOneLineReason(late, 1, "did not take its connection settings within 2 s");

    // The lobby's environment reaches the program, with the connection named in it.
    registerProgram(script(QStringLiteral("tells"),
                           "echo \"$ORVEL_LOBBY_CONNECTION|$LOBBY_TEST_MARK\" >&2; exit 0"));
    const Result told =
        lobby({"host", "--name", "Ann", "--session", "Race"}, {{"LOBBY_TEST_MARK", "seen"}});
    EXPECT_EQ(told.code, 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("/launch-\\d+-[0-9a-f]+\\.sock\\|seen\\n"))
                    .match(told.err)
                    .hasMatch())
        << told.err.toStdString();
}

class LobbyClientWithOrvel : public LobbyClient {
protected:
    void SetUp() override {
        if (!orvel::testing::haveXvfb()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
        LobbyClient::SetUp();
    }
};

// Page 0 of a started orvel, then the lobby entry: the program waits on page 3.
void toLobbyPage(Player& p) {
    const QString wizard = p.waitWindow(kChoose);
    ASSERT_FALSE(wizard.isEmpty()) << p.log().toStdString();
    p.focus(wizard);
    p.key(QStringLiteral("alt+v"));
    p.key(QStringLiteral("End"));
    p.key(QStringLiteral("Return"));
    ASSERT_FALSE(p.waitWindow(kLobbyPage).isEmpty()) << p.log().toStdString();
}

TEST_F(LobbyClientWithOrvel, ARunningProgramOnItsLobbyPageHostsAndThenTurnsOthersAway) {
    Player bob(QStringLiteral("bob"));
    ASSERT_TRUE(bob.ready());
    bob.setEnv(QStringLiteral("XDG_CONFIG_HOME"), config_);
    ASSERT_TRUE(bob.start());
    toLobbyPage(bob);
    // Listed as available while it waits.
    Result listed;
    orvel::testing::waitUntil([&] {
        listed = lobby({"list"});
        return listed.out.contains("available: pid");
    });
    EXPECT_TRUE(listed.out.contains(QStringLiteral("available: pid %1").arg(bob.pid())))
        << listed.out.toStdString() << listed.err.toStdString();

    const Result r = lobby({"host", "--name", "Bob", "--session", "Running race", "--running"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(
        r.out.contains(QStringLiteral("(pid %1) took its connection settings").arg(bob.pid())))
        << r.out.toStdString();
    EXPECT_FALSE(bob.waitWindow(kMainHost).isEmpty()) << bob.log().toStdString();
    EXPECT_TRUE(bob.windows(QStringLiteral("^Kartova Multiplayer")).isEmpty());

    // Finished: nobody can reach it through the lobby any more, and it keeps running.
    const Result again = lobby({"join", "--name", "Cy", "--host", "127.0.0.1", "--running"});
    expectOneLineReason(again, 4, "no running program is available");
    EXPECT_TRUE(bob.running());
    EXPECT_FALSE(bob.windows(kMainHost).isEmpty());
    ASSERT_TRUE(bob.closeWindow(bob.windows(kMainHost).value(0)));
    EXPECT_EQ(bob.waitExit(), std::optional<int>(0)) << bob.log().toStdString();
}

TEST_F(LobbyClientWithOrvel, CancellingTheLobbyPageMakesTheProgramUnavailable) {
    Player cy(QStringLiteral("cy"));
    ASSERT_TRUE(cy.ready());
    ASSERT_TRUE(cy.start());
    toLobbyPage(cy);
    cy.key(QStringLiteral("Escape"));
    ASSERT_FALSE(cy.waitWindow(kChoose).isEmpty()) << cy.log().toStdString();
    const Result r = lobby({"host", "--name", "Cy", "--session", "S", "--running"});
    expectOneLineReason(r, 4, "no running program is available");
    EXPECT_FALSE(cy.windows(kChoose).isEmpty());  // still on page 0, untouched
    cy.key(QStringLiteral("Escape"));
    EXPECT_EQ(cy.waitExit(), std::optional<int>(0));
}

// A join where nobody hosts ends only once the program has given up, with its own status and
// the reason, naming the address.
TEST_F(LobbyClientWithOrvel, AJoinWhereNobodyHostsEndsWithTheReason) {
    Player bob(QStringLiteral("bob"));
    ASSERT_TRUE(bob.ready());
    registerProgram(QStringLiteral(ORVEL_PROGRAM));
    int closed = 0;
    {
        QUdpSocket probe;  // a port of this machine's that nobody listens on once it is closed
        ASSERT_TRUE(probe.bind(QHostAddress::LocalHost, 0));
        closed = probe.localPort();
    }
    Launched launched;
    const QString at = QStringLiteral("127.0.0.1:%1").arg(closed);
    const Result r =
        lobby({"join", "--name", "Bob", "--host", at}, {{"DISPLAY", bob.displayName()}});
    launched.note(r.out);
    EXPECT_EQ(r.code, 5) << r.out.toStdString() << r.err.toStdString();
    // The program's own diagnostics share the file, and may go on after the lobby has ended:
    // the reason is the lobby's last line.
    const QStringList lobbyLines =
        r.err.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^orvel-lobby: ")));
    const QString reason = lobbyLines.isEmpty() ? QString() : lobbyLines.last();
    EXPECT_TRUE(reason.startsWith(QStringLiteral("orvel-lobby: the program (pid ")))
        << r.err.toStdString();
    EXPECT_TRUE(reason.contains(QStringLiteral("could not join %1: error 0x8015").arg(at)))
        << reason.toStdString();
    EXPECT_TRUE(reason.contains(QStringLiteral("The host did not answer.")))
        << reason.toStdString();
}

TEST_F(LobbyClientWithOrvel, ALaunchedProgramHostsAndAnotherJoinsWithNoClick) {
    // One start of orvel registers it; cancelling its wizard ends it again.
    Player ann(QStringLiteral("ann"));
    Player bob(QStringLiteral("bob"));
    ASSERT_TRUE(ann.ready() && bob.ready());
    ann.setEnv(QStringLiteral("XDG_CONFIG_HOME"), config_);
    ASSERT_TRUE(ann.start());
    ASSERT_FALSE(ann.waitWindow(kChoose).isEmpty()) << ann.log().toStdString();
    ann.focus(ann.waitWindow(kChoose));
    ann.key(QStringLiteral("Escape"));
    ASSERT_EQ(ann.waitExit(), std::optional<int>(0));
    const Result listed = lobby({"list"});
    EXPECT_EQ(listed.code, 0);
    EXPECT_TRUE(listed.out.contains(QStringLiteral(ORVEL_PROGRAM) + QStringLiteral("  \"Orvel\"")))
        << listed.out.toStdString();

    Launched launched;
    // The session has a password, which the lobby gives to both sides.
    const Result host =
        lobby({"host", "--name", "Ann", "--session", "Launched race", "--password", "pw 1"},
              {{"DISPLAY", ann.displayName()}});
    launched.note(host.out);
    ASSERT_EQ(host.code, 0) << host.err.toStdString();
    const QString hostLog = lastErrFile_;
    EXPECT_FALSE(ann.waitWindow(kMainHost).isEmpty()) << readAll(hostLog).toStdString();
    EXPECT_TRUE(ann.windows(QStringLiteral("^Kartova Multiplayer")).isEmpty());
    const auto port = QRegularExpression(QStringLiteral("hosting .* on port (\\d+)"));
    QString text;
    orvel::testing::waitUntil([&] { return port.match(text = readAll(hostLog)).hasMatch(); });
    const int hostPort = port.match(text).captured(1).toInt();
    ASSERT_GT(hostPort, 0) << text.toStdString();

    const Result join = lobby({"join", "--name", "Bob", "--host",
                               QStringLiteral("127.0.0.1:%1").arg(hostPort), "--password", "pw 1"},
                              {{"DISPLAY", bob.displayName()}});
    launched.note(join.out);
    ASSERT_EQ(join.code, 0) << join.err.toStdString();
    // It ends only once the program is in the session.
    EXPECT_TRUE(join.out.contains(
        QStringLiteral("joined the session: joining 127.0.0.1:%1 as Bob").arg(hostPort)))
        << join.out.toStdString();
    EXPECT_FALSE(bob.waitWindow(kMain).isEmpty()) << readAll(lastErrFile_).toStdString();
    EXPECT_TRUE(bob.windows(kMainHost).isEmpty());
    EXPECT_TRUE(bob.windows(QStringLiteral("^Kartova Multiplayer")).isEmpty());
}

}  // namespace
