// The in-game chat of the main window on the offscreen platform: keys come from the system
// keyboard device fed by a scripted key source (or from a device that hands out whatever it is
// told to), the game is a fake window system and process whose memory writes are logged.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QSignalSpy>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>

#include "common/orvel_globals.h"
#include "game_link/game_memory_map.h"
#include "ingame_chat/ingame_chat.h"
#include "main_window/chat_history_box.h"
#include "main_window/frm_chat.h"
#include "platform/dx8/directx8.h"
#include "platform/dx8/input/keyboard_device.h"
#include "session/mod_dplay.h"
#include "stub_peer.h"
#include "unit/game_link/fake_os.h"
#include "wait.h"

namespace orvel {
namespace {

using testing::FakeOs;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kGameWindow = 0x400007;
constexpr uint32_t kOtherWindow = 0x600003;
constexpr uint32_t kGamePid = 4242;
// Both editions' data lies in this range.
constexpr uint32_t kDataStart = 0x536000;
constexpr uint32_t kDataLength = 0x5FF000 - 0x536000;
constexpr uint8_t kFill = 0xEE;

Bytes bytesOf(const char* text, bool nul) {
    Bytes b(text, text + std::strlen(text));
    if (nul) {
        b.push_back(0);
    }
    return b;
}

Bytes valueBytes() {
    return {0xFF, 0xE3, 0x0B, 0x54};
}

QString padded(const QString& text) {
    return text.leftJustified(gamemap::kLastLineLength, QLatin1Char(' '));
}

// The last-line field as the game holds it: text padded with blanks, no NUL.
Bytes field(const QString& text) {
    return bytesOf(qPrintable(padded(text)), false);
}

struct Write {
    uint32_t address;
    Bytes data;
    bool operator==(const Write&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Write& w) {
    out << std::hex << "0x" << w.address << ": \"";
    for (uint8_t b : w.data) {
        if (b >= 0x20 && b < 0x7F) {
            out << static_cast<char>(b);
        } else {
            out << "\\x" << static_cast<int>(b);
        }
    }
    return out << "\"" << std::dec;
}

// Keys as the X reader reports them: the state follows each press and release.
class ScriptedSource : public dx8::KeySource {
public:
    explicit ScriptedSource(Sink s) : sink(std::move(s)) {}
    bool keyState(std::array<uint8_t, 256>& out) override {
        out = state;
        return true;
    }
    bool focusWithin(uint32_t) override { return false; }
    bool lost() const override { return false; }

    void key(int16_t dik, bool down, bool updateState = true) {
        if (updateState) {
            state[static_cast<size_t>(static_cast<uint8_t>(dik))] = down ? 0x80 : 0x00;
        }
        sink(dik, down, ++clock);
    }

    Sink sink;
    std::array<uint8_t, 256> state{};
    uint32_t clock = 5000;
};

class InGameChat : public ::testing::Test {
protected:
    void SetUp() override {
        window.Timer1->stop();  // only keys touch the game here
        os().addWindow(kGameWindow, GameTitle, kGamePid);
        os().addWindow(kOtherWindow, QStringLiteral("Terminal"), 77);
        os().map(kGamePid, kDataStart, kDataLength, kFill);
        setRace(true);
        os().foreground = kGameWindow;
        ASSERT_FALSE(window.isPlaying());  // the first look attaches
        ASSERT_TRUE(window.isPlaying());
        ASSERT_TRUE(window.isFocused());

        dx.dpPeer = peer;
        dx.dxRoot = std::make_shared<dx8::DirectX8>();
        dx.diInput = std::make_shared<dx8::DirectInputObject>(
            [this](dx8::KeySource::Sink sink, std::string*) {
                auto s = std::make_unique<ScriptedSource>(std::move(sink));
                source = s.get();
                return s;
            });
        dx.diKeyboard = dx.diInput->CreateDevice(dx8::GUID_SysKeyboard);
        dx.diKeyboard->SetCommonDataFormat(dx8::DIFORMAT_KEYBOARD);
        dx.diKeyboard->SetCooperativeLevel(0, dx8::DISCL_NONEXCLUSIVE | dx8::DISCL_BACKGROUND);
        dx.keyboardEvent = dx.dxRoot->CreateEvent(&window);
        dx.diKeyboard->SetEventNotification(dx.keyboardEvent);
        dx8::DIPROPLONG size;
        size.lData = 10;
        dx.diKeyboard->SetProperty(dx8::DIPROP_BUFFERSIZE, size);
        dx.diKeyboard->Acquire();

        window.localPlayerName = QStringLiteral("Ann");
        os().calls.clear();
    }

