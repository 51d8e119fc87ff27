// Steering kartova-standin from outside: control commands and their refusals, keys, focus,
// start-up failures, and orvel-screenshot pictures of it.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QImage>
#include <QJsonObject>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cmath>

#include "standin_process.h"
#include "xvfb.h"

namespace standin_test {
namespace {

using namespace orvel::testing;

QString programPath(const char* name) {
    return QStringLiteral(STANDIN_BIN_DIR "/") + QString::fromLatin1(name);
}

QProcessEnvironment displayEnvironment(const QString& display) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

// Runs a program to its end (bounded); its exit code, with stdout/stderr when asked for.
int runProgram(const QString& program, const QStringList& args, const QProcessEnvironment& env,
               QByteArray* out, QByteArray* err, int timeoutMs = 30000) {
    Finished f = runToEnd(program, args, env, timeoutMs);
    if (out) {
        *out = f.out;
    }
    if (err) {
        *err = f.err;
    }
    return f.code.value_or(-1001);
}

class StandinControl : public testing::Test {
protected:
    void SetUp() override {
        if (sharedDisplay().isEmpty()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
    }
};

TEST_F(StandinControl, CommandsWriteAndReadTheGame) {
    StandinProcess g(sharedDisplay(), {});
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    const std::uint32_t car4 = kStandardMap.car0 + 4 * kStride;

    // Raw bytes of a record, then anywhere in the data range; both read back by peek and by
    // another process.
    ASSERT_EQ(g.command("setbytes 4 0x3dc 0102a0ff"), "ok");
    EXPECT_EQ(g.peek(car4 + 0x3DC, 4), QByteArray::fromHex("0102a0ff"));
    EXPECT_EQ(g.command(QStringLiteral("peek 0x%1 4").arg(car4 + 0x3DC, 0, 16)), "ok 0102a0ff");
    ASSERT_EQ(g.command("poke 0x5fefff 7e"), "ok");
    EXPECT_EQ(g.peek(0x5FEFFF, 1), QByteArray("\x7e", 1));
    EXPECT_EQ(g.command("peek 0x426920 1"), "ok 48");
    EXPECT_EQ(g.command("peek 4352288 1"), "ok 48") << "decimal addresses work too";

    // Refusals: nothing outside the game's ranges, no record overrun, no junk.
    for (const char* bad : {"peek 0x5ff000 1",
                            "peek 0x5fefff 2",
                            "peek 0x423fff 2",
                            "peek 0x536000 65537",
                            "poke 0x424000 c3",
                            "poke 0x5ff000 00",
                            "poke 0x536000 abc",
                            "poke 0x536000 zz",
                            "setbytes 6 0 00",
                            "setbytes 1 0x11b4 00",
                            "setbytes 1 0x11b3 0000",
                            "setbytes -1 0 00",
                            "place nan 0",
                            "place 1e9 0",
                            "place 1",
                            "car 6",
                            "race fly",
                            "autopilot maybe",
                            "frobnicate",
                            "peek 0x1ffffffff 1",
                            "status now"}) {
        EXPECT_TRUE(g.command(bad).startsWith("error ")) << bad;
    }
    EXPECT_EQ(g.peek(kStandardMap.siteA, 1), QByteArray("\x48", 1));
    EXPECT_TRUE(g.command("help").startsWith("ok commands:"));
    EXPECT_EQ(g.command("setbytes 5 0x11b3 5a"), "ok") << "the last byte of a record is fine";

    // Race from the menu, autopilot on and off.
    ASSERT_EQ(g.command("race start"), "ok");
    ASSERT_EQ(g.command("autopilot on"), "ok");
    EXPECT_TRUE(g.status().value("autopilot").toBool());
    ASSERT_TRUE(g.waitFrames(5));
    ASSERT_EQ(g.command("autopilot off"), "ok");
    ASSERT_EQ(g.command("place -50 120 3.14159"), "ok");
    ASSERT_TRUE(g.waitFrames(5));
    EXPECT_EQ(g.readF32(kStandardMap.car0), -50.0f) << "nobody drives car 0 now";
    EXPECT_EQ(g.status().value("mode").toString(), "race");
}

TEST_F(StandinControl, HostileLinesAreRefusedAndTheGameGoesOn) {
    StandinProcess g(sharedDisplay(), {});
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    {
        // A line with no end in sight is refused and the connection dropped.
        QLocalSocket s;
        s.connectToServer(g.socketPath());
        ASSERT_TRUE(s.waitForConnected(10000));
        const QByteArray junk(300 * 1024, 'A');
        s.write(junk);
        QByteArray reply;
        g.waitUntil([&] {
            s.waitForBytesWritten(20);
            s.waitForReadyRead(20);
            reply += s.readAll();
            return reply.contains('\n');
        });
        EXPECT_TRUE(reply.startsWith("error ")) << reply.left(80).toStdString();
    }
    {
        // Binary bytes and several commands in one write.
        QLocalSocket s;
        s.connectToServer(g.socketPath());
        ASSERT_TRUE(s.waitForConnected(10000));
        s.write(QByteArray("\x00\xff\xfe\n", 4) + "peek 0x426df0 1\nrace start\n");
        QByteArray replies;
        g.waitUntil([&] {
            s.waitForBytesWritten(20);
            s.waitForReadyRead(20);
            replies += s.readAll();
            return replies.count('\n') >= 3;
        });
        const QList<QByteArray> lines = replies.split('\n');
        ASSERT_GE(lines.size(), 3);
        EXPECT_TRUE(lines[0].startsWith("error "));
        EXPECT_EQ(lines[1], "ok 48");
        EXPECT_EQ(lines[2], "ok");
    }
    EXPECT_EQ(g.status().value("mode").toString(), "race");
}

TEST_F(StandinControl, FocusAndArrowKeys) {
    const QString xdotool = QStandardPaths::findExecutable("xdotool");
    StandinProcess g(sharedDisplay(), {"--race"});
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    ASSERT_EQ(g.command("focus"), "ok");
    ASSERT_TRUE(g.waitUntil([&] { return g.status().value("focused").toBool(); }));
    if (xdotool.isEmpty()) {
        GTEST_SKIP() << "xdotool is not installed";
    }
    const QProcessEnvironment env = displayEnvironment(sharedDisplay());
    // The X server agrees about the focus, not only Qt.
    QByteArray focusName;
    ASSERT_EQ(runProgram(xdotool, {"getwindowfocus", "getwindowname"}, env, &focusName, nullptr),
              0);
    EXPECT_EQ(focusName.trimmed(), "Brenmoor - Kartova");
    ASSERT_EQ(g.command("place 0 -120 0"), "ok");

    // Up drives car 0 forward along +x, Right turns it.
    ASSERT_EQ(runProgram(xdotool, {"keydown", "Up"}, env, nullptr, nullptr), 0);
    const bool moved = g.waitUntil([&] { return g.readF32(kStandardMap.car0) > 15.0f; });
    ASSERT_EQ(runProgram(xdotool, {"keydown", "Right"}, env, nullptr, nullptr), 0);
    const bool turned = g.waitUntil([&] { return g.readF32(kStandardMap.car0 + 8) > 0.2f; });
    runProgram(xdotool, {"keyup", "Right", "Up"}, env, nullptr, nullptr);
    EXPECT_TRUE(moved) << "x=" << g.readF32(kStandardMap.car0);
    EXPECT_TRUE(turned) << "heading=" << g.readF32(kStandardMap.car0 + 8);
    EXPECT_GT(g.readF32(kStandardMap.car0 + 4), -120.0f) << "heading right means y grows";

    // Released: the car rolls to a stop.
    ASSERT_TRUE(g.waitUntil([&] { return std::abs(g.readF32(kStandardMap.car0 + 0xC)) < 1.0f; }));
}

TEST_F(StandinControl, QuitEndsTheProgramAndTitleOptionHolds) {
    StandinProcess g(sharedDisplay(), {"--title", "BRENMOOR - KARTOVA"});
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    EXPECT_EQ(g.status().value("title").toString(), "BRENMOOR - KARTOVA");
    EXPECT_EQ(g.quit(), 0);
    EXPECT_FALSE(QFileInfo::exists(g.socketPath()));
}

TEST(StandinStartup, RefusesWhenItsFixedRangeIsTaken) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LD_PRELOAD", QStringLiteral(SQUATTER_PATH));
    // In a sanitizer build the preloaded library comes before the sanitizer runtime.
    env.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
    // Neither range may be taken; the program stops before it needs a display.
    for (const char* address : {"0x5fe000", "0x536000", "0x426000"}) {
        env.insert("STANDIN_SQUAT_ADDRESS", address);
        env.insert("DISPLAY", ":0.nonexistent");
        QByteArray err;
        const int rc =
            runProgram(programPath("kartova-standin"), {"--mx"}, env, nullptr, &err, 30000);
        EXPECT_EQ(rc, 3) << address << ": " << err.toStdString();
        EXPECT_TRUE(err.contains("already in use")) << err.toStdString();
    }
}

TEST(StandinStartup, HelpAndBadOptions) {
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QByteArray out;
    ASSERT_EQ(runProgram(programPath("kartova-standin"), {"--help"}, env, &out, nullptr), 0);
    for (const char* word : {"--control", "--mx", "--autopilot", "setbytes", "PR_SET_PTRACER"}) {
        EXPECT_TRUE(out.contains(word)) << word;
    }
    QByteArray err;
    EXPECT_EQ(runProgram(programPath("kartova-standin"), {"--frame-ms", "0"}, env, nullptr, &err),
              2);
    EXPECT_EQ(runProgram(programPath("kartova-standin"), {"--control"}, env, nullptr, &err), 2);
    EXPECT_EQ(runProgram(programPath("kartova-standin"), {"--nope"}, env, nullptr, &err), 2);
    EXPECT_TRUE(err.contains("--nope"));
    EXPECT_EQ(runProgram(programPath("standinctl"),
                         {"--wait", "0", "/nonexistent/socket", "status"}, env, nullptr, &err),
              2);
}

TEST_F(StandinControl, ScreenshotsOfTheGameWindowAndTheDisplay) {
    StandinProcess g(sharedDisplay(), {"--race"});
    ASSERT_TRUE(g.ok()) << g.failure().toStdString();
    QTemporaryDir dir;
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString shot = programPath("orvel-screenshot");
    const QString display = sharedDisplay();
    auto grabWindow = [&](const QString& title, const QString& file) {
        return runProgram(shot, {"--display", display, "--window", title, "--wait", "10", file},
                          env, nullptr, nullptr);
    };

    const QString window = dir.filePath("window.png");
    ASSERT_EQ(grabWindow("Brenmoor - Kartova", window), 0);
    QImage img(window);
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.size(), QSize(720, 540));
    EXPECT_EQ(img.pixelColor(4, 60), QColor(58, 128, 62)) << "grass";

