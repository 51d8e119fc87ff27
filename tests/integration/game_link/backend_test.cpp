// The Linux window and process backend against real processes on a private X server.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "fixture_process.h"
#include "platform/os/linux/linux_os_services.h"
#include "wait.h"
#include "x_client.h"
#include "xvfb.h"

namespace orvel {
namespace {

using testing::FixtureProcess;
using testing::XClient;
using testing::XvfbDisplay;

const QString kTitle = QStringLiteral("Brenmoor - Kartova");
constexpr uint32_t kCarRecord = 0x53B8DC;
constexpr uint32_t kSiteA = 0x426920;

class BackendTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { display_ = new XvfbDisplay(); }
    static void TearDownTestSuite() {
        delete display_;
        display_ = nullptr;
    }
    void SetUp() override {
        if (!display_->ok()) {
            GTEST_SKIP() << "Xvfb is not available";
        }
        os = std::make_unique<os::LinuxOsServices>(display_->name().toLocal8Bit());
        x = std::make_unique<XClient>(display_->name());
        ASSERT_TRUE(x->ok());
    }
    QString display() const { return display_->name(); }

    static XvfbDisplay* display_;
    std::unique_ptr<os::LinuxOsServices> os;
    std::unique_ptr<XClient> x;
};
XvfbDisplay* BackendTest::display_ = nullptr;

TEST_F(BackendTest, FindsTheGameWindowByItsWholeTitleWithoutRegardToCase) {
    FixtureProcess game;
    ASSERT_TRUE(game.start(display()));
    // Near misses around it, before and after it in the stacking.
    const xcb_window_t longer = x->window(kTitle + QStringLiteral(" 2"));
    const xcb_window_t shorter = x->window(QStringLiteral("Brenmoor - Kartov"));
    const xcb_window_t padded = x->window(QStringLiteral(" Brenmoor - Kartova"));
    const xcb_window_t huge = x->window(kTitle + QString(300, QLatin1Char('x')));

    EXPECT_EQ(os->FindWindowA(kTitle), game.window());
    EXPECT_EQ(os->FindWindowA(QStringLiteral("bRENMOOR - kARTOVA")), game.window());
    EXPECT_EQ(os->FindWindowA(QStringLiteral("Brenmoor")), 0u);
    EXPECT_EQ(os->FindWindowA(QStringLiteral("Brenmoor - Kartova 2")), longer);
    EXPECT_EQ(os->FindWindowA(kTitle + QString(300, QLatin1Char('X'))), huge);
    EXPECT_EQ(os->FindWindowA(QStringLiteral("No such window")), 0u);

    // Renamed, the game is no longer found; named back, it is.
    ASSERT_EQ(game.command("title Brenmoor - Kartova (paused)"), "ok");
    EXPECT_EQ(os->FindWindowA(kTitle), 0u);
    ASSERT_EQ(game.command("title BRENMOOR - KARTOVA"), "ok");
    EXPECT_EQ(os->FindWindowA(kTitle), game.window());
    for (xcb_window_t w : {longer, shorter, padded, huge}) {
        x->destroy(w);
    }
}

TEST_F(BackendTest, FallsBackToALatin1WmName) {
    const QString title = QString::fromUtf8("Brenm\xC3\xB6\xC3\xB6r - Kartova");
    FixtureProcess game;
    ASSERT_TRUE(game.start(display(),
                           {QStringLiteral("--wm-name-only"), QStringLiteral("--title"), title}));
    EXPECT_EQ(os->FindWindowA(title.toUpper()), game.window());
    EXPECT_EQ(os->FindWindowA(kTitle), 0u);
}

TEST_F(BackendTest, FindsTheGameAmongAHundredOtherWindows) {
    std::vector<xcb_window_t> others;
    for (int i = 0; i < 50; ++i) {
        others.push_back(x->window(QStringLiteral("Other window %1").arg(i)));
    }
    FixtureProcess game;
    ASSERT_TRUE(game.start(display()));
    for (int i = 0; i < 50; ++i) {
        // Some without any title at all, some unmapped.
        others.push_back(
            x->window(i % 2 ? QString() : QStringLiteral("Other %1").arg(i), XCB_NONE, i % 3 != 0));
    }
    EXPECT_EQ(os->FindWindowA(kTitle), game.window());
    for (xcb_window_t w : others) {
        x->destroy(w);
    }
}

// Lookups are answered again without asking for every title while the server reports no change;
// each kind of change must still show in the very next lookup.
TEST_F(BackendTest, EveryChangeToTheWindowsShowsInTheNextLookup) {
    const xcb_window_t first = x->window(kTitle);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(os->FindWindowA(kTitle), first);
    }
    // Another title in between does not stand in for this one.
    EXPECT_EQ(os->FindWindowA(QStringLiteral("Other")), 0u);
    EXPECT_EQ(os->FindWindowA(kTitle), first);

