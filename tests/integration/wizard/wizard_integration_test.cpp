// Two `orvel` processes on one machine, each on its own X display, driven through their
// connection wizards: create, search, join, a full session, cancelling, and shutdown order.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include "orvel_player.h"
#include "startup_steps.h"

using orvel::testing::kCreateOrder;
using orvel::testing::kReleaseOrder;
using orvel::testing::only;
using namespace wizard_it;

namespace {

const QString kAnyMain = QStringLiteral("^Orvel");

QString uniqueName(const char* what) {
    return QStringLiteral("%1 %2").arg(QLatin1String(what)).arg(QCoreApplication::applicationPid());
}

// Page 0 with the name typed in, then on to page 1.
void acceptPlayerPage(Player& p, const QString& playerName) {
    const QString wizard = p.waitWindow(kChoose);
    ASSERT_FALSE(wizard.isEmpty()) << p.log().toStdString();
    p.focus(wizard);
    p.key(QStringLiteral("alt+p"));
    p.key(QStringLiteral("ctrl+a"));
    p.type(playerName);
    p.key(QStringLiteral("Return"));
    ASSERT_FALSE(p.waitWindow(kSessions).isEmpty()) << p.log().toStdString();
}

// Creates a session from page 1; returns the port the host listens on.
int createSession(Player& p, const QString& sessionName, const QString& players) {
    p.key(QStringLiteral("alt+c"));
    EXPECT_FALSE(p.waitWindow(kCreate).isEmpty()) << p.log().toStdString();
    p.key(QStringLiteral("alt+n"));
    p.key(QStringLiteral("ctrl+a"));
    p.type(sessionName);
    p.key(QStringLiteral("alt+u"));
    p.key(QStringLiteral("ctrl+a"));
    p.type(players);
    p.key(QStringLiteral("Return"));
    const auto hosting = p.waitLog(QRegularExpression(QStringLiteral("hosting .* on port (\\d+)")));
    EXPECT_TRUE(hosting.hasMatch()) << p.log().toStdString();
    return hosting.captured(1).toInt();
}

// Searches from page 1 and waits until the session's line shows; returns the line.
QString searchFor(Player& p, const QString& sessionName) {
    p.key(QStringLiteral("alt+t"));
    const auto listed =
        p.waitLog(QRegularExpression(QStringLiteral("lstGames: (%1 - \\d+/\\d+ - Latency:\\d+ ms)")
                                         .arg(QRegularExpression::escape(sessionName))));
    EXPECT_TRUE(listed.hasMatch()) << p.log().toStdString();
    return listed.captured(1);
}

// Selects the first line (the only session the search can see) and joins it. The list has the
// focus: it is the first control of the page, and the search button's access key leaves the
// focus where it was.
void joinFirstLine(Player& p) {
    p.key(QStringLiteral("Home"));
    p.key(QStringLiteral("alt+j"));
}

class WizardIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        if (!orvel::testing::haveXvfb()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
    }
};

}  // namespace

