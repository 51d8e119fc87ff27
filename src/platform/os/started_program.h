#pragma once

// A program that Orvel starts as its own child and follows to its end: the game, started as
// `orvel -- COMMAND`. The child shares Orvel's standard input, output and error, environment,
// process group and session, and is never detached, so Orvel stays its ancestor for as long as
// it runs; that is what lets Orvel reach the game's memory where only a debugger's ancestors may
// (Yama's ptrace_scope 1). Nothing is done to the child that would change who may trace it.

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

class QSocketNotifier;
class QTimer;

namespace orvel::os {

class StartedProgram : public QObject {
public:
    explicit StartedProgram(QObject* parent = nullptr);
    ~StartedProgram() override;
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    // Starts command's first word (looked up in PATH when it has no slash) with the rest as its
    // arguments. On failure: false, with the reason in *why and the status a shell would end
    // with in *status (127: not found, 126: found but cannot run).
    bool start(const QStringList& command, QString* why, int* status);

    uint32_t processId() const { return pid_ > 0 ? static_cast<uint32_t>(pid_) : 0; }
    bool running() const { return pid_ > 0 && !ended_; }
    // Called once, from the event loop, when the program has ended.
    void onEnded(std::function<void()> handler) { onEnded_ = std::move(handler); }
    // The status a shell would give once it has ended: its exit code, or 128 + N after
    // signal N.
    int exitStatus() const { return status_; }
    // Blocks until the program ends; its exit status.
    int waitForEnd();
    // Sends the signal while the program runs.
    void signal(int number);

private:
    // Reaps the child if it has ended; true once it has.
    bool reap(bool block);
    void ended();

    int pid_ = -1;
    int pidfd_ = -1;
    bool ended_ = false;
    int status_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* poll_ = nullptr;
    std::function<void()> onEnded_;
};

}  // namespace orvel::os