    // The message band is empty until the area is switched on, then holds text.
    auto inkInBand = [](const QImage& i) {
        int ink = 0;
        for (int y = i.height() - 60; y < i.height(); ++y) {
            for (int x = 0; x < i.width(); ++x) {
                ink += i.pixelColor(x, y).lightness() > 100;
            }
        }
        return ink;
    };
    EXPECT_EQ(inkInBand(img), 0);
    QByteArray line = "Hello from the other car";
    line.append(QByteArray(50 - line.size(), ' '));
    ASSERT_TRUE(g.poke(kStandardMap.lastLine, line));
    ASSERT_TRUE(g.writeU32(kStandardMap.showValue, 0x540BE3FF));
    ASSERT_TRUE(g.waitFrames(3));
    ASSERT_EQ(grabWindow("brenmoor - KARTOVA", window), 0) << "found regardless of case";
    EXPECT_GT(inkInBand(QImage(window)), 50);

    const QString root = dir.filePath("root.png");
    ASSERT_EQ(runProgram(shot, {"--display", display, root}, env, nullptr, nullptr), 0);
    EXPECT_EQ(QImage(root).size(), QSize(1280, 800));

    QByteArray err;
    EXPECT_EQ(
        runProgram(shot, {"--display", display, "--window", "Brenmoor", root}, env, nullptr, &err),
        1)
        << "a part of the title is not the title";
    EXPECT_TRUE(err.contains("no window"));
}

}  // namespace
}  // namespace standin_test
