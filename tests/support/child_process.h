#pragma once
// One child process of a test: started with its own environment, fed lines on stdin, its output
// read as lines, and ended with a request first and a kill after.

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <optional>

#include "wait.h"

namespace orvel::testing {

class ChildProcess {
public:
    // What the test reads of the child; the rest goes to the test's own stderr or nowhere.
    enum class Reads { Stdout, Stderr, Merged, Nothing };

    ChildProcess();
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Environment changes over the test's own; an empty value is kept as empty.
    void setEnv(const QString& key, const QString& value);
    void removeEnv(const QString& key);
    // Keeps every variable to sessions on loopback with no preset address.
    void loopbackOnly();
    void setReads(Reads reads) { reads_ = reads; }
    // Sent on stdin by stop() before it waits; empty: stop() asks with SIGTERM.
    void setQuitLine(const QString& line) { quitLine_ = line; }

    bool start(const QString& program, const QStringList& args = {});
    bool running() const { return process_.state() != QProcess::NotRunning; }
    qint64 pid() const { return process_.processId(); }
    QProcess& process() { return process_; }

    void send(const QString& line);

    // Everything read so far, the last unfinished line included.
    QString text();
    const QStringList& lines();
    // Index of the first line at or after from that matches; -1 when none came in time.
    int waitLine(const QRegularExpression& re, int timeoutMs = kDefaultTimeoutMs, int from = 0);
    // The first match in the whole output (it may span lines); no match when none came in time.
    QRegularExpressionMatch waitText(const QRegularExpression& re,
                                     int timeoutMs = kDefaultTimeoutMs);
    int count(const QRegularExpression& re);
    bool waitCount(const QRegularExpression& re, int n, int timeoutMs = kDefaultTimeoutMs);

    // The exit code once the child ended by itself; nothing when it still runs or crashed.
    std::optional<int> waitExit(int timeoutMs = kDefaultTimeoutMs);
    // Asks the child to end (quit line or SIGTERM), then kills it after graceMs. Its exit code
    // when it ended by itself.
    std::optional<int> stop(int graceMs = 10000);
    void kill();
    void signal(int number);

private:
    void read();
    // Waits a moment for more output; false once the child has gone and all was read.
    bool more();

    QProcess process_;
    QProcessEnvironment env_;
    Reads reads_ = Reads::Stdout;
    QString quitLine_;
    QByteArray partial_;
    QStringList lines_;
    QString text_;
};

// Runs a program to its end (bounded). Its exit code, or nothing when it hung or crashed.
struct Finished {
    std::optional<int> code;
    QByteArray out;
    QByteArray err;
};
Finished runToEnd(const QString& program, const QStringList& args,
                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
                  int timeoutMs = kDefaultTimeoutMs);

// The same with the output going to files, which the processes it starts inherit.
std::optional<int> runToEndInto(const QString& program, const QStringList& args,
                                const QProcessEnvironment& env, const QString& outFile,
                                const QString& errFile, int timeoutMs = kDefaultTimeoutMs);

// Ends a process that a program under test started: SIGTERM, then SIGKILL after graceMs.
void endProcess(qint64 pid, int graceMs = 10000);

}  // namespace orvel::testing