    // A newer window with the same title sits on top and wins; lowered, it no longer does.
    const xcb_window_t second = x->window(kTitle);
    EXPECT_EQ(os->FindWindowA(kTitle), second);
    x->lower(second);
    EXPECT_EQ(os->FindWindowA(kTitle), first);

    // Renamed through either property, appearing, going into a frame, destroyed.
    x->setUtf8(first, "_NET_WM_NAME", QStringLiteral("Notes"));
    EXPECT_EQ(os->FindWindowA(kTitle), second);
    x->deleteProperty(second, "_NET_WM_NAME");
    EXPECT_EQ(os->FindWindowA(kTitle), 0u);
    x->setString(second, XCB_ATOM_WM_NAME, kTitle.toLatin1());
    EXPECT_EQ(os->FindWindowA(kTitle), second);
    const xcb_window_t frame = x->window();
    x->reparent(second, frame);
    EXPECT_EQ(os->FindWindowA(kTitle), 0u);
    x->setUtf8(first, "_NET_WM_NAME", kTitle);
    EXPECT_EQ(os->FindWindowA(kTitle), first);
    x->destroy(first);
    EXPECT_EQ(os->FindWindowA(kTitle), 0u);
    x->destroy(frame);
}

TEST_F(BackendTest, OwnerComesFromTheWindowOrFromTheServer) {
    FixtureProcess withPid, withoutPid;
    ASSERT_TRUE(withPid.start(display()));
    ASSERT_TRUE(withoutPid.start(display(), {QStringLiteral("--no-pid"), QStringLiteral("--title"),
                                             QStringLiteral("second")}));
    EXPECT_EQ(os->GetWindowThreadProcessId(withPid.window()), withPid.pid());
    EXPECT_EQ(os->GetWindowThreadProcessId(withoutPid.window()), withoutPid.pid());

    // A pid claimed for another machine is not taken; the server knows the real owner.
    const xcb_window_t foreign = x->window(QStringLiteral("foreign"));
    x->setCardinals(foreign, "_NET_WM_PID", XCB_ATOM_CARDINAL, {1});
    x->setString(foreign, XCB_ATOM_WM_CLIENT_MACHINE, "some-other-host.invalid");
    EXPECT_EQ(os->GetWindowThreadProcessId(foreign), static_cast<uint32_t>(getpid()));
    x->destroy(foreign);
    EXPECT_EQ(os->GetWindowThreadProcessId(foreign), 0u);
    EXPECT_EQ(os->GetWindowThreadProcessId(0), 0u);
}

TEST_F(BackendTest, ForegroundIsTheFocusRaisedToItsTopLevelWindow) {
    FixtureProcess a, b;
    ASSERT_TRUE(a.start(display()));
    ASSERT_TRUE(b.start(display(), {QStringLiteral("--title"), QStringLiteral("b")}));
    ASSERT_EQ(a.command("focus"), "ok");
    EXPECT_EQ(os->GetForegroundWindow(), a.window());
    ASSERT_EQ(b.command("focus"), "ok");
    EXPECT_EQ(os->GetForegroundWindow(), b.window());
    // Focus on a grandchild of a's window still means a.
    const xcb_window_t child = x->window(QString(), a.window());
    const xcb_window_t grandchild = x->window(QString(), child);
    x->focus(grandchild);
    EXPECT_EQ(os->GetForegroundWindow(), a.window());
    x->focus(XCB_INPUT_FOCUS_POINTER_ROOT);
    EXPECT_EQ(os->GetForegroundWindow(), 0u);
    x->focus(XCB_NONE);
    EXPECT_EQ(os->GetForegroundWindow(), 0u);
    x->destroy(child);
}

