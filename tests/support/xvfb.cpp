#include "xvfb.h"

#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace orvel::testing {

bool haveXvfb() { return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty(); }

XvfbDisplay::XvfbDisplay(int width, int height) {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (program.isEmpty()) {
        return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    // Xvfb writes the display number it chose to the descriptor given by -displayfd.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) {
        posix_spawn_file_actions_adddup2(&actions, devnull, 1);
        posix_spawn_file_actions_adddup2(&actions, devnull, 2);
    }
    const std::string path = program.toStdString();
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::vector<std::string> args = {path,     "-displayfd", "3",      "-screen", "0",
                                     screen,   "-nolisten",  "tcp",    "-noreset"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (devnull >= 0) {
        close(devnull);
    }
    if (rc != 0) {
        close(fds[0]);
        return;
    }
    pid_ = pid;
    std::string digits;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) {
            continue;
        }
        char c;
        const ssize_t n = read(fds[0], &c, 1);
        if (n <= 0) {
            break;
        }
        if (c == '\n') {
            break;
        }
        digits += c;
    }
    close(fds[0]);
    if (!digits.empty()) {
        number_ = std::stoi(digits);
    }
}

XvfbDisplay::~XvfbDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                return;
            }
            usleep(20000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
}

QString sharedDisplay() {
    static std::unique_ptr<XvfbDisplay> display;
    if (!display && haveXvfb()) {
        display = std::make_unique<XvfbDisplay>();
    }
    return display && display->ok() ? display->name() : QString();
}

}  // namespace orvel::testing
