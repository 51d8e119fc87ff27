#include "standin_harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <QJsonDocument>
#include <cstring>
#include <memory>

#include "xvfb.h"

namespace standin_test {

QString testDisplay() {
    static std::unique_ptr<orvel::testing::XvfbDisplay> display;
    if (!display && orvel::testing::haveXvfb()) {
        display = std::make_unique<orvel::testing::XvfbDisplay>();
    }
    return display && display->ok() ? display->name() : QString();
}

QString programPath(const char* name) {
    return QStringLiteral(STANDIN_BIN_DIR "/") + QString::fromLatin1(name);
}

QProcessEnvironment displayEnvironment(const QString& display) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    // The game needs a real X11 window, whatever the surrounding tests use.
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

Standin::Standin(const QStringList& args, const QString& display) {
    if (display.isEmpty()) {
        failure_ = QStringLiteral("no X display (Xvfb missing)");
        return;
    }
    socket_ = dir_.filePath(QStringLiteral("control"));
    proc_.setEnv(QStringLiteral("DISPLAY"), display);
    proc_.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    proc_.removeEnv(QStringLiteral("WAYLAND_DISPLAY"));
    proc_.setReads(orvel::testing::ChildProcess::Reads::Nothing);
    if (!proc_.start(programPath("kartova-standin"),
                     QStringList{QStringLiteral("--control"), socket_} + args)) {
        failure_ = QStringLiteral("cannot start kartova-standin: ") + proc_.process().errorString();
        return;
    }
    if (!client_.connectTo(socket_, orvel::testing::scaledMs(30000))) {
        failure_ = QStringLiteral("no control socket: ") + client_.lastError();
        return;
    }
    ok_ = waitUntil([this] { return status().value(QStringLiteral("visible")).toBool(); });
    if (!ok_) {
        failure_ = QStringLiteral("the window never showed");
    }
}

Standin::~Standin() {
    if (proc_.running()) {
        quit();
    }
}

int Standin::quit() {
    if (client_.isConnected()) {
        client_.command(QStringLiteral("quit"), 5000);
    }
    const std::optional<int> code = proc_.waitExit(15000);
    proc_.kill();
    return code.value_or(-1);
}

QString Standin::cmd(const QString& line) {
    return client_.command(line, 15000);
}

QJsonObject Standin::json(const QString& line) {
    const QString reply = cmd(line);
    if (!reply.startsWith(QLatin1String("ok "))) {
        return {};
    }
    return QJsonDocument::fromJson(reply.mid(3).toUtf8()).object();
}

QByteArray Standin::read(std::uint32_t address, std::uint32_t length) {
    const QByteArray path = "/proc/" + QByteArray::number(pid()) + "/mem";
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    QByteArray out(static_cast<qsizetype>(length), '\0');
    const ssize_t n = pread(fd, out.data(), length, static_cast<off_t>(address));
    close(fd);
    return n == static_cast<ssize_t>(length) ? out : QByteArray();
}

bool Standin::write(std::uint32_t address, const QByteArray& bytes) {
    const QByteArray path = "/proc/" + QByteArray::number(pid()) + "/mem";
    const int fd = open(path.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = pwrite(fd, bytes.constData(), static_cast<size_t>(bytes.size()),
                             static_cast<off_t>(address));
    close(fd);
    return n == bytes.size();
}

std::uint32_t Standin::readU32(std::uint32_t address) {
    const QByteArray b = read(address, 4);
    std::uint32_t v = 0xDEADBEEF;
    if (b.size() == 4) {
        std::memcpy(&v, b.constData(), 4);
    }
    return v;
}

float Standin::readF32(std::uint32_t address) {
    const std::uint32_t v = readU32(address);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

bool Standin::writeU32(std::uint32_t address, std::uint32_t value) {
    return write(address, QByteArray(reinterpret_cast<const char*>(&value), 4));
}

bool Standin::writeF32(std::uint32_t address, float value) {
    return write(address, QByteArray(reinterpret_cast<const char*>(&value), 4));
}

bool Standin::waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    // A game that has gone will not bring the condition about.
    bool gone = false;
    const bool met = orvel::testing::waitUntil(
        [&] { return condition() || (gone = !proc_.running()); }, timeoutMs);
    return met && !gone;
}

bool Standin::waitFrames(int n, int timeoutMs) {
    const qint64 start = status().value(QStringLiteral("frame")).toInteger(-1);
    if (start < 0) {
        return false;
    }
    return waitUntil(
        [&] { return status().value(QStringLiteral("frame")).toInteger(-1) >= start + n; },
        timeoutMs);
}

int runProgram(const QString& program, const QStringList& args, const QProcessEnvironment& env,
               QByteArray* out, QByteArray* err, int timeoutMs) {
    orvel::testing::Finished f = orvel::testing::runToEnd(program, args, env, timeoutMs);
    if (out) {
        *out = f.out;
    }
    if (err) {
        *err = f.err;
    }
    return f.code.value_or(-1001);
}

}  // namespace standin_test
