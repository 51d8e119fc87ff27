// In-game chat latency, the whole chain: from a key press on the X server (an XTEST fake key
// event) to the input line rewritten in the game's memory. The game is kartova-standin, racing
// and focused; the main window runs the program's own start-up of the keyboard device and its
// timer, so the key competes with the game link's ticks as it does in the program. The end of the
// chain is taken when the write of the input line into the game's memory has returned.
//
// Baseline, measured in the same run on the same server: the same press to the arrival of its raw
// XInput 2 event on a bare X connection read by this thread (what the X server itself costs).
//
// Runs on a private Xvfb display of its own: fake keys never reach a real desktop.
//
//   game_key_latency_bench [presses per mode, default 400] [the game's ms per frame, default 20]
//                          [--smoke]   (--smoke: 10 presses)
#include <QApplication>
#include <QJsonObject>
#include <QTimer>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/orvel_globals.h"
#include "game_link/car_state_tick.h"
#include "game_link/game_memory_map.h"
#include "ingame_chat/ingame_chat.h"
#include "main_window/frm_chat.h"
#include "platform/os/os_services.h"
#include "private_folders.h"
#include "session/mod_dplay.h"
#include "smoke.h"
#include "standin_process.h"
#include "xvfb.h"

// Last: it brings in Xlib.
#include "key_bench_support.h"

using namespace keybench;

namespace {

// The platform's services, with the time at which each write of the input line had landed.
class StampingOs : public orvel::os::OsServices {
public:
    explicit StampingOs(orvel::os::OsServices& real) : real_(real) {}

    orvel::os::WindowHandle FindWindowA(const QString& title) override {
        return real_.FindWindowA(title);
    }
    uint32_t GetWindowThreadProcessId(orvel::os::WindowHandle w) override {
        return real_.GetWindowThreadProcessId(w);
    }
    orvel::os::WindowHandle GetForegroundWindow() override { return real_.GetForegroundWindow(); }
    orvel::os::ProcessHandle OpenProcess(uint32_t access, bool inherit, uint32_t pid,
                                         orvel::os::OpenError* error) override {
        return real_.OpenProcess(access, inherit, pid, error);
    }
    bool VirtualProtectEx(orvel::os::ProcessHandle h, uint32_t a, uint32_t n, uint32_t p,
                          uint32_t* old) override {
        return real_.VirtualProtectEx(h, a, n, p, old);
    }
    bool ReadProcessMemory(orvel::os::ProcessHandle h, uint32_t a, void* d, size_t n,
                           size_t* done) override {
        return real_.ReadProcessMemory(h, a, d, n, done);
    }
    bool WriteProcessMemory(orvel::os::ProcessHandle h, uint32_t a, const void* s, size_t n,
                            size_t* done) override {
        const bool ok = real_.WriteProcessMemory(h, a, s, n, done);
        if (a == orvel::gamemap::kStandard.messageInputLine) {
            ++inputWrites;
            lastInputWrite = Clock::now();
            lastInputOk = ok;
        }
        return ok;
    }
    bool CloseHandle(orvel::os::ProcessHandle h) override { return real_.CloseHandle(h); }

    int inputWrites = 0;
    bool lastInputOk = false;
    Clock::time_point lastInputWrite;

private:
    orvel::os::OsServices& real_;
};

// The main window, with the time its keyboard callback was entered.
class TimedChat : public orvel::frmChat {
public:
    using orvel::frmChat::frmChat;
    void DirectXEvent8_DXCallback(int32_t eventid) override {
        const auto now = Clock::now();
        if (!entered) {
            entered = true;
            enteredAt = now;
        }
        orvel::frmChat::DirectXEvent8_DXCallback(eventid);
    }
    bool entered = false;
    Clock::time_point enteredAt;
};

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = orvel::bench::takeSmokeFlag(argc, argv);
    const int presses = argc > 1 ? std::max(10, std::atoi(argv[1])) : smoke ? 10 : 400;
    // The window's settings and the game's claim stay in this run's own folders.
    const orvel::bench::PrivateFolders folders;
    orvel::testing::XvfbDisplay display;
    if (!display.ok()) {
        std::fprintf(stderr, "needs Xvfb\n");
        return 1;
    }
    setenv("DISPLAY", display.name().toLocal8Bit().constData(), 1);
    // The main window needs no screen; the keyboard and the game link use DISPLAY.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    QStringList gameOptions{QStringLiteral("--race")};
    if (argc > 2) {
        gameOptions << QStringLiteral("--frame-ms") << QString::fromLocal8Bit(argv[2]);
    }
    orvel::testing::StandinProcess game(display.name(), gameOptions);
    if (!game.ok()) {
        std::fprintf(stderr, "kartova-standin did not start\n");
        return 1;
    }
    game.command(QStringLiteral("focus"));
    if (!game.waitUntil([&] { return game.status().value(QStringLiteral("focused")).toBool(); })) {
        std::fprintf(stderr, "the game never got the focus\n");
        return 1;
    }

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

