// The in-game chat end to end: `orvel` joined through its wizard to a session that `orvel-bot`
// hosts, `kartova-standin` racing and focused on the same private X server, and keys typed into
// the game with xdotool. What the game shows is read from its memory; what the other player gets
// is what the bot prints.
//
// The programs start once for the suite; each test leaves the line closed.
#include <gtest/gtest.h>

#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <memory>

#include "race_players.h"

namespace {

using orvel::testing::StandinProcess;
using orvel::testing::staysUntil;
using orvel::testing::waitUntil;
using wizard_it::Player;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLastLine = orvel::testing::kStandardMap.lastLine;
constexpr uint32_t kInputLine = orvel::testing::kStandardMap.inputLine;
constexpr uint32_t kValue = orvel::testing::kStandardMap.showValue;
constexpr int kWaitMs = 20000;

Bytes bytes(const QByteArray& text, bool nul) {
    Bytes b(text.begin(), text.end());
    if (nul) {
        b.push_back(0);
    }
    return b;
}

std::string show(const Bytes& b) {
    std::string out;
    for (uint8_t c : b) {
        out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c))
                                     : "\\x" + QByteArray::number(c, 16).toStdString();
    }
    return out;
}

// Ann's orvel beside her racing game; Bob a parked orvel-bot hosting the session.
struct World {
    race_e2e::Racer ann{QStringLiteral("Ann"), {QStringLiteral("--race")}};
    race_e2e::Bot bot{QStringLiteral("Bob")};
    QString failure;
};

