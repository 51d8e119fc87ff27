// The system keyboard device on a private X server: keys typed into another program's window
// reach it through XInput 2 raw events.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStandardPaths>
#include <QThread>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "child_process.h"
#include "platform/dx8/directx8.h"
#include "platform/dx8/input/keyboard_device.h"
#include "xi_hiding_proxy.h"
#include "xvfb.h"

using namespace dx8;

namespace {

constexpr int kWaitMs = 15000;

using orvel::testing::waitUntil;

QProcessEnvironment envWith(const QString& display) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    return env;
}

// Runs a program to its end (bounded); returns its standard output, or nothing when it did not
// end normally.
std::optional<QString> run(const QString& program, const QStringList& args,
                           const QProcessEnvironment& env, QString* errors = nullptr,
                           int* exitCode = nullptr) {
    const orvel::testing::Finished f = orvel::testing::runToEnd(program, args, env, kWaitMs);
    if (errors != nullptr) {
        *errors = QString::fromLocal8Bit(f.err);
    }
    if (exitCode != nullptr) {
        *exitCode = f.code.value_or(-1);
    }
    if (!f.code) {
        return std::nullopt;
    }
    return QString::fromLocal8Bit(f.out);
}

struct Recorder : DirectXEvent8 {
    void DirectXEvent8_DXCallback(int32_t eventid) override {
        ++calls;
        lastId = eventid;
        onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
        if (running) {
            nested = true;
        }
        running = true;
        // Signals that came while this callback was queued folded into it: read until empty.
        for (int round = 0; device && drain && round < 100; ++round) {
            DIDEVICEOBJECTDATA batch[11];
            const int32_t n = device->GetDeviceData(batch, 11, 0);
            events.insert(events.end(), batch, batch + n);
            if (n == 0) {
                break;
            }
        }
        running = false;
    }
    DirectInputDevice8* device = nullptr;
    bool drain = true;
    int calls = 0;
    int32_t lastId = 0;
    bool onGuiThread = true;
    bool running = false;
    bool nested = false;
    std::vector<DIDEVICEOBJECTDATA> events;
};