TEST_F(BackendTest, NoDisplayMeansNoWindows) {
    os::LinuxOsServices nowhere(QByteArrayLiteral(":999999"));
    EXPECT_EQ(nowhere.FindWindowA(kTitle), 0u);
    EXPECT_EQ(nowhere.GetForegroundWindow(), 0u);
    EXPECT_EQ(nowhere.GetWindowThreadProcessId(1234), 0u);
}

// A window manager's view, played by the test: the game's window sits inside a frame, and only
// the manager's client list names it.
TEST(BackendWindowManagerTest, UsesTheClientListAndActiveWindowOnlyWhileAManagerRuns) {
    XvfbDisplay display;
    if (!display.ok()) {
        GTEST_SKIP() << "Xvfb is not available";
    }
    os::LinuxOsServices os(display.name().toLocal8Bit());
    XClient wm(display.name());
    ASSERT_TRUE(wm.ok());
    FixtureProcess game, editor;
    ASSERT_TRUE(game.start(display.name()));
    ASSERT_TRUE(
        editor.start(display.name(), {QStringLiteral("--title"), QStringLiteral("editor")}));
    const xcb_window_t frame = wm.window();
    wm.reparent(game.window(), frame);
    // Without a manager only the root's children count, and the frame has no title.
    EXPECT_EQ(os.FindWindowA(kTitle), 0u);

    const xcb_window_t check = wm.window(QString(), XCB_NONE, false);
    wm.setCardinals(check, "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW, {check});
    wm.setCardinals(wm.root(), "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW, {check});
    wm.setCardinals(wm.root(), "_NET_CLIENT_LIST", XCB_ATOM_WINDOW,
                    {editor.window(), game.window()});
    wm.setCardinals(wm.root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {game.window()});
    ASSERT_EQ(editor.command("focus"), "ok");
    EXPECT_EQ(os.FindWindowA(kTitle), game.window());
    EXPECT_EQ(os.GetForegroundWindow(), game.window());
    wm.setCardinals(wm.root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {0});
    EXPECT_EQ(os.GetForegroundWindow(), 0u);

    // The manager goes away and leaves its properties behind: they no longer count.
    wm.setCardinals(wm.root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {game.window()});
    wm.destroy(check);
    EXPECT_EQ(os.FindWindowA(kTitle), 0u);
    EXPECT_EQ(os.FindWindowA(QStringLiteral("EDITOR")), editor.window());
    EXPECT_EQ(os.GetForegroundWindow(), editor.window());
}

// A reparenting window manager that keeps no client list (Weston's XWayland): the clients are
// the windows with WM_STATE inside the nameless frames, as ICCCM has them found.
TEST_F(BackendTest, WithoutAClientListTheClientsAreFoundInsideTheirFrames) {
    const xcb_window_t frame = x->window();
    const xcb_window_t wrapper = x->window(QString(), frame);
    const xcb_window_t client = x->window(kTitle, wrapper);
    const xcb_window_t inner = x->window(QString(), client);
    EXPECT_EQ(os->FindWindowA(kTitle), 0u);  // not managed: the frame stands for itself
    x->setCardinals(client, "WM_STATE", x->atom("WM_STATE"), {1, 0});
    EXPECT_EQ(os->FindWindowA(kTitle), client);
    // Focus on a window inside the client means the client, not its frame.
    x->focus(inner);
    EXPECT_EQ(os->GetForegroundWindow(), client);
    x->destroy(frame);
    EXPECT_EQ(os->FindWindowA(kTitle), 0u);
}

// Waiting for the game: the connection turns readable on news that may change a lookup, and
// only then.
TEST_F(BackendTest, NewsOfWindowsWakesAWaitAndOtherChangesDoNot) {
    const xcb_window_t frame = x->window();
    xcb_window_t game = XCB_NONE;
    struct Step {
        const char* name;
        std::function<void()> act;
        bool news;
    };
    const Step steps[] = {
        {"a window of another title", [&] { game = x->window(QStringLiteral("Notes")); }, true},
        {"some other property", [&] { x->setUtf8(game, "_NET_WM_ICON_NAME", kTitle); }, false},
        {"renamed to the game's title", [&] { x->setUtf8(game, "_NET_WM_NAME", kTitle); }, true},
        {"put into a frame", [&] { x->reparent(game, frame); }, true},
        {"given WM_STATE in its frame",
         [&] {
             x->setCardinals(game, "WM_STATE", x->atom("WM_STATE"), {1, 0});
         },
         true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        os->FindWindowA(kTitle);
        const int handle = os->WindowNewsHandle();
        ASSERT_GE(handle, 0);
        pollfd p{handle, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 0), 0);  // nothing new after a lookup
        step.act();
        ASSERT_EQ(::poll(&p, 1, testing::scaledMs(5000)), 1);
        EXPECT_EQ(os->TakeWindowNews(), step.news);
    }
    EXPECT_EQ(os->FindWindowA(kTitle), game);
    x->destroy(frame);
}

// ---- Process memory ----------------------------------------------------------------------------

class ProcessMemoryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(game.start(QString(), {QStringLiteral("--no-window")})); }

    os::ProcessHandle open(uint32_t pid, os::OpenError* why = nullptr) {
        return backend.OpenProcess(0x438, false, pid, why);
    }

    FixtureProcess game;
    os::LinuxOsServices backend{QByteArrayLiteral(":999999")};
};

