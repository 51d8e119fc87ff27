#include "platform/os/started_program.h"

#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace orvel::os {

namespace {

Q_LOGGING_CATEGORY(lcStarted, "orvel.os", QtWarningMsg)

// Without a pidfd (kernels before 5.3) the child is looked at this often.
constexpr int kPollMs = 200;

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

StartedProgram::StartedProgram(QObject* parent) : QObject(parent) {}

StartedProgram::~StartedProgram() {
    // The program is left running: it is the player's game, not Orvel's to end.
    if (pidfd_ >= 0) {
        delete notifier_;
        ::close(pidfd_);
    }
}

bool StartedProgram::start(const QStringList& command, QString* why, int* status) {
    std::vector<std::string> words;
    for (const QString& word : command) {
        words.push_back(word.toLocal8Bit().toStdString());
    }
    if (words.empty() || words.front().empty()) {
        *why = QStringLiteral("no command");
        *status = 127;
        return false;
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    // The child starts with every signal at its default and none blocked, whatever Orvel has
    // set up for itself, and with none of Orvel's own descriptors beyond the three standard
    // ones.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv.front(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        *why = QString::fromLocal8Bit(std::strerror(rc));
        *status = rc == ENOENT ? 127 : 126;
        return false;
    }
    pid_ = pid;
    qCDebug(lcStarted) << "started" << command << "as process" << pid;

    pidfd_ = openPidfd(pid);
    if (pidfd_ >= 0) {
        notifier_ = new QSocketNotifier(pidfd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            if (reap(false)) {
                ended();
            }
        });
    } else {
        poll_ = new QTimer(this);
        connect(poll_, &QTimer::timeout, this, [this] {
            if (reap(false)) {
                ended();
            }
        });
        poll_->start(kPollMs);
    }
    return true;
}

bool StartedProgram::reap(bool block) {
    if (pid_ <= 0 || ended_) {
        return ended_;
    }
    int wstatus = 0;
    pid_t got = -1;
    do {
        got = ::waitpid(pid_, &wstatus, block ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0) {
        return false;
    }
    if (got < 0) {
        // Reaped elsewhere: what it ended with is lost.
        qCWarning(lcStarted) << "the started program's end could not be learned";
        status_ = 1;
    } else if (WIFEXITED(wstatus)) {
        status_ = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        status_ = 128 + WTERMSIG(wstatus);
    } else {
        return false;  // stopped or continued: still there
    }
    ended_ = true;
    if (notifier_ != nullptr) {
        notifier_->setEnabled(false);
    }
    if (poll_ != nullptr) {
        poll_->stop();
    }
    qCDebug(lcStarted) << "process" << pid_ << "ended with status" << status_;
    return true;
}

void StartedProgram::ended() {
    if (onEnded_) {
        onEnded_();
    }
}

int StartedProgram::waitForEnd() {
    while (!reap(true)) {
        if (pid_ <= 0) {
            break;
        }
    }
    return status_;
}

void StartedProgram::signal(int number) {
    if (running()) {
        // The child is not reaped yet, so its id cannot belong to anybody else.
        ::kill(pid_, number);
    }
}

}  // namespace orvel::os
