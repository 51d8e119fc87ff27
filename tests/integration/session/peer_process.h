#pragma once

// One session_test_peer child process: commands in, notification lines out.

#include <signal.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace orvel::testing {

class PeerProcess {
public:
    // extraEnv: "KEY=value" entries added to the child's environment. prefix: a command that
    // runs the peer (e.g. "ip netns exec ns1"), empty for none.
    explicit PeerProcess(const QString& name, const QStringList& extraEnv = {},
                         const QStringList& prefix = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ORVEL_DISCOVERY"), QStringLiteral("loopback"));
        env.insert(QStringLiteral("ORVEL_ENUM_ADDRESS"), QString());
        for (const QString& kv : extraEnv) {
            env.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
        }
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (prefix.isEmpty()) {
            process_.start(QStringLiteral(SESSION_TEST_PEER), {});
        } else {
            QStringList args = prefix.mid(1);
            args << QStringLiteral(SESSION_TEST_PEER);
            process_.start(prefix.first(), args);
        }
        started_ = process_.waitForStarted(10000) && waitFor(QStringLiteral("^READY$")) >= 0;
        if (started_) {
            send(QStringLiteral("name ") + name);
        }
    }
    ~PeerProcess() {
        if (process_.state() != QProcess::NotRunning) {
            send(QStringLiteral("quit"));
            if (!process_.waitForFinished(3000)) {
                process_.kill();
                process_.waitForFinished(3000);
            }
        }
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool started() const { return started_; }

    void send(const QString& command) {
        process_.write((command + QLatin1Char('\n')).toUtf8());
        process_.waitForBytesWritten(2000);
    }

    // Index of the first line at or after `from` that matches, waiting up to timeoutMs; -1 when
    // none came.
    int waitFor(const QString& pattern, int timeoutMs = 15000, int from = 0) {
        const QRegularExpression re(pattern);
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            for (int i = from; i < lines_.size(); ++i) {
                if (re.match(lines_[i]).hasMatch()) {
                    return i;
                }
            }
            if (clock.elapsed() > timeoutMs || process_.state() == QProcess::NotRunning) {
                read();
                for (int i = from; i < lines_.size(); ++i) {
                    if (re.match(lines_[i]).hasMatch()) {
                        return i;
                    }
                }
                return -1;
            }
            process_.waitForReadyRead(50);
            read();
        }
    }

    // Captured group 1 of the first match.
    QString capture(const QString& pattern, int timeoutMs = 15000) {
        const int i = waitFor(pattern, timeoutMs);
        if (i < 0) {
            return {};
        }
        return QRegularExpression(pattern).match(lines_[i]).captured(1);
    }

    int count(const QString& pattern) {
        read();
        const QRegularExpression re(pattern);
        int n = 0;
        for (const QString& line : lines_) {
            if (re.match(line).hasMatch()) {
                ++n;
            }
        }
        return n;
    }

    // Waits until at least n lines match.
    bool waitCount(const QString& pattern, int n, int timeoutMs = 15000) {
        QElapsedTimer clock;
        clock.start();
        while (count(pattern) < n) {
            if (clock.elapsed() > timeoutMs) {
                return false;
            }
            process_.waitForReadyRead(50);
        }
        return true;
    }

    void read() {
        partial_ += process_.readAllStandardOutput();
        qsizetype eol;
        while ((eol = partial_.indexOf('\n')) >= 0) {
            lines_ << QString::fromUtf8(partial_.left(eol));
            partial_.remove(0, eol + 1);
        }
    }

    void killHard() {
        ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
        process_.waitForFinished(5000);
    }

    const QStringList& lines() {
        read();
        return lines_;
    }
    QString dump() {
        read();
        return lines_.join(QLatin1Char('\n'));
    }

private:
    QProcess process_;
    QByteArray partial_;
    QStringList lines_;
    bool started_ = false;
};

}  // namespace orvel::testing
