#pragma once

// One session_test_peer child process: commands in, notification lines out.

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include "child_process.h"

namespace orvel::testing {

class PeerProcess {
public:
    // extraEnv: "KEY=value" entries added to the child's environment. prefix: a command that
    // runs the peer (e.g. "ip netns exec ns1"), empty for none.
    explicit PeerProcess(const QString& name, const QStringList& extraEnv = {},
                         const QStringList& prefix = {}) {
        child_.loopbackOnly();
        for (const QString& kv : extraEnv) {
            child_.setEnv(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
        }
        child_.setQuitLine(QStringLiteral("quit"));
        const QString peer = QStringLiteral(SESSION_TEST_PEER);
        started_ = (prefix.isEmpty() ? child_.start(peer)
                                     : child_.start(prefix.first(), prefix.mid(1) << peer)) &&
                   waitFor(QStringLiteral("^READY$")) >= 0;
        if (started_) {
            send(QStringLiteral("name ") + name);
        }
    }

    bool started() const { return started_; }
    void send(const QString& command) { child_.send(command); }

    // Index of the first line at or after `from` that matches, waiting up to timeoutMs; -1 when
    // none came.
    int waitFor(const QString& pattern, int timeoutMs = 15000, int from = 0) {
        return child_.waitLine(QRegularExpression(pattern), timeoutMs, from);
    }
    // Captured group 1 of the first match.
    QString capture(const QString& pattern, int timeoutMs = 15000) {
        const int i = waitFor(pattern, timeoutMs);
        return i < 0 ? QString() : QRegularExpression(pattern).match(lines()[i]).captured(1);
    }
    int count(const QString& pattern) { return child_.count(QRegularExpression(pattern)); }
    // Waits until at least n lines match.
    bool waitCount(const QString& pattern, int n, int timeoutMs = 15000) {
        return child_.waitCount(QRegularExpression(pattern), n, timeoutMs);
    }
    void killHard() { child_.kill(); }
    // Takes in what the peer has printed so far.
    void read() { child_.lines(); }
    const QStringList& lines() { return child_.lines(); }
    QString dump() { return lines().join(QLatin1Char('\n')); }

private:
    ChildProcess child_;
    bool started_ = false;
};

}  // namespace orvel::testing