    void TearDown() override {
        if (dx.dxRoot && dx.keyboardEvent != 0) {
            dx.dxRoot->DestroyEvent(dx.keyboardEvent);
        }
    }

    FakeOs& os() { return scope.os; }

    void setRace(bool on) {
        const gamemap::Edition& at = gamemap::edition(gameVersion);
        os().pokeFloat(kGamePid, at.playValue, on ? 12.5f : 0.0f);
        os().pokeLong(kGamePid, at.statusWord, on ? 0 : 1);
    }

    // Runs the GUI thread until the device has nothing waiting (its callback took it).
    void deliver() {
        const bool taken = orvel::testing::waitUntil([&] {
            std::array<dx8::DIDEVICEOBJECTDATA, 11> peek{};
            return dx.diKeyboard->GetDeviceData(peek.data(), 11, dx8::DIGDD_PEEK) == 0;
        });
        QCoreApplication::processEvents();  // a run signalled during the last one
        if (!taken) {
            ADD_FAILURE() << "the keyboard callback never took the waiting keys";
        }
    }
    void down(int16_t dik) {
        source->key(dik, true);
        deliver();
    }
    void up(int16_t dik) {
        source->key(dik, false);
        deliver();
    }
    void tap(int16_t dik) {
        down(dik);
        up(dik);
    }
    void type(std::initializer_list<int16_t> keys) {
        for (int16_t dik : keys) {
            tap(dik);
        }
    }
    void shifted(int16_t dik, int16_t shift = dx8::DIK_LSHIFT) {
        down(shift);
        tap(dik);
        up(shift);
    }
    void openLine() {
        tap(dx8::DIK_T);
        ASSERT_TRUE(window.ingame().gameChatOpen);
        os().calls.clear();
    }

    // The memory writes since the last clear, in order.
    std::vector<Write> writes() const {
        std::vector<Write> out;
        for (const FakeOs::Call& c : scope.os.callsOf(FakeOs::Kind::Write)) {
            out.push_back({c.address, c.data});
        }
        return out;
    }
    std::vector<Write> takeWrites() {
        std::vector<Write> w = writes();
        os().calls.clear();
        return w;
    }
    // The line is closed and the game untouched since the last clear.
    void expectClosedUnwritten() {
        EXPECT_FALSE(window.ingame().gameChatOpen);
        EXPECT_TRUE(writes().empty());
    }
    // The input line's write that goes with gameChatText: the value first, then text and NUL.
    std::vector<Write> lineRewrite(const char* text) const {
        const gamemap::Edition& at = gamemap::edition(gameVersion);
        return {{at.messageValue, valueBytes()}, {at.messageInputLine, bytesOf(text, true)}};
    }

