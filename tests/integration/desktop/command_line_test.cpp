// The command-line convention of every program, run as a player would run them, and the
// parsing of the values several programs share.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "common/command_line.h"

namespace {

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

// Without a display: the answers to a command line never need one.
Outcome run(const char* program, const QStringList& args, const char* display = nullptr) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (display != nullptr) {
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
    }
    p.setProcessEnvironment(env);
    p.start(QString::fromLatin1(program), args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
            QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
}

struct Program {
    const char* name;
    const char* path;
};

const Program kPrograms[] = {
    {"orvel", ORVEL_PROGRAM},           {"orvel-lobby", LOBBY_PROGRAM},
    {"orvel-bot", BOT_PROGRAM},         {"kartova-standin", STANDIN_PROGRAM},
    {"standinctl", STANDINCTL_PROGRAM}, {"orvel-screenshot", SCREENSHOT_PROGRAM},
    {"orvel-meet", MEET_PROGRAM},
};

const char* pathOf(const char* name) {
    for (const Program& p : kPrograms) {
        if (QLatin1String(p.name) == QLatin1String(name)) {
            return p.path;
        }
    }
    return "";
}

TEST(CommandLine, EveryProgramFollowsTheConvention) {
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        const QString name = QString::fromLatin1(p.name);

        const Outcome help = run(p.path, {QStringLiteral("--help")});
        EXPECT_EQ(help.code, 0) << help.err.toStdString();
        EXPECT_TRUE(help.out.startsWith(QStringLiteral("Usage:"))) << help.out.toStdString();
        EXPECT_TRUE(help.out.contains(name + QLatin1Char(' '))) << help.out.toStdString();
        EXPECT_TRUE(help.err.isEmpty()) << help.err.toStdString();

        const Outcome version = run(p.path, {QStringLiteral("--version")});
        EXPECT_EQ(version.code, 0);
        EXPECT_EQ(version.out, name + QLatin1Char(' ') + orvel::cli::version() + QLatin1Char('\n'));

        const Outcome bad = run(p.path, {QStringLiteral("--no-such-flag")});
        EXPECT_EQ(bad.code, 2);
        EXPECT_TRUE(bad.out.isEmpty()) << bad.out.toStdString();
        EXPECT_TRUE(bad.err.startsWith(name + QStringLiteral(": "))) << bad.err.toStdString();
        EXPECT_TRUE(bad.err.contains(QStringLiteral("usage: ") + name)) << bad.err.toStdString();
        EXPECT_EQ(bad.err.count(QLatin1Char('\n')), 1) << bad.err.toStdString();
    }
}

TEST(CommandLine, BadArgumentsAndValuesAreUsageErrors) {
    struct Case {
        const char* program;
        QStringList args;
        const char* words;  // in the one line on stderr
    };
    const std::vector<Case> cases = {
        {"orvel", {"session"}, "unexpected argument"},
        {"orvel", {"--"}, "the game's command is missing after --"},
        {"orvel", {"stray", "--", "wine", "game.exe"}, "unexpected argument \"stray\""},
        {"orvel", {"-platform", "offscreen", "--bogus=1"}, "unknown option \"--bogus=1\""},
        {"orvel-bot", {}, "either --host or --join"},
        {"orvel-bot", {"--host", "--join", "127.0.0.1"}, "either --host or --join"},
        {"orvel-bot", {"--join", "127.0.0.1:99999"}, "port"},
        {"orvel-bot", {"--join", "[::1]:2302"}, "IPv6"},
        {"orvel-bot", {"--host", "--port", "http"}, "--port"},
        {"orvel-bot", {"--host", "--max-players", "0"}, "--max-players"},
        {"orvel-bot", {"--host", "--duration", "-1"}, "--duration"},
        {"orvel-bot", {"--host", "stray"}, "unexpected argument"},
        {"orvel-bot", {"--host", "--password", QString(257, 'p')}, "--password"},
        {"orvel-lobby", {"join", "--name", "A", "--host", "h:0"}, "bad address"},
        {"kartova-standin", {"-qwindowgeometry", "10x10", "--frame-ms", "1"}, "--frame-ms"},
        {"kartova-standin", {"--colour", "nocolour"}, "not a colour"},
        {"kartova-standin", {"stray"}, "unexpected argument"},
        {"standinctl", {"/tmp/socket"}, "give the socket and a command"},
        {"standinctl", {"--wait", "-3", "/tmp/socket", "status"}, "--wait"},
        {"orvel-screenshot", {}, "one output file"},
        {"orvel-screenshot", {"--wait", "x", "a.png"}, "--wait"},
        {"orvel-screenshot", {"a.png", "b.png"}, "one output file"},
        {"orvel-meet", {"--port", "0"}, "--port"},
        {"orvel-meet", {"--relay-ports", "2310-2350"}, "--relay-ports"},
        {"orvel-meet", {"--relay-ports", "2300-2309"}, "relay ports"},
        {"orvel-meet", {"--address", "::1"}, "--address"},
        {"orvel-meet", {"stray"}, "unexpected argument"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.args.join(' ').toStdString());
        const Outcome r = run(pathOf(c.program), c.args);
        EXPECT_EQ(r.code, 2) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String(c.words))) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("usage: "))) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    }
}

TEST(CommandLine, TheBotsHelpGivesDefaultsExamplesAndTheChatFromStandardInput) {
    const Outcome help = run(BOT_PROGRAM, {QStringLiteral("--help")});
    for (const char* words : {"standard input", "(default bot-PID)", "(default 2302", "--say-now",
                              "once another player", "Examples:", "orvel-bot --host --name Ann"}) {
        EXPECT_TRUE(help.out.contains(QLatin1String(words))) << words;
    }
}

