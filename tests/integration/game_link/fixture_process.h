#pragma once

// Drives one game_link_fixture process: start it on a display, send commands, read answers.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace orvel::testing {

class FixtureProcess {
public:
    FixtureProcess() = default;
    ~FixtureProcess() { stop(); }
    FixtureProcess(const FixtureProcess&) = delete;
    FixtureProcess& operator=(const FixtureProcess&) = delete;

    // Starts the fixture with DISPLAY set to display; true once it reported ready.
    bool start(const QString& display, const QStringList& arguments = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral(GAME_LINK_FIXTURE), arguments);
        if (!process_.waitForStarted(20000)) {
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
        process_.write(line + '\n');
        process_.waitForBytesWritten(20000);
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
    void stop() {
        if (process_.state() == QProcess::NotRunning) {
            return;
        }
        process_.write("quit\n");
        process_.closeWriteChannel();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished(10000);
        }
    }

    uint32_t pid() const { return pid_; }
    uint32_t window() const { return window_; }

private:
    QByteArray readLine() {
        for (int i = 0; i < 200 && !process_.canReadLine(); ++i) {
            if (!process_.waitForReadyRead(100) && process_.state() == QProcess::NotRunning) {
                break;
            }
        }
        return process_.readLine().trimmed();
    }

    QProcess process_;
    uint32_t pid_ = 0;
    uint32_t window_ = 0;
};

}  // namespace orvel::testing