class InGameChatE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!orvel::testing::haveXvfb() ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
            return;  // each test skips
        }
        world = std::make_unique<World>();
        world->failure = startWorld(*world);
    }
    static void TearDownTestSuite() {
        if (world && world->ann.hasGame()) {
            world->ann.game().quit();
        }
        world.reset();
    }

    static QString startWorld(World& w) {
        if (!w.ann.ready()) {
            return QStringLiteral("no X server for the player");
        }
        int port = 0;
        if (!w.bot.host(race_e2e::sessionName("Chat run"), false, &port,
                        {QStringLiteral("--parked")})) {
            return QStringLiteral("orvel-bot is not hosting: ") + w.bot.output();
        }
        w.ann.orvel().setEnv(QStringLiteral("QT_LOGGING_RULES"),
                             QStringLiteral("orvel.startup.debug=true;orvel.wizard.debug=true;"
                                            "orvel.input.debug=true;orvel.ingame.debug=true"));
        if (!w.ann.join(port)) {
            return QStringLiteral("Ann did not join: ") + w.ann.orvel().log();
        }
        if (w.bot.waitLine(QRegularExpression(QStringLiteral("^- Ann has joined")), 0, kWaitMs)
                .isEmpty()) {
            return QStringLiteral("the bot never saw Ann join");
        }
        // The game link has found the game once its patches are in.
        if (!w.ann.game().waitUntil([&] { return w.ann.game().siteA() == 0xC3; })) {
            return QStringLiteral("orvel never patched the game");
        }
        return QString();
    }

    void SetUp() override {
        if (!world) {
            GTEST_SKIP() << "needs Xvfb and xdotool";
        }
        ASSERT_TRUE(world->failure.isEmpty()) << world->failure.toStdString();
        ASSERT_TRUE(world->ann.orvel().running());
        game().command(QStringLiteral("race start"));
        // The game has the keyboard, not Orvel.
        ASSERT_TRUE(game().waitUntil([&] {
            if (game().status().value(QStringLiteral("focused")).toBool()) {
                return true;
            }
            game().command(QStringLiteral("focus"));
            return false;
        }));
        ASSERT_EQ(game().status().value(QStringLiteral("mode")).toString(), QStringLiteral("race"));
    }

    static StandinProcess& game() { return world->ann.game(); }
    static Player& player() { return world->ann.orvel(); }
    static race_e2e::Bot& bot() { return world->bot; }

    // xdotool on the game's display, to its end (bounded).
    static bool xdotool(const QStringList& args) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), player().displayName());
        return orvel::testing::runToEnd(QStringLiteral("xdotool"), args, env).code == 0;
    }
    // Presses and releases each key (or combination such as shift+1) in turn, at a typist's
    // pace.
    static void keys(const QString& names) {
        ASSERT_TRUE(xdotool(
            QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("40")} +
            names.split(QLatin1Char(' '), Qt::SkipEmptyParts)))
            << names.toStdString();
    }
    // Keys orvel has taken so far, as it logs them.
    static qsizetype keysTaken() {
        return player().log().count(QStringLiteral("orvel.ingame: key "));
    }
    // Presses keys, then a marker key of the same kind; the barrier holds once orvel has taken
    // the marker, and so has handled every key before it.
    static std::function<bool()> pressThenMark(const QString& names, const QString& marker) {
        const qsizetype before = keysTaken();
        keys(names + QLatin1Char(' ') + marker);
        const qsizetype n = names.split(QLatin1Char(' '), Qt::SkipEmptyParts).size() + 1;
        return [before, n] { return keysTaken() >= before + n; };
    }
    static Bytes input(size_t n) { return game().read(kInputLine, n); }
    static Bytes lastLine() { return game().read(kLastLine, 50); }
    static Bytes value() { return game().read(kValue, 4); }

    // Waits until the input line holds exactly text and its NUL.
    static ::testing::AssertionResult inputIs(const QByteArray& text) {
        const Bytes want = bytes(text, true);
        if (waitUntil([&] { return input(want.size()) == want; })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "input line \"" << show(input(want.size()))
                                             << "\", wanted \"" << show(want) << "\"\norvel said:\n"
                                             << player().log().right(3000).toStdString();
    }
    static void poke(uint32_t address, const QByteArray& raw) {
        ASSERT_TRUE(game()
                        .command(QStringLiteral("poke 0x%1 %2")
                                     .arg(address, 0, 16)
                                     .arg(QString::fromLatin1(raw.toHex())))
                        .startsWith(QStringLiteral("ok")));
    }
    // Opens the line and waits until the game shows the prompt.
    static void openLine() {
        poke(kInputLine, "##");
        keys(QStringLiteral("t"));
        ASSERT_TRUE(inputIs(" >"));
    }
    // Lines the bot got from Ann from index `from` on.
    static QStringList fromAnn(qsizetype from) {
        QStringList out;
        const QStringList all = bot().lines();
        for (qsizetype i = from; i < all.size(); ++i) {
            if (all[i].startsWith(QStringLiteral("<Ann>"))) {
                out << all[i];
            }
        }
        return out;
    }
    // Sends the open line; waits for the game's line to be cleared and the bot to get `sent`.
    static void sendAndExpect(const QString& sent) {
        const qsizetype mark = bot().lines().size();
        keys(QStringLiteral("Return"));
        ASSERT_TRUE(waitUntil([] { return input(1) == Bytes{0}; }));
        EXPECT_FALSE(bot()
                         .waitLine(QRegularExpression(QStringLiteral("^<Ann> ") +
                                                      QRegularExpression::escape(sent) +
                                                      QStringLiteral("$")),
                                   mark, kWaitMs)
                         .isEmpty())
            << "the bot got " << fromAnn(mark).join(QLatin1Char('|')).toStdString();
    }

    static inline std::unique_ptr<World> world;
};

TEST_F(InGameChatE2E, TOpensTheLineWithThePromptAndTheLastChatLine) {
    // A chat line from the other player is what the game shows as the last line.
    const QByteArray echo = QByteArray("Bob> hello from bob").leftJustified(50, ' ');
    ASSERT_TRUE(waitUntil(
        [&] {
            bot().say(QStringLiteral("hello from bob"));
            return waitUntil([&] { return lastLine() == bytes(echo, false); }, 3000);
        },
        kWaitMs * 2))
        << "the game shows \"" << show(lastLine()) << "\"; the bot said:\n"
        << bot().lines().join(QLatin1Char('\n')).toStdString() << "\norvel said:\n"
        << player().log().right(3000).toStdString();
    poke(kLastLine, QByteArray(50, '#'));
    poke(kValue, QByteArray(4, '\0'));

    keys(QStringLiteral("t"));
    EXPECT_TRUE(inputIs(" >"));
    EXPECT_EQ(show(lastLine()), show(bytes(echo, false)));
    EXPECT_EQ(value(), (Bytes{0xFF, 0xE3, 0x0B, 0x54}));
    EXPECT_TRUE(game().json(QStringLiteral("message")).value(QStringLiteral("shown")).toBool());

    keys(QStringLiteral("Return"));
    EXPECT_TRUE(waitUntil([] { return input(1) == Bytes{0}; }));
}