TEST_F(ProcessMemoryTest, ReadsAndWritesTheProcessesMemory) {
    os::OpenError why = os::OpenError::Other;
    const os::ProcessHandle h = open(game.pid(), &why);
    ASSERT_NE(h, 0);
    EXPECT_EQ(why, os::OpenError::None);

    uint8_t state[144] = {};
    size_t done = 0;
    ASSERT_TRUE(backend.ReadProcessMemory(h, kCarRecord, state, sizeof state, &done));
    EXPECT_EQ(done, sizeof state);
    EXPECT_EQ(std::vector<uint8_t>(state, state + 144), game.peek(kCarRecord, 144));

    const uint8_t text[] = {'a', 'b', 'c'};
    ASSERT_TRUE(backend.WriteProcessMemory(h, 0x53B72C, text, 3, &done));
    EXPECT_EQ(game.peek(0x53B72B, 5)[1], 'a');
    EXPECT_EQ(game.peek(0x53B72C, 3), std::vector<uint8_t>(text, text + 3));
    EXPECT_TRUE(backend.CloseHandle(h));
    EXPECT_FALSE(backend.CloseHandle(h));
}

TEST_F(ProcessMemoryTest, WritesReachTheReadOnlyCodePages) {
    const bool canRun = game.call(kSiteA);
    if (canRun) {
        EXPECT_EQ(game.count(kSiteA), 1);
    }
    const os::ProcessHandle h = open(game.pid());
    ASSERT_NE(h, 0);
    EXPECT_TRUE(backend.VirtualProtectEx(h, kSiteA, 0, 4, nullptr));
    const uint8_t ret = 0xC3;
    ASSERT_TRUE(backend.WriteProcessMemory(h, kSiteA, &ret, 1, nullptr));
    backend.CloseHandle(h);
    const std::vector<uint8_t> site = game.peek(kSiteA, 3);
    EXPECT_EQ(site, (std::vector<uint8_t>{0xC3, 0x04, 0x25}));
    if (canRun) {
        // The routine now returns at once: its counter stands still.
        ASSERT_TRUE(game.call(kSiteA));
        EXPECT_EQ(game.count(kSiteA), 1);
        // The other routines are untouched and still run.
        ASSERT_TRUE(game.call(0x426DF0));
        EXPECT_EQ(game.count(0x426DF0), 1);
    }
}