TEST_F(WizardIntegration, CreateSearchJoinAndLeave) {
    Player host(QStringLiteral("host"));
    Player joiner(QStringLiteral("joiner"));
    ASSERT_TRUE(host.ready() && joiner.ready());
    const QString session = uniqueName("Evening Race");

    ASSERT_TRUE(host.start());
    acceptPlayerPage(host, QStringLiteral("Ann"));
    const int port = createSession(host, session, QStringLiteral("6"));
    ASSERT_GT(port, 0);
    const QString hostMain = host.waitWindow(kMainHost);
    ASSERT_FALSE(hostMain.isEmpty()) << host.log().toStdString();
    // The mark is there from the first moment the window shows.
    EXPECT_TRUE(host.waitLog(QRegularExpression(QStringLiteral("caption \"Orvel \\(HOST\\)\"")))
                    .hasMatch());

    // The joiner searches this host only, so its session is the first line.
    joiner.setEnv(QStringLiteral("ORVEL_ENUM_ADDRESS"), QStringLiteral("127.0.0.1:%1").arg(port));
    ASSERT_TRUE(joiner.start());
    acceptPlayerPage(joiner, QStringLiteral("Bob"));
    const QString line = searchFor(joiner, session);
    EXPECT_TRUE(
        QRegularExpression(
            QStringLiteral("^%1 - 1/6 - Latency:\\d+ ms$").arg(QRegularExpression::escape(session)))
            .match(line)
            .hasMatch())
        << line.toStdString();
    joinFirstLine(joiner);

    const QString joinerMain = joiner.waitWindow(kMain);
    ASSERT_FALSE(joinerMain.isEmpty()) << joiner.log().toStdString();
    EXPECT_TRUE(joiner.windows(kMainHost).isEmpty());
    EXPECT_TRUE(
        joiner.waitLog(QRegularExpression(QStringLiteral("caption \"Orvel\" mx"))).hasMatch());
    EXPECT_TRUE(joiner.windows(QStringLiteral("^Kartova Multiplayer")).isEmpty());
    EXPECT_FALSE(host.windows(kMainHost).isEmpty());

    // The host learns of the joiner.
    const auto created = host.waitLog(QRegularExpression(QStringLiteral(
        "orvel.wizard: CreatePlayer \\d+\\n(?:.*\\n)*?orvel.wizard: CreatePlayer (\\d+)")));
    ASSERT_TRUE(created.hasMatch()) << host.log().toStdString();
    const QString joinerId = created.captured(1);

    // Closing the joiner's window leaves the session; the host sees that player destroyed.
    ASSERT_TRUE(joiner.closeWindow(joinerMain));
    EXPECT_EQ(joiner.waitExit(), std::optional<int>(0)) << joiner.log().toStdString();
    EXPECT_EQ(only(joiner.startupSteps(), kReleaseOrder), kReleaseOrder);
    EXPECT_TRUE(host.waitLog(QRegularExpression(QStringLiteral("orvel.wizard: DestroyPlayer ") +
                                                joinerId + QStringLiteral(" ")))
                    .hasMatch())
        << host.log().toStdString();

    ASSERT_TRUE(host.closeWindow(hostMain));
    EXPECT_EQ(host.waitExit(), std::optional<int>(0)) << host.log().toStdString();
    EXPECT_EQ(only(host.startupSteps(), kReleaseOrder), kReleaseOrder);
}

TEST_F(WizardIntegration, AJoinerRefusedAsFullStaysOnTheSessionPage) {
    Player host(QStringLiteral("host"));
    Player joiner(QStringLiteral("joiner"));
    ASSERT_TRUE(host.ready() && joiner.ready());
    const QString session = uniqueName("Solo Run");

    ASSERT_TRUE(host.start());
    acceptPlayerPage(host, QStringLiteral("Ann"));
    const int port = createSession(host, session, QStringLiteral("1"));
    ASSERT_GT(port, 0);
    const QString hostMain = host.waitWindow(kMainHost);
    ASSERT_FALSE(hostMain.isEmpty());

    joiner.setEnv(QStringLiteral("ORVEL_ENUM_ADDRESS"), QStringLiteral("127.0.0.1:%1").arg(port));
    ASSERT_TRUE(joiner.start());
    acceptPlayerPage(joiner, QStringLiteral("Bob"));
    const QString line = searchFor(joiner, session);
    EXPECT_TRUE(line.startsWith(session + QStringLiteral(" - 1/1 - Latency:")))
        << line.toStdString();
    joinFirstLine(joiner);

    const QString full = joiner.waitWindow(QStringLiteral("^Full$"));
    ASSERT_FALSE(full.isEmpty()) << joiner.log().toStdString();
    joiner.focus(full);
    joiner.key(QStringLiteral("Return"));
    ASSERT_TRUE(joiner.waitNoWindow(QStringLiteral("^Full$")));
    const QString wizard = joiner.waitWindow(kSessions);
    EXPECT_FALSE(wizard.isEmpty());
    EXPECT_TRUE(joiner.windows(kAnyMain).isEmpty());
    EXPECT_FALSE(joiner.log().contains("wizard done"));

    // Back to page 0 and out: the program ends without a main window.
    joiner.focus(wizard);
    joiner.key(QStringLiteral("Escape"));
    ASSERT_FALSE(joiner.waitWindow(kChoose).isEmpty());
    joiner.key(QStringLiteral("Escape"));
    EXPECT_EQ(joiner.waitExit(), std::optional<int>(0)) << joiner.log().toStdString();

    ASSERT_TRUE(host.closeWindow(hostMain));
    EXPECT_EQ(host.waitExit(), std::optional<int>(0)) << host.log().toStdString();
}