TEST_F(InGameChatE2E, LettersShowUpperCaseAndShiftedKeysTheirSigns) {
    openLine();
    keys(QStringLiteral("h i space 4 2"));
    EXPECT_TRUE(inputIs(" >HI 42"));
    keys(QStringLiteral("shift+1"));
    EXPECT_TRUE(inputIs(" >HI 42!"));
    keys(QStringLiteral("shift+comma"));
    EXPECT_TRUE(inputIs(" >HI 42!<"));
    keys(QStringLiteral("Shift_R+slash"));
    EXPECT_TRUE(inputIs(" >HI 42!<?"));
    sendAndExpect(QStringLiteral("hi 42!<?"));
}

TEST_F(InGameChatE2E, BackspaceNeverRemovesThePrompt) {
    openLine();
    keys(QStringLiteral("a b"));
    ASSERT_TRUE(inputIs(" >AB"));
    keys(QStringLiteral("BackSpace"));
    EXPECT_TRUE(inputIs(" >A"));
    keys(QStringLiteral("BackSpace BackSpace BackSpace BackSpace"));
    EXPECT_TRUE(inputIs(" >"));
    // Still open: typing goes on from the prompt.
    keys(QStringLiteral("c"));
    EXPECT_TRUE(inputIs(" >C"));
    sendAndExpect(QStringLiteral("c"));
}

TEST_F(InGameChatE2E, EveryKeyOfTheTableTypesItsCharacter) {
    openLine();
    keys(
        QStringLiteral("1 2 3 4 5 6 7 8 9 0 minus equal q w e r t y u i o p bracketleft "
                       "bracketright a s d f g h j k l semicolon apostrophe grave backslash z x "
                       "c v b n m comma period slash KP_Multiply"));
    // 48 characters: the game shows the prompt and the last 43 of them.
    EXPECT_TRUE(
        inputIs(" >" + QByteArray("1234567890-=QWERTYUIOP[]ASDFGHJKL;'`\\ZXCVBNM,./*").right(43)));
    sendAndExpect(QStringLiteral("1234567890-=qwertyuiop[]asdfghjkl;'`\\zxcvbnm,./*"));

    openLine();
    keys(
        QStringLiteral("shift+1 shift+2 shift+3 shift+4 shift+5 shift+6 shift+7 shift+8 shift+9 "
                       "shift+0 shift+minus shift+equal shift+bracketleft shift+bracketright "
                       "shift+semicolon shift+apostrophe shift+grave shift+backslash shift+q "
                       "shift+z shift+comma shift+period shift+slash shift+KP_Multiply "
                       "shift+space"));
    EXPECT_TRUE(inputIs(" >!@#$%^&*()_+[]:\"~|QZ<>?* "));
    sendAndExpect(QStringLiteral("!@#$%^&*()_+[]:\"~|qz<>?* "));
}

TEST_F(InGameChatE2E, TheFortyNinthCharacterIsRefusedButTheLineRewritten) {
    openLine();
    const QString typed = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789abcdefghijkl");
    ASSERT_EQ(typed.size(), 48);
    QStringList names;
    for (QChar c : typed) {
        names << QString(c);
    }
    keys(names.join(QLatin1Char(' ')));
    // The game shows the prompt and the end of the line, as much as fits before the 4-byte
    // value 46 bytes on; the value stays, and with it the message area.
    const QByteArray shown = " >" + typed.toUpper().toLatin1().right(43);
    ASSERT_TRUE(inputIs(shown));
    EXPECT_EQ(value(), (Bytes{0xFF, 0xE3, 0x0B, 0x54}));
    EXPECT_TRUE(game().json(QStringLiteral("message")).value(QStringLiteral("shown")).toBool());

    poke(kInputLine, "##");
    keys(QStringLiteral("z"));
    EXPECT_TRUE(inputIs(shown));  // the prompt is back: rewritten, and no Z
    sendAndExpect(typed);         // the whole line goes out
}

