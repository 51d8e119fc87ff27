#pragma once

// Drives one game_link_fixture process: start it on a display, send commands, read answers.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "child_process.h"

namespace orvel::testing {

class FixtureProcess {
public:
    FixtureProcess() { child_.setQuitLine(QStringLiteral("quit")); }

    // Starts the fixture with DISPLAY set to display; true once it reported ready.
    bool start(const QString& display, const QStringList& arguments = {}) {
        child_.setEnv(QStringLiteral("DISPLAY"), display);
        if (!child_.start(QStringLiteral(GAME_LINK_FIXTURE), arguments)) {
            return false;
        }
        const QList<QByteArray> ready = readLine().split(' ');
        if (ready.size() != 3 || ready[0] != "ready") {
            return false;
        }
        pid_ = ready[1].toUInt();
        window_ = ready[2].toUInt();
        return pid_ != 0;
    }

    QByteArray command(const QByteArray& line) {
        child_.send(QString::fromLatin1(line));
        return readLine();
    }
    std::vector<uint8_t> peek(uint32_t address, int count) {
        const QByteArray hex = QByteArray::fromHex(
            command("peek " + QByteArray::number(address, 16) + ' ' + QByteArray::number(count)));
        return std::vector<uint8_t>(hex.begin(), hex.end());
    }
    bool poke(uint32_t address, const QByteArray& bytes) {
        return command("poke " + QByteArray::number(address, 16) + ' ' + bytes.toHex()) == "ok";
    }
    bool pokeFloat(uint32_t address, float v) {
        return poke(address, QByteArray(reinterpret_cast<const char*>(&v), 4));
    }
    bool pokeLong(uint32_t address, int32_t v) {
        return poke(address, QByteArray(reinterpret_cast<const char*>(&v), 4));
    }
    // Runs the routine at a patch site; false where the platform cannot run it.
    bool call(uint32_t site) { return command("call " + QByteArray::number(site, 16)) == "ok"; }
    int count(uint32_t site) { return command("count " + QByteArray::number(site, 16)).toInt(); }

    // Ends the process and reaps it.
    void stop() { child_.stop(); }

    uint32_t pid() const { return pid_; }
    uint32_t window() const { return window_; }

private:
    // The next answer line, empty when none came.
    QByteArray readLine() {
        static const QRegularExpression any;
        const int i = child_.waitLine(any, 20000, next_);
        if (i < 0) {
            return {};
        }
        next_ = i + 1;
        return child_.lines()[i].trimmed().toLatin1();
    }

    ChildProcess child_;
    int next_ = 0;
    uint32_t pid_ = 0;
    uint32_t window_ = 0;
};

}  // namespace orvel::testing
