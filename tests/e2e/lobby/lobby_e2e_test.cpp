// Two players on one machine, each on a private X display beside a kartova-standin of its own:
// `orvel-lobby host` on one and `orvel-lobby join` on the other bring up both main windows with
// no click; the cars follow each other in the race, and a chat line crosses.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <cmath>

#include "platform/dx8/lobby/lobby_protocol.h"
#include "race_players.h"

using orvel::testing::StandinProcess;
using namespace wizard_it;

namespace {

const QString kAnyMain = QStringLiteral("^Orvel");

// One side: a display and a racing game (through a racer whose own orvel stays unused), a
// settings folder with orvel registered for lobby launch, and the orvel the lobby client starts.
class Side {
public:
    explicit Side(const QString& name)
        : racer_(name, {QStringLiteral("--race"), QStringLiteral("--autopilot")}) {}
    ~Side() { orvel::testing::endProcess(orvelPid_); }

    bool prepare() {
        if (!racer_.ready() || !home_.isValid() || !racer_.startGame()) {
            return false;
        }
        // What orvel writes at its start, so that the lobby client can launch it.
        qputenv("XDG_CONFIG_HOME", config().toLocal8Bit());
        dx8::DPL_PROGRAM_DESC p;
        p.guidApplication = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
        const QFileInfo program(QStringLiteral(ORVEL_PROGRAM));
        p.ApplicationName = program.completeBaseName();
        p.ExecutableFilename = program.fileName();
        p.ExecutablePath = program.absolutePath();
        p.LauncherFilename = p.ExecutableFilename;
        p.LauncherPath = p.ExecutablePath;
        QString error;
        return dx8::lobby::writeRegistration(p, &error);
    }

    // Runs orvel-lobby for this side; the orvel it starts writes into the same log.
    int lobby(const QStringList& args) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), x().displayName());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config());
        env.insert(QStringLiteral("ORVEL_DISCOVERY"), QStringLiteral("loopback"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"),
                   QStringLiteral("orvel.startup.debug=true;orvel.lobby.debug=true;"
                                  "orvel.session.debug=true"));
        const std::optional<int> code = orvel::testing::runToEndInto(
            QStringLiteral(LOBBY_PROGRAM), args, env, home_.filePath(QStringLiteral("lobby.out")),
            logPath(), 90000);
        const QString out = read(home_.filePath(QStringLiteral("lobby.out")));
        const auto pid = QRegularExpression(QStringLiteral("\\(pid (\\d+)\\)")).match(out);
        if (pid.hasMatch()) {
            orvelPid_ = pid.captured(1).toLongLong();
        }
        return code.value_or(-1);
    }

    QString log() const { return read(logPath()); }
    Player& x() { return racer_.orvel(); }
    StandinProcess& game() { return racer_.game(); }
    bool orvelRunning() const {
        return orvelPid_ > 0 && ::kill(static_cast<pid_t>(orvelPid_), 0) == 0;
    }

private:
    QString config() const { return home_.filePath(QStringLiteral("config")); }
    QString logPath() const { return home_.filePath(QStringLiteral("lobby.err")); }
    static QString read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
    }

    race_e2e::Racer racer_;
    QTemporaryDir home_;
    qint64 orvelPid_ = 0;
};

// A UDP port outside the session range that nobody uses right now.
int freePort() {
    for (int i = 0; i < 50; ++i) {
        QUdpSocket probe;
        if (probe.bind(QHostAddress::Any, 0) && probe.localPort() > 2400) {
            return probe.localPort();
        }
    }
    return 0;
}

struct Spot {
    double x = NAN;
    double y = NAN;
};

Spot carAt(StandinProcess& game, int slot) {
    const QJsonObject car = game.json(QStringLiteral("car %1").arg(slot));
    if (car.isEmpty() || !car.value(QStringLiteral("present")).toBool()) {
        return {};
    }
    return {car.value(QStringLiteral("x")).toDouble(NAN),
            car.value(QStringLiteral("y")).toDouble(NAN)};
}

