// The keyboard device's rules, fed by a scripted key source: acquisition, properties,
// cooperative levels, the event buffer and its notification.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <functional>
#include <memory>

#include "dx_result.h"
#include "platform/dx8/directx8.h"
#include "platform/dx8/input/keyboard_device.h"

using namespace dx8;

namespace {

class ScriptedSource : public KeySource {
public:
    explicit ScriptedSource(Sink sink) : sink(std::move(sink)) {}
    bool keyState(std::array<uint8_t, 256>& out) override {
        out = state;
        return !broken;
    }
    bool focusWithin(uint32_t window) override { return window == focusWindow; }
    bool lost() const override { return broken; }

    void key(int16_t dik, bool down) { sink(dik, down, ++clock); }

    Sink sink;
    std::array<uint8_t, 256> state{};
    uint32_t focusWindow = 0;
    bool broken = false;
    uint32_t clock = 1000;
};

using orvel::testing::codeOf;

struct Counter : DirectXEvent8 {
    void DirectXEvent8_DXCallback(int32_t) override { ++calls; }
    int calls = 0;
};

class KeyboardDevice : public ::testing::Test {
protected:
    void SetUp() override {
        DirectInputObject input([this](KeySource::Sink sink, std::string*) {
            auto s = std::make_unique<ScriptedSource>(std::move(sink));
            source = s.get();
            return s;
        });
        device = input.CreateDevice(GUID_SysKeyboard);
        keyboard = static_cast<SystemKeyboard*>(device.get());
    }
    void TearDown() override {
        if (eventId != 0) {
            root.DestroyEvent(eventId);
        }
    }

    // The program's start-up sequence.
    void start(int32_t bufferSize = 10, int32_t flags = DISCL_NONEXCLUSIVE | DISCL_BACKGROUND,
               uintptr_t window = 0) {
        device->SetCommonDataFormat(DIFORMAT_KEYBOARD);
        device->SetCooperativeLevel(window, flags);
        eventId = root.CreateEvent(&counter);
        device->SetEventNotification(eventId);
        device->SetProperty(DIPROP_BUFFERSIZE, bufferProp(bufferSize));
        device->Acquire();
    }

    static DIPROPLONG bufferProp(int32_t size, int32_t how = DIPH_DEVICE, int32_t obj = 0) {
        DIPROPLONG p;
        p.lHow = how;
        p.lObj = obj;
        p.lData = size;
        return p;
    }

