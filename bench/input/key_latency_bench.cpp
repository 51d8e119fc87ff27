// Key latency: from a key press on the X server (an XTEST fake key event sent by this program) to
// the keyboard event's DXCallback on the GUI thread, and to the end of the reads the in-game
// chat's handler makes first (key state, buffered events); p50 and p99.
//
// Baseline, measured in the same run on the same server: the same press to the arrival of its raw
// XInput 2 event on a bare X connection read by this thread, i.e. what the X server itself costs.
// The ratio shows what the device, its reader thread and the GUI-thread delivery add.
//
// Runs on a private Xvfb display of its own: fake keys never reach a real desktop.
//
//   key_latency_bench [presses per mode, default 400] [--smoke]   (--smoke: 10 presses)
#include <cstdio>

#include "platform/dx8/directx8.h"
#include "smoke.h"
#include "xvfb.h"

// Last: it brings in Xlib.
#include "key_bench_support.h"

using namespace keybench;

namespace {

// Does what the in-game chat's handler does first: the key state, then the buffered events.
struct Stamp : dx8::DirectXEvent8 {
    void DirectXEvent8_DXCallback(int32_t) override {
        const auto called = Clock::now();
        dx8::DIKEYBOARDSTATE state;
        device->GetDeviceStateKeyboard(state);
        dx8::DIDEVICEOBJECTDATA events[11];
        const int32_t n = device->GetDeviceData(events, 11, 0);
        const auto read = Clock::now();
        for (int32_t i = 0; i < n; ++i) {
            if (events[i].lData == 0x80 && !pressSeen) {
                pressSeen = true;
                pressAt = called;
                readAt = read;
                heldInState = state.key[dx8::DIK_A] == 0x80;
            } else if (events[i].lData == 0) {
                releaseSeen = true;
            }
        }
    }
    dx8::DirectInputDevice8* device = nullptr;
    bool pressSeen = false;
    bool releaseSeen = false;
    bool heldInState = false;
    Clock::time_point pressAt;
    Clock::time_point readAt;
};

bool pumpUntil(const bool& flag) {
    return keybench::pumpUntil([&flag] { return flag; });
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = orvel::bench::takeSmokeFlag(argc, argv);
    const int presses = argc > 1 ? std::max(10, std::atoi(argv[1])) : smoke ? 10 : 400;
    orvel::testing::XvfbDisplay display;
    if (!display.ok()) {
        std::fprintf(stderr, "needs Xvfb\n");
        return 1;
    }
    setenv("DISPLAY", display.name().toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);

    Display* injector = XOpenDisplay(nullptr);
    int ev, er, major, minor;
    if (injector == nullptr || !XTestQueryExtension(injector, &ev, &er, &major, &minor)) {
        std::fprintf(stderr, "needs the XTEST extension\n");
        return 1;
    }
    BareRawReader bare;
    if (!bare.open()) {
        std::fprintf(stderr, "needs XInput 2\n");
        return 1;
    }

    // The program's start-up sequence.
    dx8::DirectX8 root;
    auto input = root.DirectInputCreate();
    auto keyboard = input->CreateDevice(dx8::GUID_SysKeyboard);
    keyboard->SetCommonDataFormat(dx8::DIFORMAT_KEYBOARD);
    keyboard->SetCooperativeLevel(0, dx8::DISCL_NONEXCLUSIVE | dx8::DISCL_BACKGROUND);
    Stamp stamp;
    stamp.device = keyboard.get();
    const int32_t event = root.CreateEvent(&stamp);
    keyboard->SetEventNotification(event);
    dx8::DIPROPLONG prop;
    prop.lData = 10;
    keyboard->SetProperty(dx8::DIPROP_BUFFERSIZE, prop);
    keyboard->Acquire();

    std::vector<double> baseline;
    std::vector<double> chain;
    std::vector<double> chainRead;
    int notHeld = 0;
    // Alternating blocks, so that both see the same machine load.
    constexpr int kBlock = 50;
    for (int done = 0; done < presses; done += kBlock) {
        const int n = std::min(kBlock, presses - done);
        for (int i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            fakeKey(injector, kKeycodeA, true);
            if (!bare.wait(true)) {
                std::fprintf(stderr, "baseline: raw press never came\n");
                return 1;
            }
            baseline.push_back(micros(Clock::now() - t0));
            fakeKey(injector, kKeycodeA, false);
            bare.wait(false);
            pumpUntil(stamp.releaseSeen);  // the device's copies of these keys
            stamp.pressSeen = stamp.releaseSeen = false;
        }
        for (int i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            fakeKey(injector, kKeycodeA, true);
            if (!pumpUntil(stamp.pressSeen)) {
                std::fprintf(stderr, "device: press never came\n");
                return 1;
            }
            chain.push_back(micros(stamp.pressAt - t0));
            chainRead.push_back(micros(stamp.readAt - t0));
            notHeld += stamp.heldInState ? 0 : 1;
            fakeKey(injector, kKeycodeA, false);
            pumpUntil(stamp.releaseSeen);
            bare.wait(true);
            bare.wait(false);
            stamp.pressSeen = stamp.releaseSeen = false;
        }
    }
    root.DestroyEvent(event);
    keyboard.reset();
    XCloseDisplay(injector);

    const double b50 = percentile(baseline, 0.50), b99 = percentile(baseline, 0.99);
    const double c50 = percentile(chain, 0.50), c99 = percentile(chain, 0.99);
    const double r50 = percentile(chainRead, 0.50), r99 = percentile(chainRead, 0.99);
    std::printf("key press -> DXCallback on the GUI thread, %d presses each\n", presses);
    std::printf("%-34s %10s %10s\n", "", "p50 (us)", "p99 (us)");
    std::printf("%-34s %10.1f %10.1f\n", "baseline: raw event, bare reader", b50, b99);
    std::printf("%-34s %10.1f %10.1f\n", "device: DXCallback", c50, c99);
    std::printf("%-34s %10.1f %10.1f\n", "device: DXCallback + state + data", r50, r99);
    std::printf("%-34s %10.2f %10.2f\n", "ratio DXCallback / baseline", c50 / b50, c99 / b99);
    std::printf("%-34s %10.2f %10.2f\n", "ratio with reads / baseline", r50 / b50, r99 / b99);
    std::printf("presses whose key state did not show the key down: %d\n", notHeld);
    std::printf("target for the whole chain to the game: p99 < 5000 us; this part: %s\n",
                r99 < 5000 ? "within" : "OVER");
    return 0;
}
