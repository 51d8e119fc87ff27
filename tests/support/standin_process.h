#pragma once
// Runs kartova-standin on a given X display and looks into it the way a game reader does:
// through its control socket and, independently of the game link, through /proc/PID/mem.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <vector>

#include "child_process.h"
#include "standin_client.h"

namespace orvel::testing {

// The game's memory map, written out here again on purpose: the tests hold the program to the
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

class StandinProcess {
public:
    // runAs: a program and its arguments that start the game in its stead, such as setpriv to
    // run it as another user; the control socket's folder is then open to that user.
    StandinProcess(const QString& display, const QStringList& options,
                   const QStringList& runAs = {});
    ~StandinProcess() { quit(); }
    StandinProcess(const StandinProcess&) = delete;
    StandinProcess& operator=(const StandinProcess&) = delete;

    // True once the program answers on its control socket with its window shown.
    bool ok() const { return ok_; }
    QString failure() const { return failure_; }
    std::uint32_t pid() const { return static_cast<std::uint32_t>(process_.pid()); }
    QString socketPath() const { return socket_; }

    // One control command; the reply line ("" when none came).
    QString command(const QString& line) { return client_.command(line, 20000); }
    // Payload of an "ok {json}" reply; empty object otherwise.
    QJsonObject json(const QString& line);
    QJsonObject status() { return json(QStringLiteral("status")); }
    qint64 counter(const char* name);
    // The first byte at a patch site as the game reports it (two hex digits); -1 if unknown.
    int siteA();
    int siteB();
    // Both patch sites hold a return (0xC3).
    bool patched() { return siteA() == 0xC3 && siteB() == 0xC3; }

    // The game's memory as another process sees (and changes) it; empty/false on failure.
    QByteArray peek(std::uint32_t address, std::uint32_t length);
    bool poke(std::uint32_t address, const QByteArray& bytes);
    std::vector<std::uint8_t> read(std::uint32_t address, std::size_t length);
    std::uint32_t readU32(std::uint32_t address);
    float readF32(std::uint32_t address);
    bool writeU32(std::uint32_t address, std::uint32_t value);
    bool writeF32(std::uint32_t address, float value);

    // Polls until condition holds; false at once when the game has gone, since a game that has
    // gone will not bring it about.
    bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kDefaultTimeoutMs);
    // A barrier that holds once the game has drawn n more frames than now.
    std::function<bool()> framesPassed(int n);
    bool waitFrames(int n, int timeoutMs = kDefaultTimeoutMs) {
        return waitUntil(framesPassed(n), timeoutMs);
    }

    // Stops the game in its tracks, so that its memory holds still, and lets it go on again.
    bool freeze();
    void thaw();

    // Sends quit and waits for the exit; the exit code (-1 if it had to be killed or had gone).
    int quit();

private:
    char state();

    QTemporaryDir dir_;
    QString socket_;
    ChildProcess process_;
    standin::Client client_;
    bool ok_ = false;
    QString failure_;
};

}  // namespace orvel::testing
