// `orvel -- COMMAND`: Orvel starts the game, links to that game alone even below another game's
// window of the title, and ends with the game, with its exit status, after leaving the session.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>

#include "race_players.h"

namespace {

using orvel::testing::StandinProcess;
using race_e2e::Bot;
using race_e2e::Racer;

constexpr int kRoutineFirstByte = 0x48;

// The game Orvel started, seen through its control socket.
class StartedGame {
public:
    explicit StartedGame(const QString& socket) { ok_ = client_.connectTo(socket, 30000); }
    bool ok() const { return ok_; }
    QString command(const QString& line) { return client_.command(line, 20000); }
    QJsonObject status() {
        const QString reply = command(QStringLiteral("status"));
        return QJsonDocument::fromJson(reply.mid(3).toUtf8()).object();
    }
    qint64 pid() { return status().value(QStringLiteral("pid")).toInteger(-1); }
    bool patched() {
        const QJsonObject s = status();
        return s.value(QStringLiteral("site_a")).toString() == QLatin1String("c3") &&
               s.value(QStringLiteral("site_b")).toString() == QLatin1String("c3");
    }

private:
    standin::Client client_;
    bool ok_ = false;
};

// The parent of a process, from /proc.
qint64 parentOf(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
}

struct Ending {
    const char* name;
    bool throughShell;  // the game a child of a shell that Orvel started, as Wine's would be
    std::function<void(StartedGame&)> end;
    int status;
};

const Ending kEndings[] = {
    {"quits_with_3_under_a_shell", true,
     [](StartedGame& g) { g.command(QStringLiteral("quit 3")); }, 3},
    {"killed", false, [](StartedGame& g) { ::kill(static_cast<pid_t>(g.pid()), SIGKILL); },
     128 + SIGKILL},
};

class GameLaunchE2E : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (!orvel::testing::haveXvfb()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
    }
};

TEST_P(GameLaunchE2E, LinksOnlyToItsGameAndEndsWithIt) {
    const Ending& e = kEndings[GetParam()];
    Bot ann(QStringLiteral("Ann"));
    int port = 0;
    ASSERT_TRUE(
        ann.host(race_e2e::sessionName("Launch"), false, &port, {QStringLiteral("--parked")}));
    Racer bob(QStringLiteral("Bob"));
    ASSERT_TRUE(bob.ready());
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("game"));
    // Titled otherwise at first, so that the other game below is there before Orvel's has
    // the title.
    QStringList command{QStringLiteral(STANDIN_PROGRAM), QStringLiteral("--title"),
                        QStringLiteral("Not yet"),       QStringLiteral("--race"),
                        QStringLiteral("--control"),     socket};
    if (e.throughShell) {
        command = QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                              QStringLiteral("echo the game speaks >&2; \"$0\" \"$@\"")} +
                  command;
    }
    wizard_it::Player& orvel = bob.orvel();
    orvel.setArguments(QStringList{QStringLiteral("--")} + command);
    orvel.setEnv(QStringLiteral("QT_LOGGING_RULES"),
                 QStringLiteral("orvel.startup.debug=true;orvel.wizard.debug=true;"
                                "orvel.game.debug=true"));
    ASSERT_TRUE(bob.join(port)) << orvel.log().toStdString();
    StartedGame game(socket);
    ASSERT_TRUE(game.ok());
    // Orvel's child, not a process of its own (which would end Orvel's right to its memory).
    const qint64 gamePid = game.pid();
    EXPECT_EQ(parentOf(e.throughShell ? parentOf(gamePid) : gamePid), orvel.pid());
    if (e.throughShell) {
        EXPECT_TRUE(
            orvel.waitLog(QRegularExpression(QStringLiteral("the game speaks"))).hasMatch());
    }

    // Another game of the title, started by somebody else and standing above Orvel's.
    StandinProcess other(orvel.displayName(), {QStringLiteral("--race")});
    ASSERT_TRUE(other.ok());
    const QRegularExpression refused(
        QStringLiteral("process %1 is not of the game Orvel started").arg(other.pid()));
    ASSERT_TRUE(orvel.waitLog(refused).hasMatch());
    ASSERT_EQ(game.command(QStringLiteral("title Brenmoor - Kartova")), QStringLiteral("ok"));
    ASSERT_TRUE(race_e2e::waitUntil([&] { return game.patched(); })) << orvel.log().toStdString();
    EXPECT_EQ(other.siteA(), kRoutineFirstByte);
    EXPECT_EQ(other.siteB(), kRoutineFirstByte);

    e.end(game);
    EXPECT_EQ(orvel.waitExit(), std::optional<int>(e.status));
    EXPECT_TRUE(ann.waitLine(QStringLiteral("-- Bob has left the game.")));
    EXPECT_EQ(other.siteA(), kRoutineFirstByte);
}

INSTANTIATE_TEST_SUITE_P(Endings, GameLaunchE2E,
                         ::testing::Range(0, static_cast<int>(std::size(kEndings))),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kEndings[info.param].name);
                         });

TEST_F(GameLaunchE2E, AGameThatCannotStartEndsOrvelAsAShellWould) {
    wizard_it::Player orvel(QStringLiteral("nobody"));
    ASSERT_TRUE(orvel.ready());
    orvel.setArguments({QStringLiteral("--"), QStringLiteral("/no/such/game")});
    ASSERT_TRUE(orvel.start());
    EXPECT_EQ(orvel.waitExit(), std::optional<int>(127));
    EXPECT_TRUE(orvel.log().contains(QStringLiteral("cannot start the game \"/no/such/game\"")));
}

}  // namespace