TEST_F(InGameChatE2E, EnterOnTheBarePromptSendsNothing) {
    const qsizetype mark = bot().lines().size();
    openLine();
    keys(QStringLiteral("Return"));
    ASSERT_TRUE(waitUntil([] { return input(1) == Bytes{0}; }));
    // One NUL: the prompt's ">" is still behind it.
    EXPECT_EQ(input(3), (Bytes{0, '>', 0}));
    // The next line the bot gets from Ann is the one typed after it.
    openLine();
    keys(QStringLiteral("m a r k e r"));
    ASSERT_TRUE(inputIs(" >MARKER"));
    sendAndExpect(QStringLiteral("marker"));
    EXPECT_EQ(fromAnn(mark).join(QLatin1Char('|')).toStdString(), "<Ann> marker");
}

TEST_F(InGameChatE2E, EnterClosesTheLine) {
    openLine();
    keys(QStringLiteral("o k"));
    ASSERT_TRUE(inputIs(" >OK"));
    sendAndExpect(QStringLiteral("ok"));
    EXPECT_EQ(input(4), (Bytes{0, '>', 'O', 'K'}));
    // The sent line is the game's last line now.
    EXPECT_EQ(show(lastLine()), show(bytes(QByteArray("Ann>ok").leftJustified(50, ' '), false)));
    // Closed: keys change nothing until T.
    EXPECT_TRUE(staysUntil(
        [] {
            return input(4) == Bytes{0, '>', 'O', 'K'};
        },
        pressThenMark(QStringLiteral("x y BackSpace"), QStringLiteral("z"))))
        << show(input(4));
}

TEST_F(InGameChatE2E, TOnTheMenuDoesNotOpenTheLine) {
    ASSERT_TRUE(game().command(QStringLiteral("race end")).startsWith(QStringLiteral("ok")));
    ASSERT_TRUE(game().waitUntil(
        [] { return game().status().value(QStringLiteral("mode")).toString() != "race"; }));
    poke(kInputLine, "##");
    EXPECT_TRUE(staysUntil(
        [] {
            return input(2) == Bytes{'#', '#'};
        },
        pressThenMark(QStringLiteral("t x"), QStringLiteral("z"))))
        << show(input(2));

    // Back in a race the next T opens an empty line: the one on the menu left it closed.
    ASSERT_TRUE(game().command(QStringLiteral("race start")).startsWith(QStringLiteral("ok")));
    ASSERT_TRUE(game().waitUntil(
        [] { return game().status().value(QStringLiteral("mode")).toString() == "race"; }));
    openLine();
    keys(QStringLiteral("Return"));
    EXPECT_TRUE(waitUntil([] { return input(1) == Bytes{0}; }));
}

TEST_F(InGameChatE2E, KeysAboveFiftyEightAreIgnoredAndNeverBlockTyping) {
    openLine();
    poke(kInputLine, "##");
    // A function key, an arrow and a keypad key: not even a rewrite.
    // Such keys never reach the line's handler, so nothing marks them as taken: the game's frames
    // stand in for the time they take.
    keys(QStringLiteral("F5 Up KP_Add"));
    EXPECT_TRUE(staysUntil(
        [] {
            return input(2) == Bytes{'#', '#'};
        },
        game().framesPassed(25)))
        << show(input(2));
    // Typing goes on while such keys are held down.
    ASSERT_TRUE(xdotool({QStringLiteral("keydown"), QStringLiteral("F6"), QStringLiteral("keydown"),
                         QStringLiteral("KP_4")}));
    keys(QStringLiteral("g o"));
    EXPECT_TRUE(inputIs(" >GO"));
    ASSERT_TRUE(xdotool({QStringLiteral("keyup"), QStringLiteral("KP_4"), QStringLiteral("keyup"),
                         QStringLiteral("F6")}));
    sendAndExpect(QStringLiteral("go"));
}

}  // namespace