TEST_F(ProcessMemoryTest, ProtectionAnswersWhetherTheRangeIsMapped) {
    const os::ProcessHandle h = open(game.pid());
    ASSERT_NE(h, 0);
    uint32_t old = 77;
    EXPECT_TRUE(backend.VirtualProtectEx(h, kCarRecord, 144, 4, &old));
    EXPECT_EQ(old, 0u);
    EXPECT_TRUE(backend.VirtualProtectEx(h, 0x536000, 0xE000, 4, nullptr));   // all of the area
    EXPECT_FALSE(backend.VirtualProtectEx(h, 0x536000, 0xE001, 4, nullptr));  // one byte beyond
    EXPECT_FALSE(backend.VirtualProtectEx(h, 0x1000, 4, 4, nullptr));
    EXPECT_TRUE(backend.VirtualProtectEx(h, 0x1000, 0, 4, nullptr));  // no page at all
    EXPECT_FALSE(backend.VirtualProtectEx(0, kCarRecord, 4, 4, nullptr));
    backend.CloseHandle(h);
}

TEST_F(ProcessMemoryTest, TransfersThatRunOffTheMappingFail) {
    const os::ProcessHandle h = open(game.pid());
    ASSERT_NE(h, 0);
    std::vector<uint8_t> buffer(32, 0);
    size_t done = 99;
    EXPECT_FALSE(backend.ReadProcessMemory(h, 0x536000 + 0xE000 - 16, buffer.data(), 32, &done));
    EXPECT_EQ(done, 16u);
    EXPECT_FALSE(backend.ReadProcessMemory(h, 0x1000, buffer.data(), 4, &done));
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(backend.WriteProcessMemory(h, 0x1000, buffer.data(), 4, &done));
    EXPECT_FALSE(backend.ReadProcessMemory(0, kCarRecord, buffer.data(), 4, &done));
    EXPECT_FALSE(backend.WriteProcessMemory(-5, kCarRecord, buffer.data(), 4, &done));
    backend.CloseHandle(h);
}

TEST_F(ProcessMemoryTest, AnIdWhoseProcessHasEndedOpensNothing) {
    const uint32_t pid = game.pid();
    game.stop();  // ended and reaped
    os::OpenError why = os::OpenError::None;
    EXPECT_EQ(open(pid, &why), 0);
    EXPECT_EQ(why, os::OpenError::NoSuchProcess);
    EXPECT_EQ(open(0, &why), 0);
    EXPECT_EQ(why, os::OpenError::NoSuchProcess);
}

// A process we may not trace: not dumpable, and for a superuser test another user's process.
TEST(ProcessMemoryPermissionTest, IsReportedAsAccessDeniedAndToldOnce) {
    FixtureProcess game;
    ASSERT_TRUE(
        game.start(QString(), {QStringLiteral("--no-window"), QStringLiteral("--not-dumpable")}));
    QProcess probe;
    probe.start(QStringLiteral(GAME_LINK_PROBE),
                {QString::number(game.pid()),
                 geteuid() == 0 ? QStringLiteral("--as-nobody") : QStringLiteral("--as-is")});
    ASSERT_TRUE(probe.waitForFinished(30000));
    const QByteArray out = probe.readAllStandardOutput();
    const QByteArray err = probe.readAllStandardError();
    EXPECT_EQ(probe.exitCode(), 0) << out.constData() << err.constData();
    EXPECT_TRUE(out.contains("open: access denied")) << out.constData();
    EXPECT_EQ(err.count("permission denied"), 1) << err.constData();
    EXPECT_TRUE(err.contains("kernel.yama.ptrace_scope=0")) << err.constData();
    EXPECT_TRUE(err.contains("orvel -- wine Kartova.exe")) << err.constData();
}

}  // namespace
}  // namespace orvel
