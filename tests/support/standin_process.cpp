#include "standin_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QJsonDocument>
#include <cstring>

namespace orvel::testing {
namespace {

int hexByte(const QString& text) {
    bool ok = false;
    const int v = text.toInt(&ok, 16);
    return ok && text.size() == 2 ? v : -1;
}

}  // namespace

StandinProcess::StandinProcess(const QString& display, const QStringList& options,
                               const QStringList& runAs) {
    if (display.isEmpty()) {
        failure_ = QStringLiteral("no X display (Xvfb missing)");
        return;
    }
    socket_ = dir_.filePath(QStringLiteral("control"));
    // The game needs a real X11 window, whatever the surrounding tests use.
    process_.setEnv(QStringLiteral("DISPLAY"), display);
    process_.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process_.removeEnv(QStringLiteral("WAYLAND_DISPLAY"));
    process_.setReads(ChildProcess::Reads::Nothing);
    QStringList command = runAs + QStringList{QStringLiteral(STANDIN_PROGRAM)} + options +
                          QStringList{QStringLiteral("--control"), socket_};
    if (!runAs.isEmpty()) {
        ::chmod(QFile::encodeName(dir_.path()).constData(), 0777);
        process_.removeEnv(QStringLiteral("XDG_RUNTIME_DIR"));
    }
    if (!process_.start(command.takeFirst(), command)) {
        failure_ =
            QStringLiteral("cannot start kartova-standin: ") + process_.process().errorString();
        return;
    }
    if (!client_.connectTo(socket_, scaledMs(30000))) {
        failure_ = QStringLiteral("no control socket: ") + client_.lastError();
        return;
    }
    ok_ = waitUntil([this] { return status().value(QStringLiteral("visible")).toBool(); });
    if (!ok_) {
        failure_ = QStringLiteral("the window never showed");
    }
}

QJsonObject StandinProcess::json(const QString& line) {
    const QString reply = command(line);
    if (!reply.startsWith(QLatin1String("ok "))) {
        return {};
    }
    return QJsonDocument::fromJson(reply.mid(3).toUtf8()).object();
}

qint64 StandinProcess::counter(const char* name) {
    return status().value(QLatin1String(name)).toInteger(-1);
}

int StandinProcess::siteA() {
    return hexByte(status().value(QStringLiteral("site_a")).toString());
}

int StandinProcess::siteB() {
    return hexByte(status().value(QStringLiteral("site_b")).toString());
}

QByteArray StandinProcess::peek(std::uint32_t address, std::uint32_t length) {
    const QByteArray path = "/proc/" + QByteArray::number(pid()) + "/mem";
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    QByteArray out(static_cast<qsizetype>(length), '\0');
    const ssize_t n = ::pread(fd, out.data(), length, static_cast<off_t>(address));
    ::close(fd);
    return n == static_cast<ssize_t>(length) ? out : QByteArray();
}

bool StandinProcess::poke(std::uint32_t address, const QByteArray& bytes) {
    const QByteArray path = "/proc/" + QByteArray::number(pid()) + "/mem";
    const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = ::pwrite(fd, bytes.constData(), static_cast<size_t>(bytes.size()),
                               static_cast<off_t>(address));
    ::close(fd);
    return n == bytes.size();
}

std::vector<std::uint8_t> StandinProcess::read(std::uint32_t address, std::size_t length) {
    const QByteArray b = peek(address, static_cast<std::uint32_t>(length));
    return std::vector<std::uint8_t>(b.begin(), b.end());
}

std::uint32_t StandinProcess::readU32(std::uint32_t address) {
    const QByteArray b = peek(address, 4);
    std::uint32_t v = 0xDEADBEEF;
    if (b.size() == 4) {
        std::memcpy(&v, b.constData(), 4);
    }
    return v;
}

float StandinProcess::readF32(std::uint32_t address) {
    const std::uint32_t v = readU32(address);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

bool StandinProcess::writeU32(std::uint32_t address, std::uint32_t value) {
    return poke(address, QByteArray(reinterpret_cast<const char*>(&value), 4));
}

bool StandinProcess::writeF32(std::uint32_t address, float value) {
    return poke(address, QByteArray(reinterpret_cast<const char*>(&value), 4));
}

bool StandinProcess::waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    bool gone = false;
    const bool met = orvel::testing::waitUntil(
        [&] { return condition() || (gone = !process_.running()); }, timeoutMs);
    return met && !gone;
}

std::function<bool()> StandinProcess::framesPassed(int n) {
    const qint64 start = counter("frame");
    return [this, start, n] { return start >= 0 && counter("frame") >= start + n; };
}

bool StandinProcess::freeze() {
    if (::kill(static_cast<pid_t>(pid()), SIGSTOP) != 0) {
        return false;
    }
    return orvel::testing::waitUntil([this] { return state() == 'T' || state() == 't'; }, 10000);
}

void StandinProcess::thaw() {
    ::kill(static_cast<pid_t>(pid()), SIGCONT);
}

int StandinProcess::quit() {
    if (!process_.running()) {
        return -1;
    }
    thaw();
    if (client_.isConnected()) {
        client_.command(QStringLiteral("quit"), 5000);
    }
    const std::optional<int> code = process_.waitExit(15000);
    process_.kill();
    return code.value_or(-1);
}

char StandinProcess::state() {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid()));
    if (!stat.open(QIODevice::ReadOnly)) {
        return '?';
    }
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && close + 2 < text.size() ? text[close + 2] : '?';
}

}  // namespace orvel::testing