// One private X server with one other program's window holding the focus, for the whole suite.
class KeyboardOnX : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!orvel::testing::haveXvfb() ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xev")).isEmpty()) {
            return;
        }
        haveTools_ = true;
        display_ = new orvel::testing::XvfbDisplay;
        if (!display_->ok()) {
            return;
        }
        qputenv("DISPLAY", display_->name().toLocal8Bit());
        // The other program: xev, which also prints every key its window receives.
        focusOwner_ = new orvel::testing::ChildProcess;
        focusOwner_->setEnv(QStringLiteral("DISPLAY"), display_->name());
        if (!focusOwner_->start(QStringLiteral("xev"),
                                {QStringLiteral("-name"), QStringLiteral("orvel-focus-owner"),
                                 QStringLiteral("-event"), QStringLiteral("keyboard")})) {
            return;
        }
        QString found;
        waitUntil([&] {
            found = xdo({QStringLiteral("search"), QStringLiteral("--name"),
                         QStringLiteral("orvel-focus-owner")})
                        .trimmed();
            return !found.isEmpty();
        });
        focusWindow_ = found.section(QLatin1Char('\n'), 0, 0).toUInt();
        if (focusWindow_ == 0) {
            return;
        }
        xdo({QStringLiteral("windowfocus"), QString::number(focusWindow_)});
        ready_ = waitUntil([] {
            return xdo({QStringLiteral("getwindowfocus")}).trimmed().toUInt() == focusWindow_;
        });
    }

    static void TearDownTestSuite() {
        if (focusOwner_ != nullptr) {
            delete focusOwner_;
            focusOwner_ = nullptr;
        }
        delete display_;
        display_ = nullptr;
    }

    void SetUp() override {
        if (!haveTools_) {
            GTEST_SKIP() << "needs Xvfb, xdotool and xev";
        }
        ASSERT_TRUE(ready_) << "no X server with a focused window of another program";
    }

    void TearDown() override {
        if (eventId_ != 0) {
            root_.DestroyEvent(eventId_);
        }
    }

    // Output of a successful xdotool run, or nothing.
    static std::optional<QString> xdoRun(const QStringList& args) {
        int exitCode = -1;
        auto out =
            run(QStringLiteral("xdotool"), args, envWith(display_->name()), nullptr, &exitCode);
        if (exitCode != 0) {
            return std::nullopt;
        }
        return out;
    }
    static QString xdo(const QStringList& args) { return xdoRun(args).value_or(QString()); }

    // xdotool types through the XTEST extension, like a real keyboard (no --window: that would
    // send synthetic events that only the one window sees). args: its words, e.g. "key a b".
    static void keys(const QString& args) {
        ASSERT_TRUE(xdoRun(args.split(QLatin1Char(' '))).has_value()) << args.toStdString();
    }

    // The start-up sequence of the program, with the buffer size given.
    std::shared_ptr<DirectInputDevice8> startDevice(Recorder& recorder, int32_t bufferSize = 10,
                                                    int32_t flags = DISCL_NONEXCLUSIVE |
                                                                    DISCL_BACKGROUND,
                                                    uintptr_t window = 0) {
        input_ = root_.DirectInputCreate();
        auto device = input_->CreateDevice(GUID_SysKeyboard);
        device->SetCommonDataFormat(DIFORMAT_KEYBOARD);
        device->SetCooperativeLevel(window, flags);
        eventId_ = root_.CreateEvent(&recorder);
        device->SetEventNotification(eventId_);
        DIPROPLONG prop;
        prop.lHow = DIPH_DEVICE;
        prop.lObj = 0;
        prop.lData = bufferSize;
        device->SetProperty(DIPROP_BUFFERSIZE, prop);
        device->Acquire();
        recorder.device = device.get();
        return device;
    }

    static std::vector<std::pair<int32_t, int32_t>> codes(
        const std::vector<DIDEVICEOBJECTDATA>& events) {
        std::vector<std::pair<int32_t, int32_t>> out;
        for (const auto& e : events) {
            out.emplace_back(e.lOfs, e.lData);
        }
        return out;
    }

    static inline orvel::testing::XvfbDisplay* display_ = nullptr;
    static inline orvel::testing::ChildProcess* focusOwner_ = nullptr;
    static inline uint32_t focusWindow_ = 0;
    static inline bool haveTools_ = false;
    static inline bool ready_ = false;

    DirectX8 root_;
    std::shared_ptr<DirectInput8> input_;
    int32_t eventId_ = 0;
};

using Codes = std::vector<std::pair<int32_t, int32_t>>;

// A press and a release of each key in turn.
Codes taps(std::initializer_list<int32_t> keys) {
    Codes out;
    for (const int32_t k : keys) {
        out.insert(out.end(), {{k, 0x80}, {k, 0}});
    }
    return out;
}

TEST_F(KeyboardOnX, KeysTypedIntoAnotherWindowArriveInOrderAndThatWindowGetsThemToo) {
    Recorder recorder;
    auto device = startDevice(recorder);
    // What it saw before this test does not count.
    const QRegularExpression pressed(QStringLiteral("KeyPress event"));
    const QRegularExpression released(QStringLiteral("KeyRelease event"));
    const int pressedBefore = focusOwner_->count(pressed);
    const int releasedBefore = focusOwner_->count(released);
    keys(QStringLiteral("key a b"));
    ASSERT_TRUE(waitUntil([&] { return recorder.events.size() >= 4; }));
    EXPECT_EQ(codes(recorder.events), taps({DIK_A, DIK_B}));
    for (size_t i = 1; i < recorder.events.size(); ++i) {
        EXPECT_GT(recorder.events[i].lSequence, recorder.events[i - 1].lSequence);
        EXPECT_GE(static_cast<uint32_t>(recorder.events[i].lTimeStamp),
                  static_cast<uint32_t>(recorder.events[i - 1].lTimeStamp));
    }
    EXPECT_GE(recorder.calls, 1);
    EXPECT_EQ(recorder.lastId, eventId_);
    EXPECT_TRUE(recorder.onGuiThread);
    EXPECT_FALSE(recorder.nested);
    // Non-exclusive: the window with the focus received the keys as well.
    EXPECT_TRUE(focusOwner_->waitCount(released, releasedBefore + 2))
        << focusOwner_->text().toStdString();
    EXPECT_GE(focusOwner_->count(pressed), pressedBefore + 2);
    // The device's owner never had the focus.
    EXPECT_EQ(xdo({QStringLiteral("getwindowfocus")}).trimmed().toUInt(), focusWindow_);
}