    testing::FakeOsScope scope;
    std::shared_ptr<testing::StubPeer> peer = std::make_shared<testing::StubPeer>();
    ModDplay dx;
    frmChat window{dx};
    ScriptedSource* source = nullptr;
};

TEST_F(InGameChat, TOpensTheLineWithTheLastChatLineAndThePrompt) {
    window.lastChatLine = QStringLiteral("<Bob> see you at the bridge");
    tap(dx8::DIK_T);
    EXPECT_TRUE(window.ingame().gameChatOpen);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >"));
    const std::vector<Write> expected = {
        {0x53B78C, valueBytes()},
        {0x53B72C, field(QStringLiteral("Bob> see you at the bridge"))},
        {0x53B75E, bytesOf(" >", true)},
    };
    EXPECT_EQ(takeWrites(), expected);
    EXPECT_EQ(window.lastChatLine, QStringLiteral("<Bob> see you at the bridge"));
    EXPECT_EQ(os().peek(kGamePid, 0x53B75E, 3), bytesOf(" >", true));

    // The release of T and the T typed into the open line.
    tap(dx8::DIK_T);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >T"));
    EXPECT_EQ(takeWrites(), lineRewrite(" >T"));
}

TEST_F(InGameChat, TheEchoIsCutAndPaddedToFiftyCharacters) {
    const std::pair<QString, Bytes> cases[] = {
        // Characters 2 to 51 of a long line; an empty line gives blanks only.
        {QStringLiteral("x") + QString(60, QLatin1Char('y')), Bytes(50, 'y')},
        {QString(), Bytes(50, ' ')},
        // Characters the game cannot hold still count one each, so the field is always filled.
        {QStringLiteral("<Ann> \U0001F3C1 go"), field(QStringLiteral("Ann> ? go"))},
    };
    for (const auto& [line, expected] : cases) {
        SCOPED_TRACE(line.toStdString());
        window.lastChatLine = line;
        os().calls.clear();
        tap(dx8::DIK_T);
        ASSERT_GE(writes().size(), 2u);
        EXPECT_EQ(writes()[1].data.size(), 50u);
        EXPECT_EQ(writes()[1], (Write{0x53B72C, expected}));
        tap(dx8::DIK_RETURN);
    }
}

TEST_F(InGameChat, OpeningTwiceShowsTheSameLastLine) {
    window.lastChatLine = QStringLiteral("<Bob> hi");
    tap(dx8::DIK_T);
    const std::vector<Write> first = takeWrites();
    tap(dx8::DIK_RETURN);
    // Enter with only the prompt sends nothing, so the last line stays.
    ASSERT_EQ(window.lastChatLine, QStringLiteral("<Bob> hi"));
    os().calls.clear();
    tap(dx8::DIK_T);
    EXPECT_EQ(takeWrites(), first);
}

TEST_F(InGameChat, ClosedLineTypesAndWritesNothing) {
    type({dx8::DIK_A, dx8::DIK_RETURN, dx8::DIK_BACK, dx8::DIK_ESCAPE, dx8::DIK_SPACE, dx8::DIK_1});
    expectClosedUnwritten();
    EXPECT_TRUE(window.ingame().gameChatText.isEmpty());
}

TEST_F(InGameChat, TOutsideARaceOrWithoutTheFocusDoesNotOpen) {
    setRace(false);
    tap(dx8::DIK_T);
    expectClosedUnwritten();

    setRace(true);
    os().foreground = kOtherWindow;
    tap(dx8::DIK_T);
    expectClosedUnwritten();

    // Paused: the status word is not 0.
    os().foreground = kGameWindow;
    os().pokeLong(kGamePid, gamemap::kStandard.statusWord, 2);
    tap(dx8::DIK_T);
    expectClosedUnwritten();

    os().removeWindows();
    tap(dx8::DIK_T);
    expectClosedUnwritten();
}

TEST_F(InGameChat, TypedKeysRewriteTheLineInUpperCase) {
    openLine();
    tap(dx8::DIK_H);
    EXPECT_EQ(takeWrites(), lineRewrite(" >H"));
    tap(dx8::DIK_I);
    EXPECT_EQ(takeWrites(), lineRewrite(" >HI"));
    type({dx8::DIK_SPACE, dx8::DIK_2, dx8::DIK_SLASH});
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >HI 2/"));
    EXPECT_EQ(os().peek(kGamePid, 0x53B75E, 8), bytesOf(" >HI 2/", true));
    EXPECT_EQ(os().peek(kGamePid, 0x53B78C, 4), valueBytes());
}

TEST_F(InGameChat, EveryCodeUpToFiftyEightTypesItsTableEntry) {
    for (int shift = 0; shift < 2; ++shift) {
        for (int16_t code = 0; code <= 58; ++code) {
            if (code == dx8::DIK_RETURN || code == dx8::DIK_BACK) {
                continue;
            }
            SCOPED_TRACE(::testing::Message() << "code " << code << " shift " << shift);
            window.ingame().gameChatOpen = true;
            window.ingame().gameChatText = QStringLiteral(" >");
            if (code == 0) {
                // No key reports code 0; a press with it is typed like any other code.
                source->sink(0, true, 1);
                deliver();
                source->sink(0, false, 2);
                deliver();
            } else if (shift && (code == dx8::DIK_LSHIFT || code == dx8::DIK_RSHIFT)) {
                tap(code);
            } else if (shift) {
                shifted(code, code == dx8::DIK_RSHIFT ? dx8::DIK_LSHIFT : dx8::DIK_RSHIFT);
            } else {
                tap(code);
            }
            EXPECT_EQ(window.ingame().gameChatText,
                      QStringLiteral(" >") + KeyToChar(code, shift != 0));
            EXPECT_TRUE(window.ingame().gameChatOpen);
        }
    }
}

TEST_F(InGameChat, ShiftedKeysTypeTheirShiftedCharacters) {
    openLine();
    shifted(dx8::DIK_1);
    shifted(dx8::DIK_COMMA);  // above left Shift's code
    shifted(dx8::DIK_SLASH, dx8::DIK_RSHIFT);
    shifted(dx8::DIK_SPACE, dx8::DIK_RSHIFT);  // above right Shift's code
    shifted(dx8::DIK_M);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >!<? M"));

    // Shift pressed on its own rewrites the line but adds nothing.
    os().calls.clear();
    down(dx8::DIK_LSHIFT);
    EXPECT_EQ(takeWrites(), lineRewrite(" >!<? M"));
    // Both held, one let go: still shifted.
    down(dx8::DIK_RSHIFT);
    up(dx8::DIK_LSHIFT);
    tap(dx8::DIK_PERIOD);
    up(dx8::DIK_RSHIFT);
    tap(dx8::DIK_PERIOD);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >!<? M>."));
}

TEST_F(InGameChat, AQuickShiftedTapOverBeforeTheCallbackStillShifts) {
    openLine();
    // All four events wait for one notification; by then every key is up again.
    source->key(dx8::DIK_LSHIFT, true);
    source->key(dx8::DIK_1, true);
    source->key(dx8::DIK_1, false);
    source->key(dx8::DIK_LSHIFT, false);
    deliver();
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >!"));

    // Shift's press came with an earlier notification, its release has not reached the device
    // yet, but the key state already shows it up.
    down(dx8::DIK_RSHIFT);
    source->state[dx8::DIK_RSHIFT] = 0;
    source->key(dx8::DIK_COMMA, true);
    source->key(dx8::DIK_COMMA, false);
    deliver();
    source->key(dx8::DIK_RSHIFT, false);
    deliver();
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >!<"));

    // Nothing shifted after that.
    tap(dx8::DIK_COMMA);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >!<,"));
}

TEST_F(InGameChat, AShiftHeldSinceBeforeTheDeviceStartedCounts) {
    openLine();
    source->state[dx8::DIK_LSHIFT] = 0x80;  // down, but no event ever came for it
    tap(dx8::DIK_4);
    source->state[dx8::DIK_LSHIFT] = 0;
    tap(dx8::DIK_4);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >$4"));
}

TEST_F(InGameChat, AKeyStillHeldIsNotTypedAgain) {
    openLine();
    down(dx8::DIK_A);
    down(dx8::DIK_B);  // A is still down and has the lower code
    down(dx8::DIK_Q);
    up(dx8::DIK_A);
    up(dx8::DIK_B);
    up(dx8::DIK_Q);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >ABQ"));
}

TEST_F(InGameChat, PressesFoldedIntoOneNotificationAreAllTyped) {
    openLine();
    for (int16_t dik : {dx8::DIK_G, dx8::DIK_O}) {
        source->key(dik, true);
        source->key(dik, false);
    }
    deliver();
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >GO"));
    std::vector<Write> both = lineRewrite(" >G");
    const std::vector<Write> second = lineRewrite(" >GO");
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(takeWrites(), both);
}

TEST_F(InGameChat, BackspaceNeverRemovesThePrompt) {
    openLine();
    tap(dx8::DIK_BACK);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >"));
    EXPECT_EQ(takeWrites(), lineRewrite(" >"));  // rewritten all the same
    type({dx8::DIK_X, dx8::DIK_Y, dx8::DIK_BACK});
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >X"));
    type({dx8::DIK_BACK, dx8::DIK_BACK, dx8::DIK_BACK, dx8::DIK_BACK});
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >"));
    EXPECT_TRUE(window.ingame().gameChatOpen);
    EXPECT_EQ(os().peek(kGamePid, 0x53B75E, 3), bytesOf(" >", true));
}

TEST_F(InGameChat, TheFortyNinthCharacterIsRefusedButTheLineRewritten) {
    openLine();
    for (int i = 0; i < 48; ++i) {
        tap(i % 2 ? dx8::DIK_B : dx8::DIK_A);
    }
    const QString full = window.ingame().gameChatText;
    ASSERT_EQ(full.size(), 50);
    os().calls.clear();
    tap(dx8::DIK_Z);
    EXPECT_EQ(window.ingame().gameChatText, full);
    // The game shows the prompt and the end of the line, as much as fits before the 4-byte
    // value 46 bytes on; the value stays as it was.
    const QString shown = QStringLiteral(" >") + full.right(43);
    EXPECT_EQ(takeWrites(), lineRewrite(qPrintable(shown)));
    EXPECT_EQ(os().peek(kGamePid, 0x53B75E, 46), bytesOf(qPrintable(shown), true));
    EXPECT_EQ(os().peek(kGamePid, 0x53B78C, 4), (std::vector<uint8_t>{0xFF, 0xE3, 0x0B, 0x54}));
    tap(dx8::DIK_BACK);
    tap(dx8::DIK_Z);
    EXPECT_TRUE(window.ingame().gameChatText.endsWith(QStringLiteral("AZ")));
    EXPECT_EQ(window.ingame().gameChatText.size(), 50);
}

TEST_F(InGameChat, EscapeTypesNothingAndLeavesTheLineOpen) {
    openLine();
    tap(dx8::DIK_ESCAPE);
    EXPECT_TRUE(window.ingame().gameChatOpen);
    EXPECT_EQ(takeWrites(), lineRewrite(" >"));
}

TEST_F(InGameChat, EnterPutsTheLineLowerCaseIntoTxtSendAndClearsTheGameLine) {
    QSignalSpy changes(window.txtSend, &QLineEdit::textChanged);
    window.txtSend->setText(QStringLiteral("draft in the window"));
    openLine();
    type({dx8::DIK_H, dx8::DIK_I, dx8::DIK_SPACE, dx8::DIK_2});
    shifted(dx8::DIK_1);
    os().calls.clear();
    changes.clear();
    tap(dx8::DIK_RETURN);
    ASSERT_GE(changes.size(), 1);
    EXPECT_EQ(changes.first().first().toString(), QStringLiteral("hi 2!"));
    EXPECT_FALSE(window.ingame().gameChatOpen);
    EXPECT_TRUE(window.ingame().gameChatText.isEmpty());
    // The chat window echoes the sent line as the last line; then the game's input line gets one
    // NUL, with no value written for it.
    const std::vector<Write> expected = {
        {0x53B78C, valueBytes()},
        {0x53B72C, field(QStringLiteral("Ann>hi 2!"))},
        {0x53B75E, Bytes{0}},
    };
    EXPECT_EQ(writes(), expected);
    EXPECT_EQ(os().peek(kGamePid, 0x53B75E, 4), (Bytes{0, '>', 'H', 'I'}));
    // Sent exactly as a line typed into the window: to everyone, in the history, and as the
    // game's last line.
    ASSERT_EQ(peer->sends.size(), 1u);
    EXPECT_EQ(peer->sends[0].data, BuildTextMessage(ChatMessage, QStringLiteral("hi 2!")));
    EXPECT_TRUE(window.txtSend->text().isEmpty());
    EXPECT_EQ(window.lastChatLine, QStringLiteral("<Ann>hi 2!"));
    EXPECT_TRUE(window.txtChat->text().endsWith(QStringLiteral("<Ann>hi 2!\r\n")));
    EXPECT_EQ(os().peek(kGamePid, 0x53B72C, 50), field(QStringLiteral("Ann>hi 2!")));

    // Closed: keys type nothing until T opens it again.
    os().calls.clear();
    tap(dx8::DIK_A);
    tap(dx8::DIK_RETURN);
    EXPECT_TRUE(writes().empty());
}

TEST_F(InGameChat, EnterOnTheBarePromptSendsNothingButClearsAndCloses) {
    QSignalSpy changes(window.txtSend, &QLineEdit::textChanged);
    window.txtSend->setText(QStringLiteral("draft"));
    openLine();
    changes.clear();
    tap(dx8::DIK_RETURN);
    EXPECT_TRUE(window.txtSend->text().isEmpty());
    EXPECT_EQ(changes.size(), 1);  // "draft" overwritten by the empty line, nothing more
    EXPECT_FALSE(window.ingame().gameChatOpen);
    EXPECT_EQ(writes(), (std::vector<Write>{{0x53B75E, Bytes{0}}}));
    EXPECT_TRUE(window.txtChat->text().isEmpty());
    EXPECT_TRUE(window.lastChatLine.isEmpty());
    EXPECT_TRUE(peer->sends.empty());
}

TEST_F(InGameChat, LosingTheFocusClosesTheLineWithoutWriting) {
    openLine();
    tap(dx8::DIK_A);
    os().calls.clear();
    os().foreground = kOtherWindow;
    tap(dx8::DIK_B);
    expectClosedUnwritten();
    // Back in the game the line stays closed until T.
    os().foreground = kGameWindow;
    tap(dx8::DIK_C);
    EXPECT_TRUE(writes().empty());
    tap(dx8::DIK_T);
    EXPECT_TRUE(window.ingame().gameChatOpen);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >"));

    // A game that has gone closes it too.
    os().calls.clear();
    os().removeWindows();
    tap(dx8::DIK_D);
    expectClosedUnwritten();
}

TEST_F(InGameChat, OutsideARaceTheOpenLineIsEditedButNotWritten) {
    openLine();
    setRace(false);  // back on the menu, focus kept
    type({dx8::DIK_O, dx8::DIK_K, dx8::DIK_BACK});
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >O"));
    EXPECT_TRUE(writes().empty());
    // Enter still clears the game's line.
    tap(dx8::DIK_RETURN);
    EXPECT_FALSE(window.ingame().gameChatOpen);
    const std::vector<Write> w = writes();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.back(), (Write{0x53B75E, Bytes{0}}));
}

TEST_F(InGameChat, TheMxEditionUsesItsOwnAddresses) {
    gameVersion = 1;
    setRace(true);
    ASSERT_TRUE(window.isPlaying());
    window.lastChatLine = QStringLiteral("<Bob> mx");
    tap(dx8::DIK_T);
    const std::vector<Write> open = {
        {0x536624, valueBytes()},
        {0x5365C4, field(QStringLiteral("Bob> mx"))},
        {0x5365F6, bytesOf(" >", true)},
    };
    EXPECT_EQ(takeWrites(), open);
    tap(dx8::DIK_W);
    EXPECT_EQ(takeWrites(), lineRewrite(" >W"));
    tap(dx8::DIK_RETURN);
    const std::vector<Write> w = writes();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.back(), (Write{0x5365F6, Bytes{0}}));
    // Nothing went to the standard edition's message area.
    for (const Write& x : w) {
        EXPECT_TRUE(x.address < 0x53B72C || x.address >= 0x53B790) << x;
    }
}

TEST_F(InGameChat, AReleaseAloneDoesNothing) {
    openLine();
    down(dx8::DIK_A);
    os().calls.clear();
    up(dx8::DIK_A);
    // A release of a key never seen going down.
    source->key(dx8::DIK_J, false);
    deliver();
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >A"));
}

TEST_F(InGameChat, KeysAboveFiftyEightAreIgnoredAndNeverBlockTyping) {
    openLine();
    for (int16_t dik : {dx8::DIK_F1, dx8::DIK_F10, dx8::DIK_NUMPAD7, dx8::DIK_UP, dx8::DIK_DELETE,
                        dx8::DIK_RMENU}) {
        down(dik);  // all held down from here on
    }
    EXPECT_TRUE(writes().empty());
    tap(dx8::DIK_A);
    tap(dx8::DIK_Z);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >AZ"));
    // T with function keys held still opens a closed line.
    tap(dx8::DIK_RETURN);
    tap(dx8::DIK_T);
    EXPECT_TRUE(window.ingame().gameChatOpen);
}

TEST_F(InGameChat, ANotificationWithNothingWaitingHandlesNothing) {
    openLine();
    down(dx8::DIK_A);
    ASSERT_EQ(window.ingame().gameChatText, QStringLiteral(" >A"));
    os().calls.clear();
    // A is still down in the key state, but its event has been handled already.
    window.DirectXEvent8_DXCallback(dx.keyboardEvent);
    window.DirectXEvent8_DXCallback(dx.keyboardEvent);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >A"));
    EXPECT_TRUE(writes().empty());
}

TEST_F(InGameChat, OtherEventsAndAMissingDeviceAreIgnored) {
    openLine();
    source->key(dx8::DIK_A, true);
    window.DirectXEvent8_DXCallback(dx.keyboardEvent + 1000);
    std::array<dx8::DIDEVICEOBJECTDATA, 11> peek{};
    EXPECT_EQ(dx.diKeyboard->GetDeviceData(peek.data(), 11, dx8::DIGDD_PEEK), 1);  // left waiting

    const auto device = dx.diKeyboard;
    dx.diKeyboard.reset();
    window.DirectXEvent8_DXCallback(dx.keyboardEvent);
    EXPECT_EQ(device->GetDeviceData(peek.data(), 11, dx8::DIGDD_PEEK), 1);
    dx.diKeyboard = device;
    deliver();
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >A"));
}

// A device that hands the handler whatever a test tells it to, right or wrong.
class RogueDevice : public dx8::DirectInputDevice8 {
public:
    void SetCommonDataFormat(int32_t) override {}
    void SetCooperativeLevel(uintptr_t, int32_t) override {}
    void SetEventNotification(int32_t) override {}
    void SetProperty(const QString&, const dx8::DIPROPLONG&) override {}
    void Acquire() override {}
    void Unacquire() override {}
    void GetDeviceStateKeyboard(dx8::DIKEYBOARDSTATE& s) override {
        if (failState) {
            throw dx8::DxError(dx8::DIERR_INPUTLOST, "state");
        }
        s = state;
    }
    int32_t GetDeviceData(dx8::DIDEVICEOBJECTDATA* out, int32_t capacity, int32_t) override {
        ++reads;
        if (failData) {
            throw std::runtime_error("data");
        }
        const size_t n = std::min(events.size(), static_cast<size_t>(std::max(capacity, 0)));
        std::copy_n(events.begin(), n, out);
        events.clear();
        return claimed.value_or(static_cast<int32_t>(n));
    }

