#include "platform/os/linux/process_checks.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/os/runtime_folder.h"

namespace orvel::os::linux_backend {

namespace {

// The whole of a small /proc file; empty when it cannot be read.
std::string readProcFile(uint32_t processId, const char* name) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/%s", processId, name);
    std::string text;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char buffer[8192];
    // A maps file of a huge process is cut off; the game's ranges lie low and come first.
    for (int reads = 0; reads < 256; ++reads) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

// Empty when the user has no private runtime folder: a claim in a folder others can write
// could be taken from us.
std::string lockPath(uint32_t processId, uint64_t startTime) {
    const std::string folder = userRuntimeFolder(nullptr);
    if (folder.empty()) {
        return {};
    }
    return folder + "/orvel-game-" + std::to_string(processId) + "-" + std::to_string(startTime) +
           ".lock";
}

// Lock files by token, so that release can remove the file it locked.
std::map<intptr_t, std::string>& heldPaths() {
    static std::map<intptr_t, std::string> paths;
    return paths;
}

}  // namespace

uint64_t processStartTime(uint32_t processId) {
    if (processId == 0) {
        return 0;
    }
    const std::string stat = readProcFile(processId, "stat");
    // The command name may hold blanks and parentheses; the fields after it start past the last
    // ')'. That is field 2; the start time is field 22.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    size_t at = close + 1;
    for (int field = 2; field < 22; ++field) {
        at = stat.find(' ', at);
        if (at == std::string::npos) {
            return 0;
        }
        ++at;
    }
    return std::strtoull(stat.c_str() + at, nullptr, 10);
}

bool processHasMapped(uint32_t processId, uint32_t address, uint32_t length) {
    if (processId == 0) {
        return false;
    }
    const std::string maps = readProcFile(processId, "maps");
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (size_t line = 0; line < maps.size();) {
        char* end = nullptr;
        const uint64_t from = std::strtoull(maps.c_str() + line, &end, 16);
        if (end != nullptr && *end == '-') {
            ranges.emplace_back(from, std::strtoull(end + 1, nullptr, 16));
        }
        const size_t next = maps.find('\n', line);
        line = next == std::string::npos ? maps.size() : next + 1;
    }
    std::sort(ranges.begin(), ranges.end());
    uint64_t covered = address;  // everything below this is known to be mapped
    const uint64_t wanted = uint64_t{address} + length;
    for (const auto& [from, to] : ranges) {
        if (covered >= wanted || from > covered) {
            break;
        }
        covered = std::max(covered, to);
    }
    return covered >= wanted;
}

intptr_t claimProcess(uint32_t processId, uint64_t startTime) {
    if (processId == 0) {
        return 0;
    }
    const std::string path = lockPath(processId, startTime);
    if (path.empty()) {
        return -1;
    }
    // The holder removes the file before it lets go; a lock won on a removed file is no claim,
    // so try again on the file now there. Twice is plenty; more means a busy contest we lose.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            return 0;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return 0;
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            const intptr_t token = intptr_t{fd} + 1;
            heldPaths()[token] = path;
            return token;
        }
        ::close(fd);
    }
    return 0;
}

void releaseClaim(intptr_t token) {
    const auto held = heldPaths().find(token);
    if (token <= 0 || held == heldPaths().end()) {
        return;
    }
    ::unlink(held->second.c_str());
    ::close(static_cast<int>(token - 1));
    heldPaths().erase(held);
}

int64_t processUserId(uint32_t processId) {
    if (processId == 0) {
        return -1;
    }
    // "Uid:" then the real, effective, saved and file-system ids; the real one names the owner.
    const std::string status = readProcFile(processId, "status");
    const size_t at = status.find("\nUid:");
    if (at == std::string::npos) {
        return -1;
    }
    char* end = nullptr;
    const unsigned long long uid = std::strtoull(status.c_str() + at + 5, &end, 10);
    return end != status.c_str() + at + 5 ? static_cast<int64_t>(uid) : -1;
}

int64_t currentUserId() {
    return static_cast<int64_t>(::getuid());
}

std::string userName(int64_t uid) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (uid >= 0 &&
        ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 &&
        found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0') {
        return found->pw_name;
    }
    return std::to_string(uid);
}

}  // namespace orvel::os::linux_backend