// The presses among the events, in order.
Codes pressesIn(const std::vector<DIDEVICEOBJECTDATA>& events) {
    Codes out;
    for (const auto& e : events) {
        if (e.lData == 0x80) {
            out.emplace_back(e.lOfs, e.lData);
        }
    }
    return out;
}

// X key names and the DirectInput codes their presses must carry, in the same order: what the
// in-game chat reads (0x00..0x3A), then keys beyond it, which must keep their own codes so that
// they are ignored there. Each row is typed in one go.
struct KeyRow {
    const char* names;
    std::vector<int32_t> codes;
};
const KeyRow kKeyRows[] = {
    {"a z 1 0 minus equal bracketleft semicolon apostrophe grave backslash comma period slash "
     "KP_Multiply Return BackSpace Tab t space Escape Caps_Lock",
     {DIK_A,        DIK_Z,         DIK_1,          DIK_0,      DIK_MINUS,     DIK_EQUALS,
      DIK_LBRACKET, DIK_SEMICOLON, DIK_APOSTROPHE, DIK_GRAVE,  DIK_BACKSLASH, DIK_COMMA,
      DIK_PERIOD,   DIK_SLASH,     DIK_MULTIPLY,   DIK_RETURN, DIK_BACK,      DIK_TAB,
      DIK_T,        DIK_SPACE,     DIK_ESCAPE,     DIK_CAPITAL}},
    {"Up Down Left Right F1 F10 F11 F12 KP_Enter KP_Divide Home End Prior Next Insert Delete",
     {DIK_UP, DIK_DOWN, DIK_LEFT, DIK_RIGHT, DIK_F1, DIK_F10, DIK_F11, DIK_F12, DIK_NUMPADENTER,
      DIK_DIVIDE, DIK_HOME, DIK_END, DIK_PRIOR, DIK_NEXT, DIK_INSERT, DIK_DELETE}},
};

TEST_F(KeyboardOnX, KeysMapToDirectInputCodes) {
    Recorder recorder;
    auto device = startDevice(recorder, 100);
    const auto type = [&](const QString& names, size_t events) {
        recorder.events.clear();
        keys(QStringLiteral("key ") + names);
        EXPECT_TRUE(waitUntil([&] { return recorder.events.size() >= events; }))
            << names.toStdString() << ": " << recorder.events.size();
        return pressesIn(recorder.events);
    };
    for (const KeyRow& row : kKeyRows) {
        Codes presses;
        for (const int32_t code : row.codes) {
            presses.emplace_back(code, 0x80);
        }
        ASSERT_EQ(QString::fromLatin1(row.names).count(QLatin1Char(' ')) + 1,
                  static_cast<qsizetype>(presses.size()));
        EXPECT_EQ(type(QLatin1String(row.names), 2 * presses.size()), presses);
    }
    // Shifted typing: Shift goes down first and comes up last or after the key.
    EXPECT_EQ(type(QStringLiteral("shift+comma"), 4),
              (Codes{{DIK_LSHIFT, 0x80}, {DIK_COMMA, 0x80}}));
    EXPECT_EQ(recorder.events.size(), 4u);
    // xdotool may hold a left-hand modifier with a right-hand one; the right-hand codes must show.
    const Codes right = type(QStringLiteral("Shift_R Control_R Alt_R"), 6);
    for (const int16_t code : {DIK_RSHIFT, DIK_RCONTROL, DIK_RMENU}) {
        EXPECT_NE(std::find(right.begin(), right.end(), std::make_pair(int32_t{code}, 0x80)),
                  right.end())
            << code;
    }
}

