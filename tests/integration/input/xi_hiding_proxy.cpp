#include "xi_hiding_proxy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kQueryExtension = 98;
constexpr char kHidden[] = "XInputExtension";
constexpr char kDecoy[] = "XInputExtensioN";  // same length: the request keeps its size

int connectUnix(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// One client: its requests are cut into whole requests so the name can be found, the server's
// answers pass untouched.
struct Link {
    int client = -1;
    int server = -1;
    std::vector<uint8_t> pending;  // client bytes not yet forwarded
    bool setupDone = false;
    bool littleEndian = true;

    uint32_t u16(size_t at) const {
        return littleEndian ? pending[at] | (pending[at + 1] << 8)
                            : (pending[at] << 8) | pending[at + 1];
    }
    uint32_t u32(size_t at) const {
        return littleEndian ? pending[at] | (pending[at + 1] << 8) | (pending[at + 2] << 16) |
                                  (uint32_t(pending[at + 3]) << 24)
                            : (uint32_t(pending[at]) << 24) | (pending[at + 1] << 16) |
                                  (pending[at + 2] << 8) | pending[at + 3];
    }

    // Forwards every whole request waiting; false when the link broke.
    bool forward() {
        for (;;) {
            size_t size = 0;
            if (!setupDone) {
                if (pending.size() < 12) {
                    return true;
                }
                littleEndian = pending[0] == 'l';
                const uint32_t nameLen = u16(6);
                const uint32_t dataLen = u16(8);
                size = 12 + ((nameLen + 3) & ~3u) + ((dataLen + 3) & ~3u);
            } else {
                if (pending.size() < 4) {
                    return true;
                }
                size = size_t(u16(2)) * 4;
                if (size == 0) {  // BIG-REQUESTS: the length follows the header
                    if (pending.size() < 8) {
                        return true;
                    }
                    size = size_t(u32(4)) * 4;
                }
                if (size < 4) {
                    return false;
                }
            }
            if (pending.size() < size) {
                return true;
            }
            if (setupDone && pending[0] == kQueryExtension && size >= 8 + sizeof kHidden - 1 &&
                u16(4) == sizeof kHidden - 1 &&
                std::memcmp(&pending[8], kHidden, sizeof kHidden - 1) == 0) {
                std::memcpy(&pending[8], kDecoy, sizeof kDecoy - 1);
            }
            if (!writeAll(server, pending.data(), size)) {
                return false;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(size));
            setupDone = true;
        }
    }
};

}  // namespace

XInputHidingProxy::XInputHidingProxy(int serverDisplay) {
    serverPath_ = "/tmp/.X11-unix/X" + std::to_string(serverDisplay);
    // A display number nobody uses: no socket file, and nothing answers on it.
    for (int n = 700 + getpid() % 200; n < 1700; ++n) {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
        struct stat st;
        if (lstat(path.c_str(), &st) == 0) {
            continue;
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
            close(fd);
            continue;
        }
        number_ = n;
        socketPath_ = path;
        listenFd_ = fd;
        break;
    }
    if (listenFd_ >= 0) {
        relay_ = std::thread([this] { run(); });
    }
}

XInputHidingProxy::~XInputHidingProxy() {
    stop_ = true;
    if (relay_.joinable()) {
        relay_.join();
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(socketPath_.c_str());
    }
}

void XInputHidingProxy::run() {
    std::vector<Link> links;
    std::vector<uint8_t> buffer(65536);
    while (!stop_) {
        std::vector<pollfd> fds{{listenFd_, POLLIN, 0}};
        for (const Link& l : links) {
            fds.push_back({l.client, POLLIN, 0});
            fds.push_back({l.server, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 50) <= 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = client >= 0 ? connectUnix(serverPath_) : -1;
            if (server >= 0) {
                Link link;
                link.client = client;
                link.server = server;
                links.push_back(std::move(link));
            } else if (client >= 0) {
                close(client);
            }
        }
        std::vector<Link> alive;
        for (size_t i = 0; i < links.size() && 1 + 2 * i + 1 < fds.size(); ++i) {
            Link& l = links[i];
            bool ok = true;
            if (fds[1 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = recv(l.client, buffer.data(), buffer.size(), 0);
                ok = n > 0;
                if (ok) {
                    l.pending.insert(l.pending.end(), buffer.begin(), buffer.begin() + n);
                    ok = l.forward();
                }
            }
            if (ok && (fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR))) {
                const ssize_t n = recv(l.server, buffer.data(), buffer.size(), 0);
                ok = n > 0 && writeAll(l.client, buffer.data(), static_cast<size_t>(n));
            }
            if (ok) {
                alive.push_back(std::move(l));
            } else {
                close(l.client);
                close(l.server);
            }
        }
        // Links accepted in this round were not polled yet.
        for (size_t i = (fds.size() - 1) / 2; i < links.size(); ++i) {
            alive.push_back(std::move(links[i]));
        }
        links = std::move(alive);
    }
    for (const Link& l : links) {
        close(l.client);
        close(l.server);
    }
}