    DirectX8 root;
    Counter counter;
    int32_t eventId = 0;
    ScriptedSource* source = nullptr;
    std::shared_ptr<DirectInputDevice8> device;
    SystemKeyboard* keyboard = nullptr;
};

TEST(KeyboardCooperativeLevel, AcceptsExactlyTheKeyboardCombinations) {
    // Every combination of the five flags, and a stray bit.
    for (int32_t flags = 0; flags < 0x40; ++flags) {
        const bool ex = flags & DISCL_EXCLUSIVE;
        const bool ne = flags & DISCL_NONEXCLUSIVE;
        const bool fg = flags & DISCL_FOREGROUND;
        const bool bg = flags & DISCL_BACKGROUND;
        const bool nowin = flags & DISCL_NOWINKEY;
        HRESULT expected = DI_OK;
        if ((flags & 0x20) || ex == ne || fg == bg || (ex && nowin)) {
            expected = DIERR_INVALIDPARAM;
        } else if (ex && bg) {
            expected = DIERR_UNSUPPORTED;
        }
        EXPECT_EQ(keyboardCooperativeLevelError(0x400001, flags), expected) << flags;
    }
    EXPECT_EQ(keyboardCooperativeLevelError(0, DISCL_NONEXCLUSIVE | DISCL_BACKGROUND), DI_OK);
    // A foreground device needs the window whose focus it follows.
    EXPECT_EQ(keyboardCooperativeLevelError(0, DISCL_NONEXCLUSIVE | DISCL_FOREGROUND),
              DIERR_INVALIDPARAM);
    EXPECT_EQ(keyboardCooperativeLevelError(0, DISCL_EXCLUSIVE | DISCL_FOREGROUND),
              DIERR_INVALIDPARAM);
}

TEST(KeyboardCreation, OnlyTheSystemKeyboardExists) {
    DirectInputObject input([](KeySource::Sink sink, std::string*) {
        return std::make_unique<ScriptedSource>(std::move(sink));
    });
    EXPECT_NE(input.CreateDevice(QStringLiteral("GUID_SysKeyboard")), nullptr);
    EXPECT_NE(input.CreateDevice(QStringLiteral("guid_syskeyboard")), nullptr);
    EXPECT_NE(input.CreateDevice(QStringLiteral("{6f1d2b61-d5a0-11cf-bfc7-444553540000}")),
              nullptr);
    for (const QString& name : {QStringLiteral("GUID_SysMouse"), QStringLiteral(""),
                                QStringLiteral("GUID_SysKeyboard "), QStringLiteral("{}")}) {
        EXPECT_EQ(codeOf([&] { input.CreateDevice(name); }), DIERR_DEVICENOTREG)
            << name.toStdString();
    }
}

TEST_F(KeyboardDevice, StartUpSequenceAndItsOrderRules) {
    DIDEVICEOBJECTDATA events[11];
    DIKEYBOARDSTATE state;
    // Nothing can be read before it is acquired, and it cannot be acquired without a format.
    EXPECT_EQ(codeOf([&] { device->GetDeviceData(events, 11, 0); }), DIERR_NOTACQUIRED);
    EXPECT_EQ(codeOf([&] { device->GetDeviceStateKeyboard(state); }), DIERR_NOTACQUIRED);
    EXPECT_EQ(codeOf([&] { device->Acquire(); }), DIERR_INVALIDPARAM);
    EXPECT_EQ(codeOf([&] { device->SetCommonDataFormat(2); }), DIERR_INVALIDPARAM);
    EXPECT_EQ(codeOf([&] { device->SetCooperativeLevel(0, DISCL_EXCLUSIVE | DISCL_BACKGROUND); }),
              DIERR_UNSUPPORTED);
    EXPECT_EQ(codeOf([&] { device->SetCooperativeLevel(0, 10 | 0x40); }), DIERR_INVALIDPARAM);

    start();
    EXPECT_EQ(codeOf([&] { device->Acquire(); }), DI_OK);  // again: no effect
    EXPECT_EQ(device->GetDeviceData(events, 11, 0), 0);

    // Settings stay fixed while acquired.
    EXPECT_EQ(codeOf([&] { device->SetCommonDataFormat(DIFORMAT_KEYBOARD); }), DIERR_ACQUIRED);
    EXPECT_EQ(codeOf([&] { device->SetCooperativeLevel(0, 10); }), DIERR_ACQUIRED);
    EXPECT_EQ(codeOf([&] { device->SetEventNotification(0); }), DIERR_ACQUIRED);
    EXPECT_EQ(codeOf([&] { device->SetProperty(DIPROP_BUFFERSIZE, bufferProp(5)); }),
              DIERR_ACQUIRED);

    device->Unacquire();
    device->Unacquire();  // no effect either
    EXPECT_EQ(codeOf([&] { device->GetDeviceData(events, 11, 0); }), DIERR_NOTACQUIRED);
}

TEST_F(KeyboardDevice, BufferSizeIsAWholeDeviceProperty) {
    EXPECT_EQ(codeOf([&] { device->SetProperty(DIPROP_BUFFERSIZE, bufferProp(10, 1, 0x1E)); }),
              DIERR_INVALIDPARAM);
    EXPECT_EQ(codeOf([&] { device->SetProperty(DIPROP_BUFFERSIZE, bufferProp(10, 0, 4)); }),
              DIERR_INVALIDPARAM);
    EXPECT_EQ(codeOf([&] { device->SetProperty(DIPROP_BUFFERSIZE, bufferProp(-1)); }),
              DIERR_INVALIDPARAM);
    EXPECT_EQ(codeOf([&] { device->SetProperty(QStringLiteral("diprop_range"), bufferProp(1)); }),
              DIERR_UNSUPPORTED);
    EXPECT_EQ(
        codeOf([&] { device->SetProperty(QStringLiteral("DIPROP_BUFFERSIZE"), bufferProp(3)); }),
        DI_OK);

    // Without a buffer size there is no buffer to read.
    device->SetProperty(DIPROP_BUFFERSIZE, bufferProp(0));
    device->SetCommonDataFormat(DIFORMAT_KEYBOARD);
    device->Acquire();
    DIDEVICEOBJECTDATA events[4];
    EXPECT_EQ(codeOf([&] { device->GetDeviceData(events, 4, 0); }), DIERR_NOTBUFFERED);
    device->Unacquire();

    // A huge size is cut to what the device keeps.
    device->SetProperty(DIPROP_BUFFERSIZE, bufferProp(INT32_MAX));
    device->Acquire();
    for (int i = 0; i < kMaxKeyBufferSize + 50; ++i) {
        source->key(DIK_A, i % 2 == 0);
    }
    std::vector<DIDEVICEOBJECTDATA> all(kMaxKeyBufferSize + 100);
    EXPECT_EQ(device->GetDeviceData(all.data(), static_cast<int32_t>(all.size()), 0),
              kMaxKeyBufferSize);
}

TEST_F(KeyboardDevice, EventsComeOutOldestFirstAndAFullBufferLosesTheNewest) {
    start(10);
    for (int i = 0; i < 6; ++i) {
        source->key(static_cast<int16_t>(DIK_Q + i), true);
        source->key(static_cast<int16_t>(DIK_Q + i), false);
    }
    DIDEVICEOBJECTDATA events[11] = {};
    // Peeking leaves them there.
    EXPECT_EQ(device->GetDeviceData(events, 2, DIGDD_PEEK), 2);
    EXPECT_EQ(device->GetDeviceData(events, 11, DIGDD_PEEK), 10);
    EXPECT_TRUE(keyboard->lastReadOverflowed());
    // A short read takes the oldest.
    ASSERT_EQ(device->GetDeviceData(events, 3, 0), 3);
    EXPECT_EQ(events[0].lOfs, DIK_Q);
    EXPECT_EQ(events[0].lData, 0x80);
    EXPECT_EQ(events[1].lOfs, DIK_Q);
    EXPECT_EQ(events[1].lData, 0);
    EXPECT_EQ(events[2].lOfs, DIK_W);
    EXPECT_EQ(events[0].lSequence, 1);
    EXPECT_EQ(events[2].lSequence, 3);
    EXPECT_TRUE(keyboard->lastReadOverflowed());
    ASSERT_EQ(device->GetDeviceData(events, 11, 0), 7);
    EXPECT_FALSE(keyboard->lastReadOverflowed()) << "the loss is reported once";
    // The last kept event is the release of the fifth key; the sixth key's pair was lost.
    EXPECT_EQ(events[6].lOfs, DIK_Q + 4);
    EXPECT_EQ(events[6].lData, 0);
    EXPECT_EQ(events[6].lSequence, 10);
    EXPECT_LT(events[0].lTimeStamp, events[6].lTimeStamp);
    // Room again: the next event is kept, and its sequence shows the two that were lost.
    source->key(DIK_Z, true);
    ASSERT_EQ(device->GetDeviceData(events, 11, 0), 1);
    EXPECT_EQ(events[0].lOfs, DIK_Z);
    EXPECT_EQ(events[0].lSequence, 13);
}

TEST_F(KeyboardDevice, BadReadArgumentsAreRefused) {
    start(10);
    source->key(DIK_A, true);
    DIDEVICEOBJECTDATA events[2];
    EXPECT_EQ(codeOf([&] { device->GetDeviceData(events, -1, 0); }), DIERR_INVALIDPARAM);
    EXPECT_EQ(codeOf([&] { device->GetDeviceData(events, 2, 2); }), DIERR_INVALIDPARAM);
    EXPECT_EQ(device->GetDeviceData(events, 0, 0), 0);
    // No array: the events are taken and dropped.
    EXPECT_EQ(device->GetDeviceData(nullptr, 5, 0), 1);
    EXPECT_EQ(device->GetDeviceData(events, 2, 0), 0);
}

TEST_F(KeyboardDevice, EveryKeyEventSignalsWhileAcquiredOnly) {
    start(10);
    source->key(DIK_T, true);
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.calls, 1);
    source->key(DIK_T, false);
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.calls, 2);
    // A full buffer still signals: the key state changed.
    for (int i = 0; i < 12; ++i) {
        source->key(DIK_A, i % 2 == 0);
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(counter.calls, 14);

    device->Unacquire();
    source->key(DIK_B, true);
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.calls, 14);
    // Acquiring starts with an empty buffer: nothing from before.
    device->Acquire();
    DIDEVICEOBJECTDATA events[11];
    EXPECT_EQ(device->GetDeviceData(events, 11, 0), 0);
}