TEST_F(KeyboardOnX, KeyStateShowsHeldKeys) {
    Recorder recorder;
    auto device = startDevice(recorder);
    DIKEYBOARDSTATE state;
    const auto held = [&](int16_t code) {
        device->GetDeviceStateKeyboard(state);
        return state.key[code] == 0x80;
    };
    keys(QStringLiteral("keydown shift keydown g"));
    ASSERT_TRUE(waitUntil([&] { return held(DIK_G) && held(DIK_LSHIFT); }));
    int down = 0;
    for (uint8_t b : state.key) {
        EXPECT_TRUE(b == 0 || b == 0x80);
        down += b == 0x80;
    }
    EXPECT_EQ(down, 2);
    keys(QStringLiteral("keyup g"));
    EXPECT_TRUE(waitUntil([&] { return !held(DIK_G); }));
    EXPECT_TRUE(held(DIK_LSHIFT));
    keys(QStringLiteral("keyup shift"));
    EXPECT_TRUE(waitUntil([&] { return !held(DIK_LSHIFT); }));
    // Held and released while the device watched: both ends are in the buffer, in order.
    ASSERT_TRUE(waitUntil([&] { return recorder.events.size() >= 4; }));
    EXPECT_EQ(codes(recorder.events),
              (Codes{{DIK_LSHIFT, 0x80}, {DIK_G, 0x80}, {DIK_G, 0}, {DIK_LSHIFT, 0}}));
}

TEST_F(KeyboardOnX, BufferKeepsTheFirstTenEvents) {
    Recorder recorder;
    recorder.drain = false;  // nobody reads until the test does
    auto device = startDevice(recorder);
    keys(QStringLiteral("key q w e r y"));
    keys(QStringLiteral("keydown u"));  // the eleventh event
    auto* keyboard = static_cast<SystemKeyboard*>(device.get());
    DIDEVICEOBJECTDATA peek[20];
    ASSERT_TRUE(waitUntil([&] {
        device->GetDeviceData(peek, 20, DIGDD_PEEK);
        return keyboard->lastReadOverflowed();
    }));
    DIDEVICEOBJECTDATA events[20];
    const int32_t n = device->GetDeviceData(events, 20, 0);
    ASSERT_EQ(n, 10);
    EXPECT_TRUE(keyboard->lastReadOverflowed());
    EXPECT_EQ(codes({events, events + n}), taps({DIK_Q, DIK_W, DIK_E, DIK_R, DIK_Y}));
    EXPECT_TRUE(waitUntil([&] { return recorder.calls >= 1; }));
    // The lost press of U still counts in the sequence; its release comes through.
    keys(QStringLiteral("keyup u"));
    ASSERT_TRUE(waitUntil([&] { return device->GetDeviceData(events, 20, DIGDD_PEEK) == 1; }));
    ASSERT_EQ(device->GetDeviceData(events, 20, 0), 1);
    EXPECT_FALSE(keyboard->lastReadOverflowed());
    EXPECT_EQ(events[0].lOfs, DIK_U);
    EXPECT_EQ(events[0].lData, 0);
    EXPECT_EQ(events[0].lSequence, 12);
}

