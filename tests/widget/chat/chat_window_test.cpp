// The chat window: history and its echo into the game, sending, whispering and the roster
// lookup; the roster and session events; message receipt.
#include <QLabel>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include "chat_fixture.h"
#include "game_link/cp1252.h"
#include "main_window/internet_text.h"

namespace chat_test {
namespace {

using orvel::gamemap::kMX;
using orvel::gamemap::kStandard;
using Kind = orvel::testing::FakeOs::Kind;

const QString kCrLf = QStringLiteral("\r\n");

QByteArray textMessage(orvel::MessageType type, const QString& text) {
    return orvel::BuildTextMessage(type, text);
}

// Whatever the window leaves of the key code after the key press, Enter by default.
int16_t press(orvel::frmChat& window, int16_t key = 13) {
    window.txtSend_KeyPress(key);
    return key;
}

// One guaranteed send without loopback or time-out, to target, carrying data.
void expectSent(const FakePeer::Sent& sent, dx8::DPNID target, const QByteArray& data) {
    EXPECT_EQ(sent.target, target);
    EXPECT_EQ(sent.timeout, 0);
    EXPECT_EQ(sent.flags, dx8::DPNSEND_GUARANTEED | dx8::DPNSEND_NOLOOPBACK);
    EXPECT_EQ(sent.data, data);
}

// ---- History -------------------------------------------------------------------------------

using ChatHistory = ChatFixture;

TEST_F(ChatHistory, KeepsExactlyItsLast16384CharactersWithTheCaretAtTheEnd) {
    QString all;
    for (int i = 0; all.size() <= 20000; ++i) {
        const QString line =
            QStringLiteral("line %1 ").arg(i) + QString(i % 97, QChar(u'a' + i % 26));
        window->AddChatLine(line);
        all += line + kCrLf;
        const QString expected = all.right(16384);
        ASSERT_EQ(history(), expected) << i;
        ASSERT_EQ(window->txtChat->selStart(), expected.size());
        ASSERT_EQ(window->lastChatLine, line);
        // The box shows the history, line ends as plain breaks (a cut inside one included).
        ASSERT_EQ(window->txtChat->toPlainText(), QString(expected).replace(kCrLf, "\n")) << i;
    }
    EXPECT_EQ(history().size(), 16384);
}

TEST_F(ChatHistory, TheCutNeverSplitsACharacterInTwo) {
    const QString clef = QString::fromUcs4(U"\U0001D11E");  // two UTF-16 units, one character
    // 16384 characters with the line end, one UTF-16 unit more: nothing falls off.
    const QString first = clef + QString(16381, u'x');
    window->AddChatLine(first);
    EXPECT_EQ(history(), first + kCrLf);
    window->AddChatLine(QStringLiteral("y"));  // three characters more: the pair goes whole
    const QString text = history();
    EXPECT_EQ(text.toUcs4().size(), 16384);
    EXPECT_EQ(text, QString(16379, u'x') + kCrLf + QStringLiteral("y") + kCrLf);
    EXPECT_EQ(window->txtChat->selStart(), text.size());
}

TEST_F(ChatHistory, NothingIsWrittenIntoTheGameOutsideARace) {
    // No game at all.
    window->AddChatLine(QStringLiteral("<Bob> hi"));
    EXPECT_TRUE(writes().empty());
    // The game on its menu, then paused (status word 2 with the clock running).
    startGame();
    window->AddChatLine(QStringLiteral("<Bob> on the menu"));
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(changes().empty());
    scope.os.pokeFloat(kGamePid, kStandard.playValue, 3.0f);
    scope.os.pokeLong(kGamePid, kStandard.statusWord, 2);
    snapshot();
    window->AddChatLine(QStringLiteral("<Bob> paused"));
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(changes().empty());
    EXPECT_EQ(window->lastChatLine, QStringLiteral("<Bob> paused"));
    EXPECT_TRUE(history().endsWith(QStringLiteral("<Bob> paused\r\n")));
}

struct EchoCase {
    const char* name;
    QString line;
    QByteArray field;  // the 50 bytes expected in the last-line field
};

class ChatEcho : public ChatFixture, public ::testing::WithParamInterface<int> {};

std::vector<EchoCase> echoCases() {
    const QString sixty =
        QStringLiteral("0123456789abcdefghijABCDEFGHIJklmnopqrstKLMNOPQRST!@#$%^&*()");
    return {
        {"empty", QString(), QByteArray(50, ' ')},
        {"one character", QStringLiteral("<"), QByteArray(50, ' ')},
        {"short", QStringLiteral("<Bob> hi"), QByteArray("Bob> hi") + QByteArray(43, ' ')},
        {"exactly 51", sixty.left(51), sixty.mid(1, 50).toLatin1()},
        {"long", sixty, sixty.mid(1, 50).toLatin1()},
        {"blanks kept", QStringLiteral("  x  "), QByteArray(" x  ") + QByteArray(46, ' ')},
        // Code page 1252: the euro sign and e-acute have their bytes; a word with characters
        // outside it is spelled in Latin letters (the CJK character as "ri", e-acute then
        // plain), what has no spelling (outside the BMP) becomes "?"; the field stays 50 bytes.
        {"code page 1252",
         QStringLiteral("<\u20AC\u00E9 \u20AC\u00E9\u65E5") + QString::fromUcs4(U"\U0001F600") +
             QStringLiteral("z"),
         QByteArray("\x80\xE9 \x80") + "e ri?z" + QByteArray(40, ' ')},
        {"long with pairs", QStringLiteral("<") + QString::fromUcs4(U"\U0001F600").repeated(60),
         QByteArray(50, '?')},
    };
}

TEST_P(ChatEcho, TheLineGoesIntoTheLastLineFieldDuringARace) {
    const EchoCase c = echoCases()[static_cast<size_t>(GetParam())];
    SCOPED_TRACE(c.name);
    for (int version : {0, 1}) {
        SCOPED_TRACE(version);
        orvel::gameVersion = version;
        startGame();
        race(true);
        const orvel::gamemap::Edition& e = version == 0 ? kStandard : kMX;
        window->AddChatLine(c.line);
        EXPECT_EQ(window->lastChatLine, c.line);
        // The value first, then exactly the 50 bytes of the field; nothing else changes.
        const auto w = writes();
        ASSERT_EQ(w.size(), 2u);
        EXPECT_EQ(w[0].address, e.messageValue);
        EXPECT_EQ(w[0].length, 4u);
        EXPECT_EQ(w[1].address, e.messageLastLine);
        EXPECT_EQ(w[1].length, 50u);
        EXPECT_EQ(bytesAt(e.messageLastLine, 50), c.field);
        EXPECT_EQ(bytesAt(e.messageValue, 4), QByteArray("\xFF\xE3\x0B\x54", 4));
        const auto changed = changes();
        for (const auto& [address, length] : changed) {
            const bool inField =
                address >= e.messageLastLine && address + length <= e.messageLastLine + 50;
            const bool inValue =
                address >= e.messageValue && address + length <= e.messageValue + 4;
            EXPECT_TRUE(inField || inValue) << std::hex << address << " " << length;
        }
        scope.os.removeWindows();
        scope.os.processes.clear();
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, ChatEcho,
                         ::testing::Range(0, static_cast<int>(echoCases().size())));

// ---- Sending -------------------------------------------------------------------------------

using ChatSend = ChatFixture;

TEST_F(ChatSend, EnterSendsTheLineAsTypedAndShowsItWithoutABlankAfterTheName) {
    window->txtSend->setText(QStringLiteral("  hello there "));
    EXPECT_EQ(press(*window), 0);
    EXPECT_TRUE(window->txtSend->text().isEmpty());
    ASSERT_EQ(peer->sends.size(), 1u);
    expectSent(peer->sends[0], dx8::DPNID_ALL_PLAYERS_GROUP,
               textMessage(orvel::ChatMessage, QStringLiteral("  hello there ")));
    EXPECT_EQ(history(), QStringLiteral("<Ann>  hello there \r\n"));
}

TEST_F(ChatSend, EnterOnEmptyInputAndOtherKeysSendNothing) {
    EXPECT_EQ(press(*window), 13);  // not consumed
    window->txtSend->setText(QStringLiteral("abc"));
    for (int16_t typed : {int16_t('a'), int16_t(10), int16_t(27), int16_t(8)}) {
        EXPECT_EQ(press(*window, typed), typed);
    }
    EXPECT_TRUE(peer->sends.empty());
    EXPECT_TRUE(history().isEmpty());
    EXPECT_EQ(window->txtSend->text(), QStringLiteral("abc"));
}

TEST_F(ChatSend, TypingIntoTheInputLineAndPressingEnter) {
    window->show();
    QTest::keyClicks(window->txtSend, QStringLiteral("gg"));
    QTest::keyClick(window->txtSend, Qt::Key_Return);
    QTest::keyClick(window->txtSend, Qt::Key_Return);  // empty now: nothing more
    ASSERT_EQ(peer->sends.size(), 1u);
    EXPECT_EQ(peer->sends[0].data, textMessage(orvel::ChatMessage, QStringLiteral("gg")));
    EXPECT_EQ(history(), QStringLiteral("<Ann>gg\r\n"));
}

TEST_F(ChatSend, AFailedSendStillShowsTheLineAndEmptiesTheInput) {
    peer->failSend = dx8::DPNERR_NOCONNECTION;
    window->txtSend->setText(QStringLiteral("anyone?"));
    EXPECT_EQ(press(*window), 0);
    EXPECT_TRUE(window->txtSend->text().isEmpty());
    EXPECT_EQ(history(), QStringLiteral("<Ann>anyone?\r\n"));
    // And without any peer at all.
    dx.dpPeer.reset();
    window->txtSend->setText(QStringLiteral("still?"));
    press(*window);
    EXPECT_TRUE(history().endsWith(QStringLiteral("<Ann>still?\r\n")));
}

// ---- Whisper -------------------------------------------------------------------------------

class ChatWhisper : public ChatFixture {
protected:
    void SetUp() override {
        ChatFixture::SetUp();
        join({{1, "Ann", true}, {7, "Bob"}});
    }
    void expectOnlyBox(const QString& caption, const QString& text) {
        EXPECT_TRUE(lastBox(1, text, caption, QMessageBox::Information));
        EXPECT_TRUE(peer->sends.empty());
        boxes.clear();
    }
};

TEST_F(ChatWhisper, TheChecksRunInOrderAndTheFirstFailingOneShowsItsBox) {
    const QString lines = history();
    // Nothing selected: the first box, even with an empty input as well.
    window->cmdWhisper_Click();
    expectOnlyBox("Select someone",
                  "You must select a user in the list before you can whisper to that person.");
    // The current row alone is no selection.
    window->lstUsers->setCurrentRow(1, QItemSelectionModel::NoUpdate);
    window->cmdWhisper_Click();
    expectOnlyBox("Select someone",
                  "You must select a user in the list before you can whisper to that person.");
    // One's own entry, with the input empty too.
    window->lstUsers->setCurrentRow(0);
    window->cmdWhisper_Click();
    expectOnlyBox("Select someone else", "Why are you whispering to yourself?");
    // Someone else, nothing typed.
    window->lstUsers->setCurrentRow(1);
    window->cmdWhisper_Click();
    expectOnlyBox("Enter text", "What's the point of whispering if you have nothing to say..");
    // Own entry with text typed: the text stays.
    window->txtSend->setText(QStringLiteral("psst"));
    window->lstUsers->setCurrentRow(0);
    window->cmdWhisper_Click();
    expectOnlyBox("Select someone else", "Why are you whispering to yourself?");
    EXPECT_EQ(window->txtSend->text(), QStringLiteral("psst"));
    EXPECT_EQ(history(), lines);
}

TEST_F(ChatWhisper, GoesToTheSelectedPlayerOnlyAndShowsTheSendersName) {
    window->lstUsers->setCurrentRow(1);
    window->txtSend->setText(QStringLiteral("left at the fork "));
    window->cmdWhisper->click();
    EXPECT_TRUE(boxes.empty());
    ASSERT_EQ(peer->sends.size(), 1u);
    expectSent(peer->sends[0], 7u,
               textMessage(orvel::WhisperMessage, QStringLiteral("left at the fork ")));
    EXPECT_TRUE(window->txtSend->text().isEmpty());
    EXPECT_TRUE(history().endsWith(QStringLiteral("**<Ann>** left at the fork \r\n")));
    EXPECT_EQ(window->lstUsers->currentRow(), 1);
    EXPECT_TRUE(window->lstUsers->item(1)->isSelected());
}

// ---- Roster lookup -------------------------------------------------------------------------

TEST_F(ChatWhisper, PlayerNameFromIdTakesTheFirstMatchingEntry) {
    EXPECT_EQ(window->PlayerNameFromId(7), QStringLiteral("Bob"));
    EXPECT_EQ(window->PlayerNameFromId(0), QStringLiteral("Ann"));
    EXPECT_EQ(window->PlayerNameFromId(99), QString());
    auto* twin = new QListWidgetItem(QStringLiteral("Bob the second"));
    twin->setData(Qt::UserRole, 7u);
    window->lstUsers->addItem(twin);
    EXPECT_EQ(window->PlayerNameFromId(7), QStringLiteral("Bob"));
}

// ---- Roster --------------------------------------------------------------------------------

using Roster = ChatFixture;

TEST_F(Roster, CreatingASessionListsOnlyTheLocalPlayer) {
    join({{0x10, "Ann", true}});
    EXPECT_EQ(rosterNames(), QStringList{"Ann"});
    EXPECT_EQ(rosterIds(), std::vector<uint32_t>{0});
    EXPECT_TRUE(history().isEmpty());
    EXPECT_EQ(carSlots(), std::vector<uint32_t>(5, 0));
}

TEST_F(Roster, JoiningPlayersGetLinesAndSlotsInTheirOrder) {
    join({{0x21, "Bob"}, {0x22, "Cy"}, {0x23, "Ann", true}});
    EXPECT_EQ(rosterNames(), (QStringList{"Bob", "Cy", "Ann"}));
    EXPECT_EQ(rosterIds(), (std::vector<uint32_t>{0x21, 0x22, 0}));
    EXPECT_EQ(history(), QStringLiteral("- Bob has joined the game.\r\n"
                                        "- Cy has joined the game.\r\n"));
    EXPECT_EQ(carSlots(), (std::vector<uint32_t>{0x21, 0x22, 0, 0, 0}));
}

TEST_F(Roster, ALeavingPlayersSlotIsFreedAndTakenByTheNextJoiner) {
    join({{1, "Ann", true}, {2, "Bob"}, {3, "Cy"}});
    destroy(2);
    EXPECT_TRUE(history().endsWith(QStringLiteral("-- Bob has left the game.\r\n")));
    EXPECT_EQ(rosterNames(), (QStringList{"Ann", "Cy"}));
    EXPECT_EQ(carSlots(), (std::vector<uint32_t>{0, 3, 0, 0, 0}));
    join({{4, "Di"}});
    EXPECT_EQ(carSlots(), (std::vector<uint32_t>{4, 3, 0, 0, 0}));
    EXPECT_EQ(rosterIds(), (std::vector<uint32_t>{0, 3, 4}));
}

// A player that lost its connection and came back under its id says so, in its old slot while
// nobody took it.
TEST_F(Roster, APlayerBackSaysSoAndGetsItsOldSlotWhileFree) {
    join({{1, "Ann", true}, {2, "Bob"}, {3, "Cy"}});
    destroy(3);
    create(3);
    EXPECT_TRUE(
        history().endsWith(QStringLiteral("-- Cy has left the game.\r\n- Cy is back.\r\n")));
    EXPECT_EQ(carSlots(), (std::vector<uint32_t>{2, 3, 0, 0, 0}));
    destroy(3);
    join({{4, "Di"}});
    create(3);
    EXPECT_TRUE(
        history().endsWith(QStringLiteral("- Di has joined the game.\r\n- Cy is back.\r\n")));
    EXPECT_EQ(carSlots(), (std::vector<uint32_t>{2, 4, 3, 0, 0}));
}

TEST_F(Roster, LeavingRemovesTheEntryOfThatIdNotTheFirstOfThatName) {
    join({{1, "Ann", true}, {2, "Bob"}, {3, "Bob"}});
    destroy(3);
    EXPECT_EQ(rosterIds(), (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(carSlots(), (std::vector<uint32_t>{2, 0, 0, 0, 0}));
}

TEST_F(Roster, DestroyingAnUnknownIdChangesNothingButStillFreesItsSlot) {
    join({{1, "Ann", true}, {2, "Bob"}});
    const QString lines = history();
    destroy(99);
    destroy(0);  // the all-players group is nobody: one's own entry stays
    EXPECT_EQ(rosterIds(), (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(history(), lines);
    session().slotPlayerIds()(3) = 55;  // a slot whose player's entry is gone
    destroy(55);
    EXPECT_EQ(carSlots(), (std::vector<uint32_t>{2, 0, 0, 0, 0}));
    EXPECT_EQ(history(), lines);
}

TEST_F(Roster, AFailedQueryGivesAnEmptyNamedRemoteEntry) {
    create(0x31);  // the peer knows no such player
    EXPECT_EQ(rosterNames(), QStringList{QString()});
    EXPECT_EQ(rosterIds(), std::vector<uint32_t>{0x31});
    EXPECT_EQ(history(), QStringLiteral("-  has joined the game.\r\n"));
    EXPECT_EQ(carSlots()[0], 0x31u);
}

TEST_F(Roster, ASixthRemotePlayerGetsAnEntryButNoSlot) {
    for (DPNID id = 1; id <= 6; ++id) {
        peer->addPlayer(id, QStringLiteral("P%1").arg(id));
        create(id);
    }
    EXPECT_EQ(carSlots(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(rosterIds(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(history().endsWith(QStringLiteral("- P6 has joined the game.\r\n")));
    // The same player reported twice keeps its one slot.
    destroy(6);
    destroy(3);
    create(4);
    EXPECT_EQ(carSlots(), (std::vector<uint32_t>{1, 2, 0, 4, 5}));
}

// ---- Session events ------------------------------------------------------------------------

using SessionEvents = ChatFixture;

TEST_F(SessionEvents, TheHostEndingTheSessionShowsItsBoxThenCloses) {
    dx8::DPNMSG_TERMINATE_SESSION m;
    m.hResultCode = dx8::DPNERR_HOSTTERMINATEDSESSION;
    bool reject = false;
    session().DirectPlay8Event_TerminateSession(m, reject);
    EXPECT_FALSE(reject);
    ASSERT_TRUE(
        lastBox(1, "The host has terminated this session.", "Exiting", QMessageBox::Information));
    EXPECT_EQ(journal(), (QStringList{"box Exiting", "CloseForm"}));
    ASSERT_EQ(wizard->closed.size(), 1u);
    EXPECT_EQ(wizard->closed[0], window.get());
}

TEST_F(SessionEvents, AnyOtherEndIsALostSession) {
    for (dx8::HRESULT code : {dx8::DPNERR_CONNECTIONLOST, dx8::DPN_OK, dx8::E_FAIL}) {
        boxes.clear();
        dx8::DPNMSG_TERMINATE_SESSION m;
        m.hResultCode = code;
        bool reject = false;
        session().DirectPlay8Event_TerminateSession(m, reject);
        ASSERT_TRUE(lastBox(1, "This session has been lost.", "Exiting"));
    }
    EXPECT_EQ(wizard->closed.size(), 3u);
}

// Cut off from everyone: told once, the roster kept while it tries; the loss comes as before.
TEST_F(SessionEvents, CutOffIsToldOnceAndTheLossFollowsAsBefore) {
    join({{1, "Ann", true}, {2, "Bob"}});
    const QString before = history();
    bool reject = false;
    session().DirectPlay8Event_InfoNotify(dx8::DPN_MSGID_COMING_BACK, 1, reject);
    EXPECT_EQ(history(), before + QStringLiteral("- Connection lost. Trying to come back...\r\n"));
    EXPECT_EQ(rosterNames(), (QStringList{"Ann", "Bob"}));
    EXPECT_TRUE(boxes.empty());
    dx8::DPNMSG_TERMINATE_SESSION m;
    m.hResultCode = dx8::DPNERR_CONNECTIONLOST;
    session().DirectPlay8Event_TerminateSession(m, reject);
    ASSERT_TRUE(lastBox(1, "This session has been lost.", "Exiting"));
}

TEST_F(SessionEvents, AFailedConnectShowsTheCodeInFullThenCloses) {
    const std::pair<dx8::HRESULT, const char*> cases[] = {
        {dx8::DPNERR_HOSTREJECTEDCONNECTION, "Connect Failed.  Error: 0x80158260"},
        {dx8::E_OUTOFMEMORY, "Connect Failed.  Error: 0x8007000E"},
        {dx8::hr(0x800ABCDE), "Connect Failed.  Error: 0x800ABCDE"},
    };
    for (const auto& [code, text] : cases) {
        journal().clear();
        boxes.clear();
        dx8::DPNMSG_CONNECT_COMPLETE m;
        m.hResultCode = code;
        bool reject = false;
        session().DirectPlay8Event_ConnectComplete(m, reject);
        EXPECT_FALSE(reject);
        ASSERT_TRUE(lastBox(1, text, "Closing", QMessageBox::Critical));
        EXPECT_EQ(journal(), (QStringList{"box Closing", "CloseForm"}));
    }
}

TEST_F(SessionEvents, ASuccessfulConnectDoesNothing) {
    dx8::DPNMSG_CONNECT_COMPLETE m;
    bool reject = false;
    session().DirectPlay8Event_ConnectComplete(m, reject);
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(wizard->closed.empty());
}

// Everyone is told who hosts now, in the chat and on the game's line as the other event lines;
// only the new host marks its caption, and the session line follows.
TEST_F(SessionEvents, OnlyTheNewHostMarksItsCaption) {
    startGame();
    race(true);
    join({{1, "Ann", true}, {2, "Bob"}});
    const QString joined = history();
    bool reject = false;
    session().DirectPlay8Event_HostMigrate(2, reject);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Orvel"));
    EXPECT_EQ(session().hostId(), 2u);
    EXPECT_EQ(window->lblSession->text(), QStringLiteral("Bob is the host."));
    EXPECT_EQ(bytesAt(kStandard.messageLastLine, 50),
              QByteArray(" Bob is now the host.") + QByteArray(29, ' '));
    session().DirectPlay8Event_HostMigrate(1, reject);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Orvel (HOST)"));
    EXPECT_EQ(window->lblSession->text(), QStringLiteral("You are the host."));
    session().DirectPlay8Event_HostMigrate(1, reject);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Orvel (HOST)"));
    EXPECT_FALSE(reject);
    EXPECT_EQ(history(), joined + QStringLiteral("- Bob is now the host.\r\n"
                                                 "- Ann is now the host.\r\n"
                                                 "- Ann is now the host.\r\n"));
}

TEST_F(SessionEvents, AFailedHostQueryEndsTheHandlerWithItsError) {
    bool reject = false;
    try {
        session().DirectPlay8Event_HostMigrate(42, reject);
        ADD_FAILURE() << "the failure did not reach the caller";
    } catch (const dx8::DxError& e) {
        EXPECT_EQ(e.code(), dx8::DPNERR_INVALIDPLAYER);
    }
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Orvel"));
}

TEST_F(SessionEvents, TheOtherNotificationsLeaveEverythingAlone) {
    bool reject = false;
    dx8::DPNMSG_ASYNC_OP_COMPLETE op;
    dx8::DPNMSG_SEND_COMPLETE send;
    dx8::DPNMSG_INDICATE_CONNECT indicate;
    session().DirectPlay8Event_AsyncOpComplete(op, reject);
    session().DirectPlay8Event_SendComplete(send, reject);
    session().DirectPlay8Event_IndicateConnect(indicate, reject);
    session().DirectPlay8Event_InfoNotify(dx8::DPN_MSGID_PEER_INFO, 3, reject);
    EXPECT_FALSE(reject);
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(history().isEmpty());
}

// Whether one's car comes out of a game is told once known: on every change, and to each
// player who comes.
TEST_F(Roster, OnesOwnGameIsToldToTheOthers) {
    join({{1, "Ann", true}, {2, "Bob"}});
    EXPECT_TRUE(peer->sends.empty());  // not known yet
    const DPNID all = dx8::DPNID_ALL_PLAYERS_GROUP;
    struct Step {
        std::function<void()> what;
        std::optional<DPNID> to;  // none: nothing sent
        bool linked;
    };
    const Step steps[] = {
        {[&] { session().setGameLinked(false); }, all, false},
        {[&] { session().setGameLinked(false); }, std::nullopt, false},
        {[&] {
             join({{3, "Cy"}});
         },
         3u, false},
        {[&] { session().setGameLinked(true); }, all, true},
    };
    for (const Step& s : steps) {
        peer->sends.clear();
        s.what();
        ASSERT_EQ(peer->sends.size(), s.to ? 1u : 0u);
        if (s.to) {
            expectSent(peer->sends[0], *s.to, orvel::BuildGameLinkMessage(s.linked));
        }
    }
}

// ---- Receipt -------------------------------------------------------------------------------

class Receipt : public ChatFixture {
protected:
    void SetUp() override {
        ChatFixture::SetUp();
        join({{1, "Ann", true}, {0x41, "Bob"}, {0x42, "Cy"}});
    }
    void expectCarIn(int slot, const orvel::CarState& s, const orvel::gamemap::Edition& e) {
        const uint32_t r = e.localCarRecord + static_cast<uint32_t>(slot) * 0x11B4;
        const auto w = writes();
        ASSERT_EQ(w.size(), 3u);
        const uint32_t where[3] = {r, r + 0x3DC, r + 0x3E4};
        const uint32_t sizes[3] = {128, 8, 8};
        const size_t from[3] = {0, 128, 136};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(w[i].address, where[i]) << i;
            ASSERT_EQ(w[i].length, sizes[i]) << i;
            EXPECT_TRUE(std::equal(w[i].data.begin(), w[i].data.end(), s.begin() + from[i])) << i;
        }
        // The three pieces, and not a byte besides.
        const auto changed = changes();
        for (const auto& [address, length] : changed) {
            for (uint32_t a = address; a < address + length; ++a) {
                bool inside = false;
                for (int i = 0; i < 3; ++i) {
                    inside |= a >= where[i] && a < where[i] + sizes[i];
                }
                EXPECT_TRUE(inside) << std::hex << a;
            }
        }
    }
};

TEST_F(Receipt, ChatAndWhisperShowTheSendersName) {
    receive(0x41, textMessage(orvel::ChatMessage, QStringLiteral("hello")));
    receive(0x42, textMessage(orvel::WhisperMessage, QStringLiteral("hello")));
    receive(0x99, textMessage(orvel::ChatMessage, QStringLiteral("who?")));
    receive(0x99, textMessage(orvel::WhisperMessage, QStringLiteral("me")));
    receive(0x41, textMessage(orvel::ChatMessage, QString()));
    EXPECT_TRUE(
        history().endsWith(QStringLiteral("<Bob> hello\r\n"
                                          "**<Cy>** hello\r\n"
                                          "<> who?\r\n"
                                          "**<>** me\r\n"
                                          "<Bob> \r\n")));
    EXPECT_EQ(window->lastChatLine, QStringLiteral("<Bob> "));
}

// Lines no player should be able to send: longer than a line may be, or holding breaks and
// control characters that would fake a line from another player or reach the game's line.
TEST_F(Receipt, HostileTextShowsAsOneShortLineOfPlainText) {
    const QString cjk = QStringLiteral("\u65E5\u672C\u8A9E");
    const struct {
        const char* what;
        QString text;
        QString shown;  // after the sender's name
    } cases[] = {
        {"a MiB", QString(1 << 20, u'a'), QString(1024, u'a')},
        {"a MiB of CJK, cut at a character", cjk.repeated(116508), cjk.repeated(114).left(341)},
        {"a fake line", "gg\r\n<Host> please leave", "gg  <Host> please leave"},
        {"NUL, ESC, DEL, C1, bidi",
         QStringLiteral("a") + QChar(0) + "b\x1B[2Jc\x7F\u0085d\u202Ee\u2066f", "ab[2Jcdef"},
    };
    startGame();
    race(true);
    for (const auto& c : cases) {
        const QString before = history();
        receive(0x41, textMessage(orvel::ChatMessage, c.text));
        EXPECT_EQ(history(), before + "<Bob> " + c.shown + kCrLf) << c.what;
        EXPECT_EQ(window->lastChatLine, "<Bob> " + c.shown) << c.what;
        // The game gets its 50 bytes of the line's start, and nothing that moves its cursor.
        const QString field = QString::fromLatin1(bytesAt(kStandard.messageLastLine, 50));
        EXPECT_TRUE(field.startsWith("Bob> " + orvel::transliterateForGame(c.shown.left(3))))
            << c.what;
        EXPECT_FALSE(field.contains(QRegularExpression("[\\x00-\\x1F\\x7F]"))) << c.what;
    }
}

TEST_F(Receipt, AReceivedLineIsEchoedIntoTheGameDuringARace) {
    startGame();
    race(true);
    receive(0x41, textMessage(orvel::ChatMessage, QStringLiteral("caf\u00E9 \u65E5")));
    EXPECT_EQ(bytesAt(kStandard.messageLastLine, 50),
              QByteArray("Bob> caf\xE9 ri", 12) + QByteArray(38, ' '));
}

TEST_F(Receipt, ACarStateGoesIntoTheSendersSlotInThreePieces) {
    startGame();
    race(true);
    const orvel::CarState s = carState(0x30);
    receive(0x42, orvel::BuildCarStateMessage(s));
    expectCarIn(2, s, kStandard);
    snapshot();
    receive(0x41, orvel::BuildCarStateMessage(carState(0x90)));
    expectCarIn(1, carState(0x90), kStandard);
}

TEST_F(Receipt, TheMxEditionUsesOnlyItsOwnAddresses) {
    orvel::gameVersion = 1;
    startGame();
    race(true);
    const orvel::CarState s = carState(0x11);
    receive(0x41, orvel::BuildCarStateMessage(s));
    expectCarIn(1, s, kMX);
}

TEST_F(Receipt, ANewPlayerInAFreedSlotDrivesThatCar) {
    destroy(0x41);
    join({{0x43, "Di"}});
    ASSERT_EQ(carSlots()[0], 0x43u);
    startGame();
    race(true);
    receive(0x41, orvel::BuildCarStateMessage(carState(1)));  // gone: no slot
    EXPECT_TRUE(writes().empty());
    receive(0x43, orvel::BuildCarStateMessage(carState(2)));
    expectCarIn(1, carState(2), kStandard);
}

TEST_F(Receipt, NothingIsWrittenOnTheMenuOrForASenderWithoutASlot) {
    startGame();
    receive(0x41, orvel::BuildCarStateMessage(carState(5)));  // menu
    race(true);
    receive(0x77, orvel::BuildCarStateMessage(carState(5)));  // no slot
    receive(0, orvel::BuildCarStateMessage(carState(5)));     // nobody: free slots hold 0
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(changes().empty());
    scope.os.removeWindows();  // the game closed
    receive(0x41, orvel::BuildCarStateMessage(carState(5)));
    EXPECT_TRUE(writes().empty());
}

// A player whose game has gone shows so, and its car stands where it stopped until the game is
// back.
TEST_F(Receipt, APlayerWithoutAGameIsMarkedAndItsCarLeftWhereItStopped) {
    startGame();
    race(true);
    const QString lines = history();
    struct Step {
        bool linked;
        QStringList roster;
        bool carWritten;
    };
    for (const Step& s : {Step{false, {"Ann", "Bob (no game)", "Cy"}, false},
                          Step{true, {"Ann", "Bob", "Cy"}, true}}) {
        receive(0x41, orvel::BuildGameLinkMessage(s.linked));
        EXPECT_EQ(rosterNames(), s.roster);
        snapshot();
        receive(0x41, orvel::BuildCarStateMessage(carState(7)));
        EXPECT_EQ(writes().empty(), !s.carWritten);
    }
    EXPECT_EQ(history(), lines);
}

TEST_F(Receipt, OtherTypesChangeNothing) {
    startGame();
    race(true);
    const QString lines = history();
    for (int32_t type : {5, 4, 255, -1, 0x7FFFFFFF}) {
        QByteArray m = orvel::BuildCarStateMessage(carState(9));
        std::memcpy(m.data(), &type, 4);
        receive(0x41, m);
    }
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(history(), lines);
}

// ---- Layout --------------------------------------------------------------------------------

TEST_F(ChatFixture, TheControlsStandWhereTheLayoutPutsThem) {
    struct Place {
        QWidget* w;
        int left, top, width, height;  // twips
    };
    const Place places[] = {
        {window->txtChat, 60, 60, 5595, 4635},
        {window->txtSend, 60, 4740, 5595, 285},
        {window->lstUsers, 5760, 120, 1815, 4545},
        {window->cmdWhisper, 5820, 4740, 1695, 255},
    };
    // Twips are 1/15 of a pixel at the layout's scale; the scale follows the font.
    const double scale = window->txtChat->width() / (5595 / 15.0);
    ASSERT_GE(scale, 1.0);
    for (const Place& p : places) {
        SCOPED_TRACE(p.w->objectName().toStdString());
        EXPECT_NEAR(p.w->x(), p.left / 15.0 * scale, 1.0);
        EXPECT_NEAR(p.w->y(), p.top / 15.0 * scale, 1.0);
        EXPECT_NEAR(p.w->width(), p.width / 15.0 * scale, 1.0);
        EXPECT_NEAR(p.w->height(), p.height / 15.0 * scale, 1.0);
    }
    EXPECT_EQ(window->cmdWhisper->text(), QStringLiteral("Whisper"));
    EXPECT_TRUE(window->txtChat->isReadOnly());

    // The layout's size is the smallest; what the window gains goes to the chat history (and
    // the roster's height), and the rest moves with it.
    window->show();
    const QSize first = window->size();
    EXPECT_EQ(window->minimumSize(), first);
    std::vector<QRect> before;
    for (const Place& p : places) {
        before.push_back(p.w->geometry());
    }
    window->resize(first + QSize(100, 80));
    EXPECT_EQ(window->txtChat->geometry(), before[0].adjusted(0, 0, 100, 80));
    EXPECT_EQ(window->txtSend->geometry(), before[1].adjusted(0, 80, 100, 80));
    EXPECT_EQ(window->lstUsers->geometry(), before[2].adjusted(100, 0, 100, 80));
    EXPECT_EQ(window->cmdWhisper->geometry(), before[3].translated(100, 80));
}

// The reachability line has a place of its own that holds every kind of text it may show, so
// none of them moves or grows anything.
TEST_F(ChatFixture, EveryReachabilityLineFitsItsPlace) {
    window->show();
    const QSize size = window->size();
    const QRect place = window->lblInternet->geometry();
    const QRect session = window->lblSession->geometry();
    for (const char* outside : {"40.40.40.10", "192.168.0.5", "100.64.0.9", "0.0.0.0", ""}) {
        for (const auto state :
             {orvel::net::PortMapper::State::Mapped, orvel::net::PortMapper::State::Failed,
              orvel::net::PortMapper::State::Trying}) {
            orvel::Reach reach;
            reach.hosting = true;
            reach.port = 2399;
            reach.lanIpv4 = 0xC0A8FF80u;
            reach.state = state;
            if (*outside != '\0') {
                orvel::net::Mapping m;
                m.externalAddress = QString::fromLatin1(outside);
                m.externalPort = 2400;
                reach.mapping = m;
            }
            const QString text = orvel::reachabilityText(reach);
            SCOPED_TRACE(text.toStdString());
            window->lblInternet->setText(text);
            QApplication::processEvents();
            EXPECT_EQ(window->size(), size);
            EXPECT_EQ(window->lblInternet->geometry(), place);
            EXPECT_EQ(window->lblSession->geometry(), session);
            EXPECT_LE(window->lblInternet->heightForWidth(place.width()), place.height());
        }
    }
}

}  // namespace
}  // namespace chat_test