TEST_F(WizardIntegration, CancellingPageZeroEndsWithoutTheMainWindow) {
    Player player(QStringLiteral("solo"));
    ASSERT_TRUE(player.ready());
    ASSERT_TRUE(player.start());
    const QString wizard = player.waitWindow(kChoose);
    ASSERT_FALSE(wizard.isEmpty()) << player.log().toStdString();

    // Docks find the desktop entry by the window's class, and show the window's own icon.
    QFile entry(QStringLiteral(DESKTOP_ENTRY));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString wmClass = QRegularExpression(QStringLiteral("^StartupWMClass=(.+)$"),
                                               QRegularExpression::MultilineOption)
                                .match(QString::fromUtf8(entry.readAll()))
                                .captured(1);
    EXPECT_FALSE(wmClass.isEmpty());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), player.displayName());
    const QString props = QString::fromLocal8Bit(
        orvel::testing::runToEnd(QStringLiteral("xprop"),
                                 {QStringLiteral("-id"), wizard, QStringLiteral("WM_CLASS"),
                                  QStringLiteral("_NET_WM_ICON")},
                                 env)
            .out);
    EXPECT_TRUE(
        props.contains(QStringLiteral("WM_CLASS(STRING) = \"orvel\", \"%1\"\n").arg(wmClass)))
        << props.toStdString();
    EXPECT_TRUE(props.contains(QStringLiteral("_NET_WM_ICON(CARDINAL) = "))) << props.toStdString();

    player.focus(wizard);
    player.key(QStringLiteral("Escape"));
    EXPECT_EQ(player.waitExit(), std::optional<int>(0)) << player.log().toStdString();

    const QStringList steps = player.startupSteps();
    EXPECT_EQ(only(steps, kCreateOrder), kCreateOrder);
    EXPECT_TRUE(steps.contains("wizard result false"));
    EXPECT_EQ(only(steps, kReleaseOrder), kReleaseOrder);
    // Start-up stopped at the wizard: no caption was set, the window never showed.
    for (const QString& s : steps) {
        EXPECT_FALSE(s.startsWith("caption")) << s.toStdString();
        EXPECT_NE(s, "unload main window");
    }
}

TEST_F(WizardIntegration, GameVersionIsRestoredOnlyFromExactlyOne) {
    struct Case {
        const char* stored;  // nullptr: no value stored
        bool mx;
    };
    const Case cases[] = {
        {"1", true}, {"01", false}, {" 1", false}, {"0", false}, {nullptr, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(none)");
        Player player(QStringLiteral("version"));
        ASSERT_TRUE(player.ready());
        QMap<QString, QString> settings = {{"UserName", "Vic"}, {"GameName", uniqueName("Check")}};
        if (c.stored != nullptr) {
            settings.insert("GameVersion", QString::fromLatin1(c.stored));
        }
        player.presetSettings(settings);
        ASSERT_TRUE(player.start());
        ASSERT_GT(player.hostWithPresets(), 0) << player.log().toStdString();
        const QString main = player.waitWindow(kMainHost);
        EXPECT_TRUE(player
                        .waitLog(QRegularExpression(
                            QStringLiteral("caption .* mx %1").arg(c.mx ? "true" : "false")))
                        .hasMatch())
            << player.log().toStdString();
        ASSERT_TRUE(player.closeWindow(main));
        EXPECT_EQ(player.waitExit(), std::optional<int>(0)) << player.log().toStdString();
    }
}