bool near(const Spot& a, const Spot& b) {
    return std::abs(a.x - b.x) < 0.01 && std::abs(a.y - b.y) < 0.01;
}

// Holds `from`'s car 0 at a spot and waits until `to` shows it in slot 1, exactly there.
::testing::AssertionResult follows(StandinProcess& from, StandinProcess& to, double x, double y) {
    // Held first, so the autopilot cannot move it on from where it is put.
    from.command(QStringLiteral("hold on"));
    from.command(QStringLiteral("place %1 %2 0").arg(x).arg(y));
    const Spot held = carAt(from, 0);
    if (!near(held, {x, y})) {
        return ::testing::AssertionFailure() << "the game did not hold car 0 at " << x << "," << y;
    }
    Spot seen;
    const bool arrived = to.waitUntil([&] {
        seen = carAt(to, 1);
        return near(seen, held);
    });
    from.command(QStringLiteral("hold off"));
    if (!arrived) {
        return ::testing::AssertionFailure()
               << "slot 1 shows " << seen.x << "," << seen.y << " instead of " << x << "," << y;
    }
    return ::testing::AssertionSuccess();
}

TEST(LobbyE2E, HostAndJoinThroughTheLobbyThenRaceAndChat) {
    if (!orvel::testing::haveXvfb()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    Side ann(QStringLiteral("ann"));
    Side bob(QStringLiteral("bob"));
    ASSERT_TRUE(ann.prepare());
    ASSERT_TRUE(bob.prepare());
    const int port = freePort();
    ASSERT_GT(port, 0);

    ASSERT_EQ(ann.lobby({QStringLiteral("host"), QStringLiteral("--name"), QStringLiteral("Ann"),
                         QStringLiteral("--session"), QStringLiteral("Lobby race"),
                         QStringLiteral("--port"), QString::number(port)}),
              0)
        << ann.log().toStdString();
    ASSERT_FALSE(ann.x().waitWindow(kMainHost).isEmpty()) << ann.log().toStdString();
    ASSERT_EQ(bob.lobby({QStringLiteral("join"), QStringLiteral("--name"), QStringLiteral("Bob"),
                         QStringLiteral("--host"), QStringLiteral("127.0.0.1:%1").arg(port)}),
              0)
        << bob.log().toStdString();
    const QString bobMain = bob.x().waitWindow(kMain);
    ASSERT_FALSE(bobMain.isEmpty()) << bob.log().toStdString();
    // No click anywhere: neither wizard is left on screen, and only the host is marked.
    EXPECT_TRUE(ann.x().windows(QStringLiteral("^Kartova Multiplayer")).isEmpty());
    EXPECT_TRUE(bob.x().windows(QStringLiteral("^Kartova Multiplayer")).isEmpty());
    EXPECT_EQ(ann.x().windows(kAnyMain).size(), 1);
    EXPECT_TRUE(bob.x().windows(kMainHost).isEmpty());

    // The cars follow each other: each game's car 0 arrives in the other's slot 1.
    EXPECT_TRUE(follows(ann.game(), bob.game(), 10.5, -128.25));
    EXPECT_TRUE(follows(bob.game(), ann.game(), -60.75, 131.5));
    EXPECT_TRUE(follows(ann.game(), bob.game(), 200.25, 20.5));

    // A chat line typed in Bob's window reaches Ann's game screen, through Ann's orvel.
    const QString line = QStringLiteral("hello across %1").arg(QCoreApplication::applicationPid());
    bob.x().focus(bobMain);
    bob.x().type(line);
    bob.x().key(QStringLiteral("Return"));
    QString shown;
    const bool crossed = ann.game().waitUntil([&] {
        shown = ann.game().json(QStringLiteral("message")).value(QStringLiteral("last")).toString();
        return shown.contains(line);
    });
    EXPECT_TRUE(crossed) << "Ann's game shows \"" << shown.toStdString() << "\"";
    EXPECT_TRUE(shown.contains(QStringLiteral("Bob"))) << shown.toStdString();
    EXPECT_TRUE(ann.orvelRunning());
    EXPECT_TRUE(bob.orvelRunning());
}

}  // namespace
