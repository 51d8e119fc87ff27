#pragma once

// Runs kartova-standin on a given X display and steers it through its control socket. Its
// memory is read independently of the game link, straight from /proc/PID/mem.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <vector>

#include "child_process.h"
#include "standin_client.h"

namespace orvel::testing {

class StandinProcess {
public:
    StandinProcess(const QString& display, const QStringList& options) {
        socket_ = dir_.filePath(QStringLiteral("control"));
        process_.setEnv(QStringLiteral("DISPLAY"), display);
        process_.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        process_.setReads(ChildProcess::Reads::Nothing);
        ok_ = process_.start(QStringLiteral(STANDIN_PROGRAM),
                             options + QStringList{QStringLiteral("--control"), socket_}) &&
              client_.connectTo(socket_, scaledMs(30000));
    }
    ~StandinProcess() { quit(); }
    StandinProcess(const StandinProcess&) = delete;
    StandinProcess& operator=(const StandinProcess&) = delete;

    bool ok() const { return ok_; }
    uint32_t pid() const { return static_cast<uint32_t>(process_.pid()); }

    QString command(const QString& line) { return client_.command(line, 20000); }
    QJsonObject json(const QString& line) {
        const QString reply = command(line);
        if (!reply.startsWith(QStringLiteral("ok "))) {
            return {};
        }
        return QJsonDocument::fromJson(reply.mid(3).toUtf8()).object();
    }
    QJsonObject status() { return json(QStringLiteral("status")); }
    qint64 counter(const char* name) { return status().value(QLatin1String(name)).toInteger(-1); }
    // The first byte at a patch site as the game reports it (two hex digits); -1 if unknown.
    int siteA() { return hexByte(status().value(QStringLiteral("site_a")).toString()); }
    int siteB() { return hexByte(status().value(QStringLiteral("site_b")).toString()); }

    // Bytes of the game's memory, read without the game link.
    std::vector<uint8_t> read(uint32_t address, size_t length) {
        std::vector<uint8_t> out(length);
        const QByteArray path = "/proc/" + QByteArray::number(pid()) + "/mem";
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::pread(fd, out.data(), length, address) != static_cast<ssize_t>(length)) {
            out.clear();
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return out;
    }

    bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kDefaultTimeoutMs) {
        return orvel::testing::waitUntil(condition, timeoutMs);
    }
    // A barrier that holds once the game has drawn n more frames than now.
    std::function<bool()> framesPassed(int n) {
        const qint64 start = counter("frame");
        return [this, start, n] { return start >= 0 && counter("frame") >= start + n; };
    }
    // Waits until the game has drawn n more frames.
    bool waitFrames(int n) { return waitUntil(framesPassed(n)); }

    // Stops the game in its tracks, so that its memory holds still, and lets it go on again.
    bool freeze() {
        if (::kill(static_cast<pid_t>(pid()), SIGSTOP) != 0) {
            return false;
        }
        return waitUntil([this] { return state() == 'T' || state() == 't'; }, 10000);
    }
    void thaw() { ::kill(static_cast<pid_t>(pid()), SIGCONT); }

    void quit() {
        if (!process_.running()) {
            return;
        }
        thaw();
        command(QStringLiteral("quit"));
        process_.waitExit(15000);
        process_.kill();
    }

private:
    static int hexByte(const QString& text) {
        bool ok = false;
        const int v = text.toInt(&ok, 16);
        return ok && text.size() == 2 ? v : -1;
    }
    char state() {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid()));
        if (!stat.open(QIODevice::ReadOnly)) {
            return '?';
        }
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        return close >= 0 && close + 2 < text.size() ? text[close + 2] : '?';
    }

    QTemporaryDir dir_;
    QString socket_;
    ChildProcess process_;
    standin::Client client_;
    bool ok_ = false;
};

}  // namespace orvel::testing