// Without any network (a namespace of its own with loopback only), asking the router for a port
// fails in the program's words; nothing of the router libraries' own reaches the terminal.
TEST(CommandLine, NoNetworkIsToldWithoutRawSocketErrors) {
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty()) {
        GTEST_SKIP() << "a network namespace of its own takes root and unshare";
    }
    QTemporaryDir config;
    QProcess bot;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    env.remove(QStringLiteral("ORVEL_DISCOVERY"));  // port mapping stays on
    bot.setProcessEnvironment(env);
    bot.start(QStringLiteral("unshare"),
              {QStringLiteral("--net"), QStringLiteral("sh"), QStringLiteral("-c"),
               QStringLiteral("ip link set lo up && exec \"$0\" --host --name Nora --parked"),
               QStringLiteral(BOT_PROGRAM)});
    QByteArray out;
    for (int i = 0; i < 300 && !out.contains("port mapping: failed"); ++i) {
        bot.waitForReadyRead(100);
        out += bot.readAllStandardOutput();
    }
    bot.terminate();
    ASSERT_TRUE(bot.waitForFinished(10000));
    const QByteArray err = bot.readAllStandardError();
    EXPECT_TRUE(out.contains("port mapping: failed")) << out.toStdString();
    EXPECT_TRUE(out.contains("no network to look for a UPnP router on")) << out.toStdString();
    EXPECT_FALSE(err.contains("sendto")) << err.toStdString();
    EXPECT_TRUE(err.isEmpty()) << err.toStdString();
}

TEST(CommandLine, OrvelWithoutADisplaySaysSoAndEndsWithOne) {
    struct Case {
        const char* display;
        const char* words;
    };
    for (const Case& c : {Case{nullptr, "DISPLAY is not set"},
                          Case{":93817", "cannot open the X display \":93817\""}}) {
        SCOPED_TRACE(c.words);
        const Outcome r = run(ORVEL_PROGRAM, {}, c.display);
        EXPECT_EQ(r.code, 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith(QStringLiteral("orvel: "))) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String(c.words))) << r.err.toStdString();
    }
}

// An orvel with raised privileges would hand them to anybody who can start it (Qt loads plugins
// that environment variables name): a copy given a file capability, or set-user-ID, and started
// by another user refuses to run before anything of Qt does.
TEST(CommandLine, OrvelWithRaisedPrivilegesRefusesToRun) {
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setcap")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()) {
        GTEST_SKIP() << "raising a copy's privileges takes root, setcap and setpriv";
    }
    struct Case {
        const char* name;
        QStringList raise;  // a command; the copy's path follows
    };
    const Case cases[] = {
        {"file capability", {"setcap", "cap_sys_ptrace=ep"}},
        {"set-user-ID", {"chmod", "4755"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
        const QString copy = dir.filePath(QStringLiteral("orvel"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(ORVEL_PROGRAM), copy));
        ASSERT_EQ(QProcess::execute(c.raise.first(), c.raise.mid(1) + QStringList{copy}), 0);
        const Outcome r =
            run("setpriv", {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                            QStringLiteral("--clear-groups"), copy});
        EXPECT_EQ(r.code, 1) << r.err.toStdString();
        EXPECT_TRUE(
            r.err.startsWith(QStringLiteral("orvel: refusing to run with raised privileges")))
            << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String("orvel -- COMMAND"))) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

TEST(CommandLine, HostAndPort) {
    struct Case {
        const char* text;
        bool emptyHostAllowed;
        const char* host;  // nullptr: refused
        int port;
    };
    const std::vector<Case> cases = {
        {"example.org", false, "example.org", 2302},
        {" 10.0.0.7:2310 ", false, "10.0.0.7", 2310},
        {"h:1", false, "h", 1},
        {"h:65535", false, "h", 65535},
        {"h:65536", false, nullptr, 0},
        {"h:0", false, nullptr, 0},
        {"h:", false, nullptr, 0},
        {"h:+80", false, nullptr, 0},
        {"h:8o", false, nullptr, 0},
        {":2302", false, nullptr, 0},
        {":2302", true, "", 2302},
        {"", true, "", 2302},
        {"", false, nullptr, 0},
        {"::1", false, nullptr, 0},
        {"[::1]:2302", false, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        QString why;
        const auto a =
            orvel::cli::parseHostPort(QString::fromLatin1(c.text), 2302, &why, c.emptyHostAllowed);
        ASSERT_EQ(a.has_value(), c.host != nullptr) << why.toStdString();
        if (a) {
            EXPECT_EQ(a->host, QString::fromLatin1(c.host));
            EXPECT_EQ(a->port, c.port);
        } else {
            EXPECT_FALSE(why.isEmpty());
        }
    }
}

TEST(CommandLine, HexBytes) {
    struct Case {
        const char* text;
        const char* bytes;  // as hex again; nullptr: refused
    };
    for (const Case& c :
         {Case{"", ""}, Case{"00ff", "00ff"}, Case{"DEADbeef", "deadbeef"}, Case{"abc", nullptr},
          Case{"0g", nullptr}, Case{"0x12", nullptr}, Case{"12 34", nullptr}}) {
        SCOPED_TRACE(c.text);
        const auto b = orvel::cli::parseHex(QString::fromLatin1(c.text));
        ASSERT_EQ(b.has_value(), c.bytes != nullptr);
        if (b) {
            EXPECT_EQ(b->toHex(), QByteArray(c.bytes));
        }
    }
}

}  // namespace