    StampingOs os(orvel::os::platformServices());
    orvel::os::setServices(&os);
    orvel::ModDplay dx;
    TimedChat window(dx);
    dx.CreateDirectXObjects(static_cast<uintptr_t>(window.winId()), &window);
    // The game link finds the game (its first sight settles for a second).
    if (!pumpUntil([&] { return window.tick().gameDetected() && window.isFocused(); }, 15000)) {
        std::fprintf(stderr, "the game link never found the focused game\n");
        return 1;
    }

    double delivery = 0;  // of the last key: press to the callback
    double handler = 0;   // callback to the line written
    // A press and its release, each handled by the program before the next.
    auto keyThroughProgram = [&](unsigned keycode) {
        const int before = os.inputWrites;
        window.entered = false;
        const auto t0 = Clock::now();
        fakeKey(injector, keycode, true);
        const bool written = pumpUntil([&] { return os.inputWrites > before; });
        const double us = micros(os.lastInputWrite - t0);
        delivery = micros(window.enteredAt - t0);
        handler = micros(os.lastInputWrite - window.enteredAt);
        fakeKey(injector, keycode, false);
        // The release leaves nothing behind in the device.
        bare.wait(true);
        bare.wait(false);
        pumpUntil([&] {
            std::array<dx8::DIDEVICEOBJECTDATA, 11> peek{};
            return dx.diKeyboard->GetDeviceData(peek.data(), 11, dx8::DIGDD_PEEK) == 0;
        });
        return written ? us : -1.0;
    };

    if (keyThroughProgram(kKeycodeT) < 0 || !window.ingame().gameChatOpen) {
        std::fprintf(stderr, "T did not open the line\n");
        return 1;
    }

    std::vector<double> baseline;
    std::vector<double> chain;
    std::vector<double> deliveries;
    std::vector<double> handlers;
    int failedWrites = 0;
    // Alternating blocks, so that both see the same machine load.
    constexpr int kBlock = 50;
    for (int done = 0; done < presses; done += kBlock) {
        const int n = std::min(kBlock, presses - done);
        for (int i = 0; i < n; ++i) {
            const int before = os.inputWrites;
            const auto t0 = Clock::now();
            fakeKey(injector, kKeycodeA, true);
            if (!bare.wait(true)) {
                std::fprintf(stderr, "baseline: raw press never came\n");
                return 1;
            }
            baseline.push_back(micros(Clock::now() - t0));
            // The program types this A too: let it, then erase it.
            pumpUntil([&] { return os.inputWrites > before; });
            fakeKey(injector, kKeycodeA, false);
            bare.wait(false);
            keyThroughProgram(kKeycodeBackSpace);
        }
        for (int i = 0; i < n; ++i) {
            // Typing and erasing in turn keeps the line short of its limit.
            const bool typing = window.ingame().gameChatText.size() < 30;
            const double us = keyThroughProgram(typing ? kKeycodeA : kKeycodeBackSpace);
            if (us < 0) {
                std::fprintf(stderr, "program: the input line was never written\n");
                return 1;
            }
            failedWrites += os.lastInputOk ? 0 : 1;
            chain.push_back(us);
            deliveries.push_back(delivery);
            handlers.push_back(handler);
        }
    }
    const QString shown = window.ingame().gameChatText;

    dx.DropDirectXObjects();
    orvel::os::setServices(nullptr);
    XCloseDisplay(injector);
    const QJsonObject message = game.json(QStringLiteral("message"));
    game.quit();

    const double b50 = percentile(baseline, 0.50), b99 = percentile(baseline, 0.99);
    const double c50 = percentile(chain, 0.50), c99 = percentile(chain, 0.99);
    std::printf("key press -> input line in the game's memory, %d presses each\n", presses);
    std::printf("%-34s %10s %10s\n", "", "p50 (us)", "p99 (us)");
    std::printf("%-34s %10.1f %10.1f\n", "baseline: raw event, bare reader", b50, b99);
    std::printf("%-34s %10.1f %10.1f\n", "in-game chat: line in the game", c50, c99);
    std::printf("%-34s %10.1f %10.1f\n", "  of it: press to DXCallback",
                percentile(deliveries, 0.5), percentile(deliveries, 0.99));
    std::printf("%-34s %10.1f %10.1f\n", "  of it: DXCallback to the write",
                percentile(handlers, 0.5), percentile(handlers, 0.99));
    std::printf("%-34s %10.2f %10.2f\n", "ratio chain / baseline", c50 / b50, c99 / b99);
    std::printf("failed writes: %d; the game shows \"%s\" for \"%s\"\n", failedWrites,
                qPrintable(message.value(QStringLiteral("input")).toString()), qPrintable(shown));
    std::printf("target: p99 < 5000 us: %s\n", c99 < 5000 ? "within" : "OVER");
    return 0;
}