    dx8::DIKEYBOARDSTATE state;
    std::vector<dx8::DIDEVICEOBJECTDATA> events;
    std::optional<int32_t> claimed;
    bool failState = false;
    bool failData = false;
    int reads = 0;
};

dx8::DIDEVICEOBJECTDATA event(int32_t ofs, int32_t data) {
    dx8::DIDEVICEOBJECTDATA e;
    e.lOfs = ofs;
    e.lData = data;
    return e;
}

TEST_F(InGameChat, ADeviceHandingOutNonsenseTypesOnlyRealKeys) {
    openLine();
    auto rogue = std::make_shared<RogueDevice>();
    dx.diKeyboard = rogue;

    // Codes out of every range, odd data values, and a count larger than the array.
    rogue->events = {event(-1, 0x80),         event(0x3B, 0x80),       event(0x100, 0x80),
                     event(INT32_MIN, 0x80),  event(dx8::DIK_K, 0x81), event(dx8::DIK_K, -128),
                     event(dx8::DIK_K, 0x80), event(dx8::DIK_Q, 0)};
    rogue->claimed = 1'000'000;
    window.DirectXEvent8_DXCallback(dx.keyboardEvent);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >K"));

    // A negative count is nothing read.
    rogue->events = {event(dx8::DIK_L, 0x80)};
    rogue->claimed = -5;
    window.DirectXEvent8_DXCallback(dx.keyboardEvent);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >K"));

    // A failing state read still lets the events through, without Shift.
    rogue->claimed.reset();
    rogue->failState = true;
    rogue->state.key[dx8::DIK_LSHIFT] = 0x80;
    rogue->events = {event(dx8::DIK_1, 0x80)};
    window.DirectXEvent8_DXCallback(dx.keyboardEvent);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >K1"));

    // A failing event read handles nothing, and the next read starts afresh.
    rogue->failState = false;
    rogue->failData = true;
    rogue->events = {event(dx8::DIK_M, 0x80)};
    os().calls.clear();
    window.DirectXEvent8_DXCallback(dx.keyboardEvent);
    EXPECT_TRUE(writes().empty());
    rogue->failData = false;
    rogue->state = {};
    rogue->events = {event(dx8::DIK_N, 0x80)};
    window.DirectXEvent8_DXCallback(dx.keyboardEvent);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >K1N"));
}

TEST_F(InGameChat, AFailingGameWriteStopsNothing) {
    openLine();
    tap(dx8::DIK_A);
    os().processes[kGamePid].denied = true;  // every open of the game fails from here on
    tap(dx8::DIK_B);
    EXPECT_EQ(window.ingame().gameChatText, QStringLiteral(" >AB"));
    QSignalSpy changes(window.txtSend, &QLineEdit::textChanged);
    tap(dx8::DIK_RETURN);
    ASSERT_GE(changes.size(), 1);
    EXPECT_EQ(changes.first().first().toString(), QStringLiteral("ab"));
    EXPECT_FALSE(window.ingame().gameChatOpen);
}

}  // namespace
}  // namespace orvel