TEST_F(KeyboardDevice, StateComesFromTheSource) {
    start();
    source->state[DIK_LSHIFT] = 0x80;
    source->state[DIK_UP] = 0x80;
    DIKEYBOARDSTATE state;
    state.key.fill(0x55);
    device->GetDeviceStateKeyboard(state);
    for (int code = 0; code < 256; ++code) {
        EXPECT_EQ(state.key[code], code == DIK_LSHIFT || code == DIK_UP ? 0x80 : 0) << code;
    }
}

TEST_F(KeyboardDevice, ForegroundDeviceIsBlindWhileItsWindowIsBehind) {
    start(10, DISCL_NONEXCLUSIVE | DISCL_FOREGROUND, 77);
    source->state[DIK_A] = 0x80;
    source->focusWindow = 12;
    source->key(DIK_A, true);
    DIKEYBOARDSTATE state;
    device->GetDeviceStateKeyboard(state);
    EXPECT_EQ(state.key[DIK_A], 0);
    DIDEVICEOBJECTDATA events[11];
    EXPECT_EQ(device->GetDeviceData(events, 11, 0), 0);
    source->focusWindow = 77;
    source->key(DIK_A, false);
    source->state[DIK_A] = 0x80;
    device->GetDeviceStateKeyboard(state);
    EXPECT_EQ(state.key[DIK_A], 0x80);
    ASSERT_EQ(device->GetDeviceData(events, 11, 0), 1);
    EXPECT_EQ(events[0].lData, 0);
}

