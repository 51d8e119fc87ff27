#include "platform/os/runtime_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orvel::os {

namespace {

std::string absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

std::string homeFolder() {
    std::string home = absoluteVariable("HOME");
    if (home.empty()) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    return home;
}

bool fail(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
    return false;
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Makes folder (mode 0700) unless it is there, then holds it to being a folder of this user's
// alone. Opened without following a link, so what is checked is what is there.
bool privateFolder(const std::string& folder, std::string* error) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail(error, "cannot make " + folder + ": " + std::strerror(errno));
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int why = errno;
        return fail(error, "refusing to use " + folder + ": " +
                               (why == ELOOP || why == ENOTDIR ? "it is not a folder but a link "
                                                                 "or a file"
                                                               : std::strerror(why)));
    }
    struct stat st {};
    const bool read = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (!read) {
        return fail(error, "cannot look at " + folder + ": " + std::strerror(errno));
    }
    if (st.st_uid != ::getuid()) {
        return fail(error, "refusing to use " + folder + ": it belongs to another user (uid " +
                               std::to_string(st.st_uid) + "); remove it or set XDG_RUNTIME_DIR");
    }
    if ((st.st_mode & 077) != 0) {
        return fail(error, "refusing to use " + folder + ": other users may enter it (mode " +
                               octal(st.st_mode) + "); make it private with: chmod 700 " + folder);
    }
    return true;
}

}  // namespace

std::string userRuntimeFolder(std::string* error) {
    const std::string runtime = absoluteVariable("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        const std::string folder = runtime + "/orvel";
        return privateFolder(folder, error) ? folder : std::string();
    }
    // Without a session's runtime folder, one in the user's own cache: nobody else can make
    // its name first, as anybody could in /tmp.
    std::string cache = absoluteVariable("XDG_CACHE_HOME");
    if (cache.empty()) {
        const std::string home = homeFolder();
        if (home.empty()) {
            fail(error, "no runtime folder: neither XDG_RUNTIME_DIR nor a home folder is known");
            return {};
        }
        cache = home + "/.cache";
    }
    if (::mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST) {
        fail(error, "cannot make " + cache + ": " + std::strerror(errno));
        return {};
    }
    const std::string folder = cache + "/orvel-runtime";
    return privateFolder(folder, error) ? folder : std::string();
}

}  // namespace orvel::os
