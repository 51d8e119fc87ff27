#include "launch.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QFile>
#include <QProcessEnvironment>
#include <vector>

#include "platform/dx8/lobby/lobby_protocol.h"

namespace lobby_client {

bool Child::running() {
    if (status) {
        return false;
    }
    int raw = 0;
    const pid_t done = ::waitpid(pid, &raw, WNOHANG);
    if (done == pid) {
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return false;
    }
    return done == 0 || (done < 0 && errno == EINTR);
}

QString endedText(const Child& child) {
    return QStringLiteral(
               "the program (pid %1) ended before it took its connection settings "
               "(exit status %2)")
        .arg(child.pid)
        .arg(child.status.value_or(-1));
}

std::optional<QString> spawn(const QString& path, const QStringList& arguments,
                             const QString& directory, const QString& socketPath, Child& child) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(dx8::lobby::kConnectionVariable), socketPath);
    std::vector<QByteArray> envBytes;
    for (const QString& entry : env.toStringList()) {
        envBytes.push_back(entry.toLocal8Bit());
    }
    std::vector<QByteArray> argBytes{QFile::encodeName(path)};
    for (const QString& a : arguments) {
        argBytes.push_back(a.toLocal8Bit());
    }
    std::vector<char*> envp;
    std::vector<char*> argv;
    for (QByteArray& b : envBytes) {
        envp.push_back(b.data());
    }
    for (QByteArray& b : argBytes) {
        argv.push_back(b.data());
    }
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
    // The program gets the default for SIGPIPE back, which this process ignores.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    const QByteArray dir = QFile::encodeName(directory);
    if (!directory.isEmpty()) {
        posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    }
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, argBytes[0].constData(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        return QStringLiteral("cannot start %1: %2").arg(path, qt_error_string(rc));
    }
    child.pid = pid;
    return std::nullopt;
}

}  // namespace lobby_client