TEST_F(KeyboardDevice, ALostKeyboardSaysSoAndIsNoLongerAcquired) {
    start();
    source->key(DIK_A, true);
    source->broken = true;
    DIKEYBOARDSTATE state;
    DIDEVICEOBJECTDATA events[11];
    EXPECT_EQ(codeOf([&] { device->GetDeviceStateKeyboard(state); }), DIERR_INPUTLOST);
    EXPECT_EQ(codeOf([&] { device->GetDeviceData(events, 11, 0); }), DIERR_INPUTLOST);
    EXPECT_EQ(codeOf([&] { device->Acquire(); }), DIERR_INPUTLOST);
}

TEST(KeyboardWithoutSource, WorksButNothingEverComes) {
    DirectInputObject input([](KeySource::Sink, std::string* why) -> std::unique_ptr<KeySource> {
        *why = "scripted absence";
        return nullptr;
    });
    auto device = input.CreateDevice(GUID_SysKeyboard);
    EXPECT_FALSE(static_cast<SystemKeyboard*>(device.get())->hasKeySource());
    device->SetCommonDataFormat(DIFORMAT_KEYBOARD);
    device->SetCooperativeLevel(0, DISCL_NONEXCLUSIVE | DISCL_BACKGROUND);
    device->SetEventNotification(0);
    DIPROPLONG prop;
    prop.lData = 10;
    device->SetProperty(DIPROP_BUFFERSIZE, prop);
    device->Acquire();
    DIKEYBOARDSTATE state;
    state.key.fill(0x80);
    device->GetDeviceStateKeyboard(state);
    for (uint8_t b : state.key) {
        EXPECT_EQ(b, 0);
    }
    DIDEVICEOBJECTDATA events[11];
    EXPECT_EQ(device->GetDeviceData(events, 11, 0), 0);
}

}  // namespace