TEST_F(KeyboardOnX, ForegroundDeviceSeesKeysOnlyWhileItsWindowHasTheFocus) {
    Recorder focused;
    auto inFront = startDevice(focused, 10, DISCL_NONEXCLUSIVE | DISCL_FOREGROUND, focusWindow_);
    const int32_t firstEvent = eventId_;
    Recorder elsewhere;
    auto behind =
        startDevice(elsewhere, 10, DISCL_NONEXCLUSIVE | DISCL_FOREGROUND, focusWindow_ + 12345);
    keys(QStringLiteral("key m"));
    ASSERT_TRUE(waitUntil([&] { return focused.events.size() >= 2; }));
    EXPECT_EQ(codes(focused.events), taps({DIK_M}));
    QCoreApplication::processEvents();
    EXPECT_TRUE(elsewhere.events.empty());
    EXPECT_EQ(elsewhere.calls, 0);
    root_.DestroyEvent(firstEvent);
}

TEST_F(KeyboardOnX, UnacquiredDestroyedOrDroppedDevicesStaySilent) {
    Recorder recorder;
    auto device = startDevice(recorder);
    device->Unacquire();
    keys(QStringLiteral("key k"));
    DIDEVICEOBJECTDATA events[11];
    EXPECT_THROW(device->GetDeviceData(events, 11, 0), DxError);
    device->Acquire();
    keys(QStringLiteral("key j"));
    ASSERT_TRUE(waitUntil([&] { return recorder.events.size() >= 2; }));
    EXPECT_EQ(codes(recorder.events), taps({DIK_J}));

    // Shutdown order: the event goes, keys still come, the callback is not called any more.
    root_.DestroyEvent(eventId_);
    eventId_ = 0;
    const int callsBefore = recorder.calls;
    keys(QStringLiteral("key h"));
    ASSERT_TRUE(waitUntil([&] { return device->GetDeviceData(events, 11, DIGDD_PEEK) == 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(recorder.calls, callsBefore);
    // Dropped while acquired and while keys arrive.
    keys(QStringLiteral("keydown l"));
    recorder.device = nullptr;
    device.reset();
    keys(QStringLiteral("keyup l"));
    QCoreApplication::processEvents();
    EXPECT_EQ(recorder.calls, callsBefore);
}

// ---- Without a usable X server ------------------------------------------------------------------

struct ProbeRun {
    int exitCode = -1;
    QString out;
    QString err;
};

ProbeRun runProbe(const QProcessEnvironment& env) {
    ProbeRun r;
    const QString probe = QCoreApplication::applicationDirPath() + "/input_startup_probe";
    r.out = run(probe, {QStringLiteral("3")}, env, &r.err, &r.exitCode).value_or(QString());
    return r;
}

void expectSilentStartup(const ProbeRun& r, const QString& reason) {
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("startup ok")));
    EXPECT_EQ(r.out.count(QStringLiteral("keys down 0, events 0")), 3);
    EXPECT_EQ(r.err.count(QStringLiteral("in-game chat is off: ")), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(reason)) << r.err.toStdString();
}

TEST(KeyboardWithoutX, NoDisplayStartsUpAndSaysSoOnce) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    expectSilentStartup(runProbe(env), QStringLiteral("DISPLAY is not set"));
}

TEST(KeyboardWithoutX, UnreachableDisplayStartsUpAndSaysSoOnce) {
    // A display number nobody serves: the probe's connection is refused at once.
    expectSilentStartup(runProbe(envWith(QStringLiteral(":31999"))),
                        QStringLiteral("cannot open X display"));
}

TEST(KeyboardWithoutX, ServerWithoutXInputStartsUpAndSaysSoOnce) {
    if (!orvel::testing::haveXvfb()) {
        GTEST_SKIP() << "needs Xvfb";
    }
    orvel::testing::XvfbDisplay display;
    ASSERT_TRUE(display.ok());
    XInputHidingProxy proxy(display.number());
    ASSERT_TRUE(proxy.ok());
    expectSilentStartup(runProbe(envWith(QString::fromStdString(proxy.displayName()))),
                        QStringLiteral("no XInput 2 extension"));
}

}  // namespace
