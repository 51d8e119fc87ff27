#pragma once
// Starts kartova-standin on a private X display and looks into it the way a game reader does:
// through its control socket and through /proc/PID/mem.

#include <QByteArray>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>

#include "child_process.h"
#include "standin_client.h"

namespace standin_test {

// The game's memory map, written out here again on purpose: the test holds the program to the
// published addresses instead of to its own constants.
struct MapColumn {
    const char* option;  // command-line switch choosing the edition ("" or "--mx")
    const char* name;    // as "status" reports it
    std::uint32_t car0, lastLine, inputLine, showValue, playValue, statusWord, siteA, siteB;
};
inline constexpr MapColumn kStandardMap{"",       "standard", 0x53B8DC, 0x53B72C, 0x53B75E,
                                        0x53B78C, 0x53BCBC,   0x5FEAA0, 0x426920, 0x426DF0};
inline constexpr MapColumn kMxMap{"--mx",   "mx",     0x536774, 0x5365C4, 0x5365F6,
                                  0x536624, 0x536B54, 0x5F9908, 0x424F10, 0x4253E0};
inline constexpr std::uint32_t kStride = 0x11B4;
inline constexpr std::uint32_t kDataBegin = 0x536000, kDataEnd = 0x5FF000;
inline constexpr std::uint32_t kCodeBegin = 0x424000, kCodeEnd = 0x427000;

// The documented canary of the data range.
inline std::uint8_t canary(std::uint32_t a) {
    return static_cast<std::uint8_t>(0xA5 ^ (a & 0xFF) ^ ((a >> 8) & 0xFF));
}

// A shared Xvfb for the whole test program; empty when Xvfb is missing.
QString testDisplay();

QString programPath(const char* name);

class Standin {
public:
    explicit Standin(const QStringList& args, const QString& display = testDisplay());
    ~Standin();
    Standin(const Standin&) = delete;
    Standin& operator=(const Standin&) = delete;

    // True once the program answers on its control socket.
    bool ok() const { return ok_; }
    QString failure() const { return failure_; }
    qint64 pid() const { return proc_.pid(); }
    QString socketPath() const { return socket_; }

    // One control command; the reply line ("" when none came).
    QString cmd(const QString& line);
    // Payload of an "ok {json}" reply; empty object otherwise.
    QJsonObject json(const QString& line);
    QJsonObject status() { return json(QStringLiteral("status")); }

    // Through /proc/PID/mem, as another process sees (and changes) the game.
    QByteArray read(std::uint32_t address, std::uint32_t length);
    bool write(std::uint32_t address, const QByteArray& bytes);
    std::uint32_t readU32(std::uint32_t address);
    float readF32(std::uint32_t address);
    bool writeU32(std::uint32_t address, std::uint32_t value);
    bool writeF32(std::uint32_t address, float value);

    // Waits until the frame counter has advanced by n (bounded).
    bool waitFrames(int n, int timeoutMs = orvel::testing::kDefaultTimeoutMs);
    bool waitUntil(const std::function<bool()>& condition,
                   int timeoutMs = orvel::testing::kDefaultTimeoutMs);

    // Sends quit and waits for the exit; returns the exit code (-1 if it had to be killed).
    int quit();

private:
    QTemporaryDir dir_;
    QString socket_;
    orvel::testing::ChildProcess proc_;
    standin::Client client_;
    bool ok_ = false;
    QString failure_;
};

// Runs a program to its end (bounded); returns exit code, fills stdout/stderr.
int runProgram(const QString& program, const QStringList& args, const QProcessEnvironment& env,
               QByteArray* out, QByteArray* err, int timeoutMs = 30000);

QProcessEnvironment displayEnvironment(const QString& display);

}  // namespace standin_test
